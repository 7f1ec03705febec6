// Dialog templates 102 (the main dialog) and 5002 (Advanced Options), described once as data so
// that every front end builds the same dialogs from them. Positions and sizes are dialog units.
#pragma once

#include <cstdint>
#include <span>

namespace skelvo::ui {

enum class ControlKind { PushButton, StaticText, StaticBitmap, Edit, GroupBox, ProgressBar, CheckBox };

enum ControlStyle : unsigned {
    kStyleNone = 0,
    kTabStop = 1u << 0,
    kDefaultButton = 1u << 1,
    kBorder = 1u << 2,
    kAutoHScroll = 1u << 3,
    kPassword = 1u << 4,
    kHidden = 1u << 5,    // not visible when the dialog opens
    kAutoCheck = 1u << 6, // a check box that toggles itself
};

inline constexpr int kNoId = -1; // group boxes and other controls nobody addresses

struct ControlTemplate {
    int id;
    ControlKind kind;
    const char* caption; // for the banner: the bitmap's resource id as text
    int x, y, width, height;
    unsigned style;
    int textLimit = 0;                          // edit boxes: EM_LIMITTEXT at initialisation, 0 = none
    std::uint32_t textColorRgb = kDefaultColor; // static texts drawn in their own colour
    static constexpr std::uint32_t kDefaultColor = 0xFFFFFFFFu;
};

struct DialogTemplate {
    int id;
    const char* caption;
    int width, height;
    const char* fontFace;
    int fontPoints;
    std::span<const ControlTemplate> controls; // template order, which is the tab order
};

// RGB(192, 0, 0) as 0xRRGGBB.
inline constexpr std::uint32_t kDarkRed = 0xC00000u;

inline constexpr int kMainDialogId = 102;
inline constexpr int kAdvancedDialogId = 5002;
inline constexpr int kBannerBitmapId = 103;
inline constexpr int kIconGroupId = 101;
inline constexpr int kBannerWidth = 300;
inline constexpr int kBannerHeight = 90;
// String table entry 1: the text of the extra menu item, whose command is 16.
inline constexpr char kAboutMenuText[] = "&About";
inline constexpr int kAboutCommand = 16;

const DialogTemplate& MainDialogTemplate();
const DialogTemplate& AdvancedOptionsTemplate();
// The control with this id, or null.
const ControlTemplate* FindControl(const DialogTemplate& dialog, int id);

// Dialog units to pixels with the dialog font's metrics: x = units * average character width / 4,
// y = units * character height / 8 (integer arithmetic).
struct DialogBaseUnits {
    int averageCharWidth;
    int charHeight;
};
struct PixelRect {
    int x, y, width, height;
    bool operator==(const PixelRect&) const = default;
};
int DialogUnitsToPixelsX(int units, const DialogBaseUnits& base);
int DialogUnitsToPixelsY(int units, const DialogBaseUnits& base);
PixelRect ToPixels(const ControlTemplate& control, const DialogBaseUnits& base);

// CenterWindow's placement: each half is an integer division of its own, so a window 301 pixels
// wide on a 1024-pixel screen lands at 512 - 150 = 362. A window larger than the screen gets a
// negative position here; both dialogs then keep it inside the screen's work area.
struct Position {
    int x, y;
    bool operator==(const Position&) const = default;
};
Position CenteredPosition(int windowWidth, int windowHeight, int screenWidth, int screenHeight);

} // namespace skelvo::ui
