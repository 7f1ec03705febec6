#include "ui/dialog_texts.h"

#include "engine/upgrade_record.h"

#include <cctype>

namespace skelvo::ui {

namespace {

bool EndsWithNoCase(std::string_view text, std::string_view suffix) {
    if (text.size() < suffix.size())
        return false;
    text.remove_prefix(text.size() - suffix.size());
    for (std::size_t i = 0; i < suffix.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(text[i])) !=
            std::tolower(static_cast<unsigned char>(suffix[i])))
            return false;
    return true;
}

// Each version has room for 63 characters.
std::string VersionLine(const char* label, int imageType) {
    return std::string(label) + FormatVersion(ImageVersion(imageType)).substr(0, 63) + "\n";
}

} // namespace

std::string AboutText() {
    std::string text = "Skelvo Firmware Flash Loader\n\n";
    text += VersionLine("Tolva-2100 firmware version: ", SERVER_TOLVA_21XX);
    text += VersionLine("Tolva-2200 firmware version: ", SERVER_TOLVA_22XX);
    text += VersionLine("Dravenholt-II firmware version: ", SERVER_DRAVENHOLT);
    text += "\nCopyright Varnek. Use only on devices you administer.";
    return text;
}

bool MatchesFlashFilter(std::string_view fileName) {
    return EndsWithNoCase(fileName, ".bin") || EndsWithNoCase(fileName, ".flash");
}

std::string OpenErrorText(std::string_view fileName) {
    return "The file \"" + std::string(fileName) + "\" could not be opened. \r\n Please check the filename.";
}

} // namespace skelvo::ui
