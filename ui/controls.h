// The operations a dialog offers to the presentation of engine events: each acts on one control,
// found by its id. A Qt dialog implements them, a native Windows dialog can, and so does the
// recording fake of the tests.
#pragma once

#include <string_view>

namespace skelvo::ui {

// Ids of the main dialog's controls (template 102).
enum MainControl : int {
    ID_OK = 1,
    ID_CANCEL = 2,
    ID_BANNER = 1000,
    ID_INTRO = 1001,
    ID_HOST = 1002,
    ID_HOST_LABEL = 1003,
    ID_LOGIN_LABEL = 1004,
    ID_LOGIN = 1005,
    ID_PASSWORD = 1006,
    ID_PASSWORD_LABEL = 1007,
    ID_WARNING = 1010,
    ID_STEP_TITLE = 1011,
    ID_STEP_TEXT = 1012,
    ID_CONTINUE = 1013,
    ID_CLOSE = 1014,
    ID_PROGRESS_LABEL = 1025,
    ID_PROGRESS_BAR = 1027,
    ID_ERROR_TEXT = 1028,
    ID_ADVANCED = 1030,
};

// Ids of the Advanced Options dialog's controls (template 5002).
enum AdvancedControl : int {
    ID_ADV_OK = 1,
    ID_ADV_CANCEL = 2,
    ID_ADV_USE_FILE = 204,
    ID_ADV_FILENAME = 205,
    ID_ADV_BROWSE = 206,
    ID_ADV_TRACE = 209,
    // Answer no TFTP options: for a device whose loader mishandles them. Not saved.
    ID_ADV_NO_OPTIONS = 210,
};

// The three messages a progress bar takes from the presentation. On Windows they are
// PBM_SETRANGE (minimum in the low, maximum in the high 16 bits of lParam), PBM_SETSTEP and
// PBM_SETPOS (the value in wParam).
enum class ProgressMessage { SetRange, SetStep, SetPos };

class DialogControls {
  public:
    virtual ~DialogControls() = default;
    virtual void Show(int id) = 0;
    virtual void Hide(int id) = 0;
    virtual void Enable(int id, bool enabled) = 0;
    virtual void SetText(int id, std::string_view text) = 0;
    // For SetRange, `first` is the minimum and `second` the maximum; the others use `first`.
    virtual void SendProgress(int id, ProgressMessage message, int first, int second = 0) = 0;
    // The push button that Enter presses; every other button stops being the default.
    virtual void SetDefaultButton(int id) = 0;
    // Whether Tab and a click can give the control the keyboard focus.
    virtual void SetFocusable(int id, bool focusable) = 0;
    // Gives the control the keyboard focus.
    virtual void Focus(int id) = 0;
};

} // namespace skelvo::ui
