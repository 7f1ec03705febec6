// The confirmation question of an upgrade, composed once for every front end.
#pragma once

#include <optional>
#include <string>

namespace skelvo::upgrade {

enum class ConfirmAnswer { Yes, No, Cancel };

inline constexpr char kConfirmTitle[] = "Flash Upgrade Confirmation";
inline constexpr char kUserFileVersion[] = "(Using-File...No Version Info)";

// What is asked before a device is commanded: a Yes/No/Cancel question with the warning icon,
// Cancel the default.
struct ConfirmQuestion {
    std::string title;          // kConfirmTitle
    std::string text;           // the whole question, exactly as it is to be shown
    std::string host;           // the host as typed
    std::string currentVersion; // the device's version as reported, or "Not-Known"
    std::string newVersion;     // display form of the new image's version ("1.0.9", "Error", ...)
};

// The display form of the version of the image that `imageToUse` serves: "1.0.9", the
// user-file text for SERVER_USER_FILE, "Error" when no built-in image names one. At most 63
// characters.
std::string DisplayVersion(int imageToUse);

// The question for host, at current, to be given the image that imageToUse serves.
ConfirmQuestion ComposeQuestion(const std::string& host, const std::string& current, int imageToUse);

// The trace line of the copied fields: "host:login:********".
std::string MaskedFieldsTrace(const char* host, const char* login);

} // namespace skelvo::upgrade
