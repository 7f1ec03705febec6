#include "ui/templates.h"

#include "ui/controls.h"

#include <array>

namespace skelvo::ui {

namespace {

using K = ControlKind;
constexpr unsigned kEditStyle = kBorder | kAutoHScroll | kTabStop;

constexpr std::array kMainControls{
    ControlTemplate{ID_CONTINUE, K::PushButton, "Continue", 45, 243, 50, 14, kDefaultButton | kTabStop},
    ControlTemplate{ID_CANCEL, K::PushButton, "Cancel", 118, 243, 50, 14, kTabStop},
    ControlTemplate{ID_BANNER, K::StaticBitmap, "103", 8, 9, 201, 57, kBorder},
    ControlTemplate{ID_INTRO, K::StaticText, "", 16, 77, 184, 17, kStyleNone},
    ControlTemplate{ID_HOST, K::Edit, "", 59, 158, 87, 14, kEditStyle, 127},
    ControlTemplate{ID_HOST_LABEL, K::StaticText, "IP Address or DNS Entry", 13, 157, 46, 21, kStyleNone},
    ControlTemplate{ID_LOGIN_LABEL, K::StaticText, "Login:", 13, 179, 20, 8, kStyleNone},
    ControlTemplate{ID_LOGIN, K::Edit, "", 59, 178, 88, 14, kEditStyle, 79},
    ControlTemplate{ID_PASSWORD_LABEL, K::StaticText, "Password:", 13, 197, 34, 8, kStyleNone},
    ControlTemplate{ID_PASSWORD, K::Edit, "", 59, 196, 88, 15, kEditStyle | kPassword, 79},
    ControlTemplate{
        ID_WARNING, K::StaticText,
        "WARNING: Upgrading the Tolva Firmware will restart the Tolva and disconnect all users and "
        "links.",
        17, 102, 182, 17, kStyleNone, 0, kDarkRed},
    // Steps 3 and 5 and a success title with a long host name need one line more than the product
    // first gave them: the title grows down to the description, the description down to the
    // group frame (y = 215), into room that only the step-1 and error forms use.
    ControlTemplate{ID_STEP_TITLE, K::StaticText, "Step 1 of 5: Specify Server and Login details", 17, 122,
                    183, 24, kStyleNone},
    ControlTemplate{ID_STEP_TEXT, K::StaticText, "Static", 17, 146, 182, 68, kHidden},
    ControlTemplate{ID_CLOSE, K::PushButton, "Close", 83, 243, 50, 14, kTabStop | kHidden},
    ControlTemplate{kNoId, K::GroupBox, "", 7, 66, 203, 149, kStyleNone},
    ControlTemplate{ID_PROGRESS_LABEL, K::StaticText, "Progress...", 37, 219, 143, 9, kHidden},
    ControlTemplate{ID_PROGRESS_BAR, K::ProgressBar, "", 13, 230, 191, 8, kBorder | kHidden},
    ControlTemplate{ID_ERROR_TEXT, K::StaticText, "TFTP Error Message", 13, 111, 191, 95, kHidden, 0,
                    kDarkRed},
    ControlTemplate{ID_ADVANCED, K::PushButton, "Advanced...", 157, 196, 50, 14, kTabStop},
};

constexpr std::array kAdvancedControls{
    ControlTemplate{ID_ADV_OK, K::PushButton, "OK", 217, 7, 50, 14, kDefaultButton | kTabStop},
    ControlTemplate{ID_ADV_CANCEL, K::PushButton, "Cancel", 217, 24, 50, 14, kTabStop},
    ControlTemplate{ID_ADV_FILENAME, K::Edit, "", 45, 50, 93, 14, kEditStyle, 259},
    ControlTemplate{ID_ADV_BROWSE, K::PushButton, "Browse...", 143, 69, 50, 14, kTabStop},
    ControlTemplate{kNoId, K::GroupBox, "Image Download Options ", 7, 14, 200, 77, kStyleNone},
    ControlTemplate{ID_ADV_TRACE, K::CheckBox, "Enable Download Trace", 10, 96, 93, 10,
                    kAutoCheck | kTabStop},
    ControlTemplate{ID_ADV_NO_OPTIONS, K::CheckBox, "No TFTP options", 112, 96, 95, 10,
                    kAutoCheck | kTabStop},
    ControlTemplate{ID_ADV_USE_FILE, K::CheckBox, "Download specified Flashfile", 15, 30, 105, 10,
                    kAutoCheck | kTabStop},
};

const DialogTemplate kMainDialog{kMainDialogId, "Varnek Firmware Flash Loader", 217, 271, "MS Sans Serif", 8,
                                 kMainControls};
const DialogTemplate kAdvancedDialog{kAdvancedDialogId, "Advanced Options", 274, 114, "MS Sans Serif", 8,
                                     kAdvancedControls};

} // namespace

const DialogTemplate& MainDialogTemplate() {
    return kMainDialog;
}

const DialogTemplate& AdvancedOptionsTemplate() {
    return kAdvancedDialog;
}

const ControlTemplate* FindControl(const DialogTemplate& dialog, int id) {
    for (const ControlTemplate& c : dialog.controls)
        if (c.id == id && id != kNoId)
            return &c;
    return nullptr;
}

int DialogUnitsToPixelsX(int units, const DialogBaseUnits& base) {
    return units * base.averageCharWidth / 4;
}

int DialogUnitsToPixelsY(int units, const DialogBaseUnits& base) {
    return units * base.charHeight / 8;
}

PixelRect ToPixels(const ControlTemplate& control, const DialogBaseUnits& base) {
    return PixelRect{DialogUnitsToPixelsX(control.x, base), DialogUnitsToPixelsY(control.y, base),
                     DialogUnitsToPixelsX(control.width, base), DialogUnitsToPixelsY(control.height, base)};
}

Position CenteredPosition(int windowWidth, int windowHeight, int screenWidth, int screenHeight) {
    return Position{screenWidth / 2 - windowWidth / 2, screenHeight / 2 - windowHeight / 2};
}

} // namespace skelvo::ui
