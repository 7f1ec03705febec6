// The presentation of the engine's status and error events on the main dialog: for each code,
// which controls are shown, hidden, enabled or disabled, in which order, which texts are set and
// how the progress bar moves. Plain C++ over DialogControls, so every front end shares it.
#pragma once

#include "engine/events.h"
#include "ui/controls.h"

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

// Apply one event to the dialog. `progress` is read only for STATUS_PROGRESS (null: ignored).
// Codes outside the tables change nothing. Both return 1, as the handler table expects.
int OnUpgradeStatus(DialogControls& dialog, int code, const ProgressInfo* progress,
                    const EventContext& context);
int OnUpgradeError(DialogControls& dialog, int code, const EventContext& context);

} // namespace skelvo::ui
