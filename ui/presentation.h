// The presentation of the engine's status and error events on the main dialog: for each code,
// which controls are shown, hidden, enabled or disabled, in which order, which texts are set and
// how the progress bar moves. Plain C++ over DialogControls, so every front end shares it.
#pragma once

#include "engine/events.h"
#include "ui/controls.h"

#include <optional>
#include <string>

namespace skelvo::ui {

// What the handlers read of the upgrade record, taken when the event is raised.
struct EventContext {
    int imageToUse = 0;
    std::string hostName;
    std::string loginName;
};

// A copy of g_TftpConfigData's HostName, LoginName and ImageToUse as they stand now.
EventContext CurrentEventContext();

// A status event's payload, copied out of the raising call: the engine's pointer is valid only
// during the call, and a front end may present the event later on another thread.
struct StatusPayload {
    std::optional<ProgressInfo> progress;     // STATUS_PROGRESS
    std::optional<CompletionInfo> completion; // STATUS_COMPLETE; empty reads as confirmed
};

// Reads `info` as the payload that `code` carries; null or a code without one gives an empty one.
StatusPayload CopyStatusPayload(int code, const void* info);

// Apply one event to the dialog. A STATUS_PROGRESS without its payload is ignored.
// Codes outside the tables change nothing. Both return 1, as the handler table expects.
int OnUpgradeStatus(DialogControls& dialog, int code, const StatusPayload& payload,
                    const EventContext& context);
int OnUpgradeError(DialogControls& dialog, int code, const EventContext& context);

// The form the main dialog shows, as the events presented so far have left it: step 1's input,
// steps 2 to 5, the success form or the error form.
enum class DialogForm { Input, Requesting, Verifying, Erasing, Programming, Success, Error };

// The form after one more event is presented on a dialog that shows `form`. Events that change
// no form (progress, codes outside the tables) leave it.
DialogForm FormAfterStatus(DialogForm form, int code);
DialogForm FormAfterError(DialogForm form, int code);

// Whether Escape, the close box or Alt+F4 must ask before they end the dialog. From step 3 until
// the success or error form the device may be verifying, erasing or programming: closing then
// ends the program and its TFTP server, and a device whose flash was erased cannot get its image again.
bool CloseNeedsConfirmation(DialogForm form);

} // namespace skelvo::ui
