// The texts that front ends show for the engine's events: the step titles and descriptions, the
// success text and the error texts, composed exactly as the dialog shows them.
#pragma once

#include <string>
#include <string_view>

// The version text that events 1 and 5 show for the image that `imageToUse` names:
// FormatVersion of the built-in image's version, or " ---- " for a user file.
std::string PresentedVersion(int imageToUse);

// Title (control 1011) and description (control 1012) of steps 2 to 5, by status code
// (STATUS_COMMAND_ACCEPTED, STATUS_VERIFYING, STATUS_ERASING, STATUS_PROGRAMMING). Empty for
// other codes. `version` is used by STATUS_COMMAND_ACCEPTED only.
std::string StepTitle(int statusCode, std::string_view version = {});
std::string StepDescription(int statusCode);

// The success form's title and description (STATUS_COMPLETE).
std::string SuccessTitle(std::string_view hostName, std::string_view version);
std::string SuccessDescription();
// What a success adds when the device never acknowledged the last block of the programming
// download (CompletionInfo::FinalAckReceived == 0).
std::string UnconfirmedEndNote();

// "Transferring %d of %d bytes.\n" and the bar position: sent / total, then x 100, in double
// precision, truncated toward zero; 0 for a total of 0. May exceed 100.
std::string ProgressText(int sent, int total);
int ProgressPosition(int sent, int total);

// The text of an UpgradeError (codes 1 to 11); empty for any other code. Codes 6 to 9 and 11
// insert the host name, code 10 the login name. Held whole, whatever their lengths.
std::string ErrorText(int errorCode, std::string_view hostName, std::string_view loginName);

// The text without its trailing line breaks and blanks, for a text shown on one line.
std::string TrimEnd(std::string text);

// The question that Escape, the close box and Alt+F4 ask while the device may be verifying,
// erasing or programming (Yes closes, No is the default).
inline constexpr char kCloseDuringUpgradeQuestion[] =
    "The device is being upgraded. Closing now can leave it without firmware. Close anyway?";

// Step 1's title and the introduction line, as the dialog starts.
inline constexpr char kStep1Title[] = "Step 1 of 5: Specify Server and Login details";
inline constexpr char kIntroText[] =
    "This Skelvo firmware upgrade utility allows you to upgrade your server's firmware";
