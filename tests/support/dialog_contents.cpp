#include "tests/support/dialog_contents.h"

#include "engine/events.h"
#include "engine/messages.h"
#include "ui/controls.h"

namespace skelvo::test {

std::string LongestHostName() {
    // One word of the widest letter a DNS name may hold.
    return std::string(127, 'W');
}

std::string LongestLoginName() {
    return std::string(79, 'W');
}

std::vector<ControlContent> EveryMainDialogText() {
    using namespace skelvo::ui;
    std::vector<ControlContent> all{{ID_INTRO, kIntroText}, {ID_STEP_TITLE, kStep1Title}};
    for (const char* version : {"1.0.9", "6.2.1", " ---- "})
        all.push_back({ID_STEP_TITLE, StepTitle(STATUS_COMMAND_ACCEPTED, version)});
    for (int code : {STATUS_COMMAND_ACCEPTED, STATUS_VERIFYING, STATUS_ERASING, STATUS_PROGRAMMING}) {
        all.push_back({ID_STEP_TITLE, StepTitle(code, "1.0.9")});
        all.push_back({ID_STEP_TEXT, StepDescription(code)});
    }
    // The success title has three lines: a host name of up to 20 of the widest letters (about 30
    // of average width) shows whole; a longer one ends in an ellipsis, whole in its tool tip.
    all.push_back({ID_STEP_TITLE, SuccessTitle(std::string(20, 'W'), " ---- ")});
    all.push_back({ID_STEP_TEXT, SuccessDescription()});
    all.push_back({ID_STEP_TEXT, SuccessDescription() + "\n\n" + UnconfirmedEndNote()});
    // Eight digits: images of up to 95 MiB; the largest built-in image is well below 1 MiB.
    all.push_back({ID_PROGRESS_LABEL, ProgressText(99999999, 99999999)});
    for (int code = 1; code <= ERR_NO_PROGRAMMING_REQUEST; ++code)
        all.push_back({ID_ERROR_TEXT, ErrorText(code, LongestHostName(), LongestLoginName())});
    return all;
}

} // namespace skelvo::test
