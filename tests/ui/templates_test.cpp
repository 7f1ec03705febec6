#include "ui/controls.h"
#include "ui/templates.h"

#include <gtest/gtest.h>

#include <set>

namespace {

using namespace skelvo::ui;

TEST(Templates, MainDialogHoldsEveryControlOnceInTabOrder) {
    const DialogTemplate& d = MainDialogTemplate();
    EXPECT_EQ(d.width, 217);
    EXPECT_EQ(d.height, 271);
    std::vector<int> order;
    for (const ControlTemplate& c : d.controls)
        order.push_back(c.id);
    EXPECT_EQ(order, (std::vector<int>{1013, 2, 1000, 1001, 1002, 1003, 1004, 1005, 1007, 1006, 1010, 1011,
                                       1012, 1014, kNoId, 1025, 1027, 1028, 1030}));
    const ControlTemplate* pw = FindControl(d, ID_PASSWORD);
    ASSERT_NE(pw, nullptr);
    EXPECT_NE(pw->style & kPassword, 0u);
    EXPECT_EQ(pw->textLimit, 79);
    EXPECT_EQ(FindControl(d, ID_HOST)->textLimit, 127);
    EXPECT_EQ(FindControl(d, ID_LOGIN)->textLimit, 79);
    EXPECT_NE(FindControl(d, ID_CONTINUE)->style & kDefaultButton, 0u);
    EXPECT_EQ(FindControl(d, ID_WARNING)->textColorRgb, kDarkRed);
    EXPECT_EQ(FindControl(d, ID_ERROR_TEXT)->textColorRgb, kDarkRed);
    EXPECT_EQ(FindControl(d, kNoId), nullptr);
    std::set<int> hidden;
    for (const ControlTemplate& c : d.controls)
        if (c.style & kHidden)
            hidden.insert(c.id);
    EXPECT_EQ(hidden, (std::set<int>{1012, 1014, 1025, 1027, 1028}));
}

TEST(Templates, AdvancedOptionsDialog) {
    const DialogTemplate& d = AdvancedOptionsTemplate();
    EXPECT_EQ(d.width, 274);
    EXPECT_EQ(d.height, 114);
    std::vector<int> order;
    for (const ControlTemplate& c : d.controls)
        order.push_back(c.id);
    EXPECT_EQ(order, (std::vector<int>{1, 2, 205, 206, kNoId, 209, ID_ADV_NO_OPTIONS, 204}));
    EXPECT_EQ(FindControl(d, ID_ADV_FILENAME)->textLimit, 259);
    EXPECT_STREQ(d.controls[4].caption, "Image Download Options ");
}

TEST(Templates, EveryControlLiesInsideItsDialog) {
    for (const DialogTemplate* d : {&MainDialogTemplate(), &AdvancedOptionsTemplate()})
        for (const ControlTemplate& c : d->controls) {
            EXPECT_GE(c.x, 0);
            EXPECT_GE(c.y, 0);
            EXPECT_LE(c.x + c.width, d->width) << c.id;
            EXPECT_LE(c.y + c.height, d->height) << c.id;
        }
}

TEST(DialogUnits, ConvertWithTheFontMetrics) {
    const DialogBaseUnits base{6, 13};
    EXPECT_EQ(ToPixels(*FindControl(MainDialogTemplate(), ID_CONTINUE), base), (PixelRect{67, 394, 75, 22}));
    EXPECT_EQ(DialogUnitsToPixelsX(217, base), 325);
    EXPECT_EQ(DialogUnitsToPixelsY(271, base), 440);
    const DialogBaseUnits wide{7, 16};
    EXPECT_EQ(DialogUnitsToPixelsX(217, wide), 379);
    EXPECT_EQ(DialogUnitsToPixelsY(271, wide), 542);
}

TEST(CenterWindow, HalvesEachSideOnItsOwn) {
    EXPECT_EQ(CenteredPosition(301, 200, 1024, 768), (Position{362, 284}));
    EXPECT_EQ(CenteredPosition(301, 201, 1025, 769), (Position{362, 284}));
    // A window larger than the screen gets a negative position and keeps its size.
    EXPECT_EQ(CenteredPosition(2000, 1000, 1024, 768), (Position{-488, -116}));
}

} // namespace
