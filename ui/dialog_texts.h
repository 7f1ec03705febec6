// The fixed texts that both dialog toolkits show beyond the engine's event texts: the About box,
// the file-open box of Advanced Options and its error box.
#pragma once

#include <string>
#include <string_view>

namespace skelvo::ui {

inline constexpr char kAboutTitle[] = "About Varnek Skelvo ...";
// The versions of the three built-in images, each in display form.
std::string AboutText();

// The file-open box: its title and its two file types, as (what the box shows, the patterns).
inline constexpr char kBrowseTitle[] = "Choose a flashfile to download";
inline constexpr char kFlashFilterLabel[] = "Flash File (*.BIN;*.flash)";
inline constexpr char kFlashFilterPatterns[] = "*.BIN;*.flash";
inline constexpr char kAllFilterLabel[] = "All";
inline constexpr char kAllFilterPatterns[] = "*.*";
// Whether the first file type takes this name; its patterns match in any letter case.
bool MatchesFlashFilter(std::string_view fileName);

// The box that OK raises when the chosen file cannot be opened.
inline constexpr char kOpenErrorTitle[] = "Error opening file.";
std::string OpenErrorText(std::string_view fileName);

} // namespace skelvo::ui
