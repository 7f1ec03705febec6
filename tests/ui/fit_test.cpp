// Every fixed text of both dialogs fits its control, measured with the font metrics of the
// platform the dialog runs on, and the dialogs fit the screen. CTest runs this at 100% on an
// 800x600 screen and at 200% on a 1024x768 one.
#include "engine/upgrade_record.h"
#include "qt_test_support.h"
#include "tests/support/dialog_contents.h"
#include "ui/advanced_dialog.h"
#include "ui/main_dialog.h"
#include "ui/static_text.h"

#include <QAbstractButton>
#include <QCheckBox>
#include <QGroupBox>
#include <QPushButton>
#include <QScreen>
#include <QStyle>
#include <QStyleOptionButton>
#include <QToolButton>

#include <gtest/gtest.h>

namespace {

using namespace skelvo::ui;
using namespace skelvo::test;

// The width a button's or check box's caption needs: the text and what the style draws around it,
// without the minimum width that a style may add for looks.
int NeededWidth(QAbstractButton& button) {
    if (auto* box = qobject_cast<QCheckBox*>(&button))
        return box->sizeHint().width();
    QStyleOptionButton option;
    option.initFrom(&button);
    const int margin = button.style()->pixelMetric(QStyle::PM_ButtonMargin, &option, &button);
    return button.fontMetrics().horizontalAdvance(button.text()) + 2 * margin;
}

void ExpectCaptionsFit(const TemplateDialog& dialog) {
    for (const ControlTemplate& c : dialog.dialogTemplate().controls) {
        QWidget* w = dialog.control(c.id);
        SCOPED_TRACE(testing::Message() << dialog.dialogTemplate().caption << ", control " << c.id);
        if (auto* text = qobject_cast<StaticText*>(w)) {
            if (text->text() == QString::fromLatin1(c.caption)) {
                EXPECT_TRUE(text->fitsWhole()) << text->text().toStdString();
            }
        } else if (auto* button = qobject_cast<QAbstractButton*>(w)) {
            EXPECT_LE(NeededWidth(*button), button->width()) << button->text().toStdString();
        }
    }
    for (auto* group : dialog.findChildren<QGroupBox*>()) {
        if (!group->title().isEmpty()) {
            EXPECT_LE(group->fontMetrics().horizontalAdvance(group->title()), group->width() - 16);
        }
    }
}

void ExpectOnScreen(QWidget& dialog) {
    const QRect available = dialog.screen()->availableGeometry();
    EXPECT_TRUE(available.contains(dialog.frameGeometry()))
        << "dialog " << dialog.frameGeometry().x() << "," << dialog.frameGeometry().y() << " "
        << dialog.frameGeometry().width() << "x" << dialog.frameGeometry().height() << " on "
        << available.width() << "x" << available.height();
}

TEST(DialogFit, EveryTextOfTheMainDialogFitsItsControl) {
    EnsureApplication();
    ResetUpgradeRecord();
    MainDialog dialog;
    dialog.show();
    ExpectCaptionsFit(dialog);
    for (const ControlContent& content : EveryMainDialogText()) {
        auto* text = qobject_cast<StaticText*>(dialog.control(content.id));
        ASSERT_NE(text, nullptr) << content.id;
        text->setText(QString::fromLatin1(content.text.c_str()));
        EXPECT_TRUE(text->fitsWhole()) << "control " << content.id << ": " << content.text;
    }
    QToolButton& about = *dialog.aboutButton();
    EXPECT_LE(about.fontMetrics().horizontalAdvance(about.text()), about.width());
    EXPECT_TRUE(dialog.control(ID_BANNER)->geometry().contains(dialog.aboutButton()->geometry()));
    ExpectOnScreen(dialog);
}

TEST(DialogFit, EveryCaptionOfAdvancedOptionsFitsItsControl) {
    EnsureApplication();
    ResetUpgradeRecord();
    AdvancedDialog dialog(nullptr);
    dialog.show();
    ExpectCaptionsFit(dialog);
    ExpectOnScreen(dialog);
}

} // namespace
