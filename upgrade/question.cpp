#include "upgrade/question.h"

#include "engine/upgrade_record.h"

namespace skelvo::upgrade {
namespace {

constexpr std::size_t kDisplayVersionRoom = 63;
constexpr std::size_t kQuestionRoom = 1023;

constexpr char kQuestionFormat[] =
    "Warning: You have chosen to upgrade the flash image in the \"%s\" Varnek Server.\n"
    "This action cannot be interrupted and should only be done if and when required.\n\n"
    "Flash upgrades should only be carried out on servers within your subnet.\n"
    "Attempts to upgrade hosts over Virtual Private Networks will fail and should not be attempted.\n\n"
    "The Varnek Server you wish to upgrade is currently at Version-%s\n"
    "The new flash image is at Version-%s.\n\n"
    "Do you really want to upgrade the flash image?";

std::string Fill(const std::string& host, const std::string& current, const std::string& display) {
    std::string text;
    std::string_view format = kQuestionFormat;
    const std::string* values[] = {&host, &current, &display};
    int next = 0;
    for (std::size_t i = 0; i < format.size(); ++i) {
        if (format[i] == '%' && i + 1 < format.size() && format[i + 1] == 's' && next < 3) {
            text += *values[next++];
            ++i;
        } else {
            text += format[i];
        }
    }
    if (text.size() > kQuestionRoom)
        text.resize(kQuestionRoom);
    return text;
}

} // namespace

std::string DisplayVersion(int imageToUse) {
    if (imageToUse == SERVER_USER_FILE)
        return kUserFileVersion;
    const char* digits = ImageVersion(imageToUse);
    std::string display = FormatVersion(digits != nullptr ? digits : "Error");
    if (display.size() > kDisplayVersionRoom)
        display.resize(kDisplayVersionRoom);
    return display;
}

ConfirmQuestion ComposeQuestion(const std::string& host, const std::string& current, int imageToUse) {
    ConfirmQuestion q;
    q.title = kConfirmTitle;
    q.host = host;
    q.currentVersion = current;
    q.newVersion = DisplayVersion(imageToUse);
    q.text = Fill(host, current, q.newVersion);
    return q;
}

std::string MaskedFieldsTrace(const char* host, const char* login) {
    // CWE-532: the password never reaches a log; the mask does not tell its length either.
    return std::string(host != nullptr ? host : "") + ":" + (login != nullptr ? login : "") + ":********";
}

} // namespace skelvo::upgrade
