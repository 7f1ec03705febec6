#include "engine/messages.h"
#include "engine/upgrade_record.h"
#include "qt_test_support.h"
#include "tftp/tftp_callbacks.h"
#include "tftp/tftp_server.h"
#include "ui/app.h"
#include "ui/dialog_texts.h"
#include "ui/modal_boxes.h"
#include "ui/static_text.h"
#include "ui/templates.h"

#include <QApplication>
#include <QContextMenuEvent>
#include <QFontMetrics>
#include <QLineEdit>
#include <QMenu>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

namespace {

using namespace skelvo::ui;
using namespace skelvo::test;

class MainDialogTest : public ::testing::Test {
  protected:
    void SetUp() override {
        EnsureApplication();
        ResetUpgradeRecord();
        saved = g_TftpCallbacks;
        PrepareStartup();
    }
    void TearDown() override {
        SetMessageBoxHook({});
        g_TftpCallbacks = saved;
        ResetUpgradeRecord();
    }
    QProgressBar* Bar(MainDialog& d) { return qobject_cast<QProgressBar*>(d.control(ID_PROGRESS_BAR)); }
    StaticText* Text(MainDialog& d, int id) { return qobject_cast<StaticText*>(d.control(id)); }
    TftpCallbacks saved{};
};

const std::set<int> kStep1{ID_BANNER,   ID_INTRO,    ID_HOST,           ID_HOST_LABEL, ID_LOGIN_LABEL,
                           ID_LOGIN,    ID_PASSWORD, ID_PASSWORD_LABEL, ID_WARNING,    ID_STEP_TITLE,
                           ID_CONTINUE, ID_CANCEL,   ID_ADVANCED};

TEST_F(MainDialogTest, StartUpRegistersTheHandlersAndTheDefaultLogin) {
    EXPECT_EQ(g_TftpCallbacks.CheckFilenameHandler, &CheckFilename);
    EXPECT_EQ(g_TftpCallbacks.ReadBlockHandler, &ReadImageBlock);
    EXPECT_EQ(g_TftpCallbacks.WriteBlockHandler, nullptr);
    EXPECT_EQ(g_TftpCallbacks.ErrorHandler, &DialogOnUpgradeError);
    EXPECT_EQ(g_TftpCallbacks.StatusHandler, &DialogOnUpgradeStatus);
    EXPECT_STREQ(g_TftpConfigData.LoginName, "root");
    EXPECT_STREQ(g_TftpConfigData.Password, "marlin");
    EXPECT_STREQ(g_TftpConfigData.HostName, "");
}

TEST_F(MainDialogTest, OpensInStepOneLaidOutFromTheTemplate) {
    MainDialog dialog;
    dialog.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&dialog));
    EXPECT_EQ(dialog.windowTitle(), "Varnek Firmware Flash Loader");
    EXPECT_EQ(VisibleControls(dialog), kStep1);

    const DialogBaseUnits base = BaseUnitsOf(dialog.font());
    EXPECT_GT(base.averageCharWidth, 3);
    EXPECT_GT(base.charHeight, 8);
    EXPECT_EQ(dialog.size(), QSize(DialogUnitsToPixelsX(217, base), DialogUnitsToPixelsY(271, base)));
    EXPECT_EQ(dialog.minimumSize(), dialog.maximumSize());
    int index = 0;
    for (const ControlTemplate& c : MainDialogTemplate().controls) {
        QWidget* w = dialog.findChild<QWidget*>(ControlObjectName(c, index++));
        ASSERT_NE(w, nullptr) << c.id;
        const PixelRect r = ToPixels(c, base);
        EXPECT_EQ(w->geometry(), QRect(r.x, r.y, r.width, r.height)) << c.id;
        EXPECT_TRUE(dialog.rect().contains(w->geometry())) << c.id;
    }

    auto* host = qobject_cast<QLineEdit*>(dialog.control(ID_HOST));
    auto* login = qobject_cast<QLineEdit*>(dialog.control(ID_LOGIN));
    auto* password = qobject_cast<QLineEdit*>(dialog.control(ID_PASSWORD));
    EXPECT_EQ(host->text(), "");
    EXPECT_EQ(login->text(), "root");
    EXPECT_EQ(password->text(), "marlin");
    EXPECT_EQ(password->echoMode(), QLineEdit::Password);
    EXPECT_EQ(host->maxLength(), 127);
    EXPECT_EQ(login->maxLength(), 79);
    EXPECT_EQ(password->maxLength(), 79);
    EXPECT_TRUE(qobject_cast<QPushButton*>(dialog.control(ID_CONTINUE))->isDefault());
    EXPECT_TRUE(WaitUntil([&] { return QApplication::focusWidget() == host; }));

    EXPECT_EQ(Text(dialog, ID_INTRO)->text().toStdString(), kIntroText);
    EXPECT_EQ(Text(dialog, ID_WARNING)->textColor(), QColor(192, 0, 0));
    EXPECT_EQ(Text(dialog, ID_ERROR_TEXT)->textColor(), QColor(192, 0, 0));
    EXPECT_FALSE(Text(dialog, ID_STEP_TITLE)->textColor().isValid());
    EXPECT_FALSE(dialog.windowIcon().isNull());
    EXPECT_EQ(dialog.windowIcon().availableSizes().size(), 3);
}

TEST_F(MainDialogTest, TabOrderFollowsTheTemplate) {
    MainDialog dialog;
    dialog.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&dialog));
    std::vector<QWidget*> expected;
    for (int id : {ID_CONTINUE, ID_CANCEL, ID_HOST, ID_LOGIN, ID_PASSWORD, ID_ADVANCED})
        expected.push_back(dialog.control(id));
    dialog.control(ID_CONTINUE)->setFocus();
    ASSERT_TRUE(WaitUntil([&] { return QApplication::focusWidget() == expected[0]; }));
    for (std::size_t i = 1; i <= expected.size(); ++i) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        EXPECT_EQ(QApplication::focusWidget(), expected[i % expected.size()]) << i;
    }
}

// Keyboard only: once step 1 is left, Enter and Space press Close and nothing else, and no
// second Continue sequence starts. The ports are a lab's, so that a sequence started by mistake
// could not reach a real device either.
TEST_F(MainDialogTest, AfterStepOneTheKeysPressOnlyClose) {
    struct Run {
        const char* form;
        std::vector<RaisedEvent> events;
        int key;
        int ends; // -1: the dialog stays
    };
    const std::vector<RaisedEvent> success{Status(STATUS_COMMAND_ACCEPTED), Status(STATUS_VERIFYING),
                                           Status(STATUS_ERASING), Status(STATUS_PROGRAMMING),
                                           Status(STATUS_COMPLETE)};
    const std::vector<Run> runs{
        {"error", {Error(ERR_TFTP_BIND)}, Qt::Key_Return, 1},
        {"error after step 3",
         {Status(STATUS_COMMAND_ACCEPTED), Status(STATUS_VERIFYING), Error(ERR_READ_REQUEST)},
         Qt::Key_Enter,
         1},
        {"success", success, Qt::Key_Return, 1},
        {"success", success, Qt::Key_Space, 1},
        {"step 2", {Status(STATUS_COMMAND_ACCEPTED)}, Qt::Key_Return, 1},
        {"step 4",
         {Status(STATUS_COMMAND_ACCEPTED), Status(STATUS_VERIFYING), Status(STATUS_ERASING)},
         Qt::Key_Return,
         -1},
        {"step 5", {Status(STATUS_COMMAND_ACCEPTED), Status(STATUS_PROGRAMMING)}, Qt::Key_Space, -1},
    };
    for (const Run& run : runs) {
        SCOPED_TRACE(testing::Message() << run.form << ", key " << run.key);
        BoxAnswerer boxes(QMessageBox::Yes);
        MainDialog dialog(nullptr, DialogNetwork{9, 9, {}});
        int ended = -1;
        QObject::connect(&dialog, &QDialog::finished, [&](int value) { ended = value; });
        dialog.show();
        ASSERT_TRUE(QTest::qWaitForWindowActive(&dialog));
        RaiseOnWorker(dialog, run.events);
        QWidget* focus = QApplication::focusWidget();
        if (run.ends == 1) {
            EXPECT_EQ(focus, dialog.control(ID_CLOSE));
        } else {
            EXPECT_NE(focus, dialog.control(ID_CONTINUE));
        }
        QTest::keyClick(focus != nullptr ? focus : &dialog, static_cast<Qt::Key>(run.key));
        EXPECT_EQ(ended, run.ends);
        // A Continue sequence would have asked its confirmation.
        EXPECT_TRUE(boxes.seen.empty());
        EXPECT_NE(dialog.presenter().Form(), DialogForm::Input);
    }
}

TEST_F(MainDialogTest, AllOfWhatIsTypedIsLimitedAndReachesTheFields) {
    MainDialog dialog;
    auto* host = qobject_cast<QLineEdit*>(dialog.control(ID_HOST));
    QTest::keyClicks(host, QString(140, QLatin1Char('a')));
    EXPECT_EQ(host->text().size(), 127);
}

TEST_F(MainDialogTest, WorkerEventsWalkThroughEveryForm) {
    SetHostName("192.0.2.7");
    SetImageToUse(SERVER_TOLVA_21XX);
    MainDialog dialog;
    dialog.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&dialog));
    const auto closeEnabled = [&] { return dialog.control(ID_CLOSE)->isEnabled(); };

    RaiseOnWorker(dialog, {Status(STATUS_COMMAND_ACCEPTED)});
    EXPECT_EQ(VisibleControls(dialog),
              (std::set<int>{ID_BANNER, ID_INTRO, ID_STEP_TITLE, ID_STEP_TEXT, ID_CLOSE}));
    EXPECT_TRUE(closeEnabled());
    EXPECT_EQ(Text(dialog, ID_STEP_TITLE)->text().toStdString(),
              "Step 2 of 5: Requesting flash image firmware upgrade to version 1.0.9\n");

    const std::set<int> withBar{ID_BANNER,         ID_INTRO,        ID_STEP_TITLE, ID_STEP_TEXT,
                                ID_PROGRESS_LABEL, ID_PROGRESS_BAR, ID_CLOSE};
    RaiseOnWorker(dialog, {Status(STATUS_VERIFYING)});
    EXPECT_EQ(VisibleControls(dialog), withBar);
    EXPECT_FALSE(closeEnabled());
    EXPECT_EQ(Text(dialog, ID_PROGRESS_LABEL)->text(), "Progress...");
    EXPECT_EQ(Bar(dialog)->value(), 0);

    // Every progress event reaches the dialog, in order: the bar never goes back.
    std::vector<RaisedEvent> blocks;
    const int total = 51200;
    for (int sent = 512; sent - 512 <= total; sent += 512)
        blocks.push_back(Progress(sent, total));
    const int before = dialog.presentedEvents();
    std::vector<int> positions;
    QObject::connect(Bar(dialog), &QProgressBar::valueChanged, [&](int v) { positions.push_back(v); });
    RaiseOnWorker(dialog, blocks);
    EXPECT_EQ(dialog.presentedEvents() - before, static_cast<int>(blocks.size()));
    EXPECT_TRUE(std::is_sorted(positions.begin(), positions.end()));
    EXPECT_EQ(positions.back(), 100);
    EXPECT_EQ(Text(dialog, ID_PROGRESS_LABEL)->text(), "Transferring 51712 of 51200 bytes.\n");
    EXPECT_EQ(VisibleControls(dialog), withBar);

    RaiseOnWorker(dialog, {Status(STATUS_ERASING)});
    EXPECT_EQ(VisibleControls(dialog),
              (std::set<int>{ID_BANNER, ID_INTRO, ID_STEP_TITLE, ID_STEP_TEXT, ID_CLOSE}));
    EXPECT_FALSE(closeEnabled());

    RaiseOnWorker(dialog, {Status(STATUS_PROGRAMMING)});
    EXPECT_EQ(VisibleControls(dialog), withBar);
    EXPECT_FALSE(closeEnabled());
    EXPECT_EQ(Bar(dialog)->value(), 100);

    RaiseOnWorker(dialog, {Progress(14848, 51200)});
    EXPECT_EQ(Bar(dialog)->value(), 28);
    RaiseOnWorker(dialog, {Status(STATUS_COMPLETE)});
    EXPECT_EQ(VisibleControls(dialog), (std::set<int>{ID_BANNER, ID_STEP_TITLE, ID_STEP_TEXT, ID_CLOSE}));
    EXPECT_TRUE(closeEnabled());
    EXPECT_EQ(
        Text(dialog, ID_STEP_TITLE)->text().toStdString(),
        "The Skelvo utility has successfully upgraded the Varnek Server: 192.0.2.7. to version 1.0.9 \n\n");
}

TEST_F(MainDialogTest, AnUnconfirmedEndShowsItsNoteWhole) {
    SetHostName("192.0.2.7");
    SetImageToUse(SERVER_TOLVA_22XX);
    MainDialog dialog;
    dialog.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&dialog));
    // The worker's payload is overwritten as soon as the call returns: the queued presentation
    // must have taken a copy.
    RaiseOnWorker(dialog, {Status(STATUS_COMMAND_ACCEPTED), Status(STATUS_PROGRAMMING), Completed(0)});
    EXPECT_EQ(VisibleControls(dialog), (std::set<int>{ID_BANNER, ID_STEP_TITLE, ID_STEP_TEXT, ID_CLOSE}));
    EXPECT_TRUE(dialog.control(ID_CLOSE)->isEnabled());
    StaticText* text = Text(dialog, ID_STEP_TEXT);
    EXPECT_EQ(text->text().toStdString(), SuccessDescription() + "\n\n" + UnconfirmedEndNote());
    EXPECT_TRUE(text->fitsWhole());

    RaiseOnWorker(dialog, {Completed(1)});
    EXPECT_EQ(text->text().toStdString(), SuccessDescription());
}

TEST_F(MainDialogTest, BarPositionEdgeCases) {
    MainDialog dialog;
    RaiseOnWorker(dialog,
                  {Status(STATUS_COMMAND_ACCEPTED), Status(STATUS_VERIFYING), Progress(14848, 51200)});
    EXPECT_EQ(Bar(dialog)->value(), 28);
    RaiseOnWorker(dialog, {Progress(745472, 745353)});
    EXPECT_EQ(Bar(dialog)->value(), 100);
    EXPECT_EQ(Text(dialog, ID_PROGRESS_LABEL)->text(), "Transferring 745472 of 745353 bytes.\n");
    RaiseOnWorker(dialog, {Progress(512, 0)});
    EXPECT_EQ(Bar(dialog)->value(), 0);
    RaiseOnWorker(dialog, {Progress(512, 100)});
    EXPECT_EQ(Bar(dialog)->value(), 100);
    EXPECT_EQ(Bar(dialog)->minimum(), 0);
    EXPECT_EQ(Bar(dialog)->maximum(), 100);
}

TEST_F(MainDialogTest, ErrorFormAndReceiveErrorBeforeCommandAccepted) {
    SetHostName("192.0.2.7");
    MainDialog dialog;
    RaiseOnWorker(dialog, {Error(ERR_RECEIVE)});
    EXPECT_EQ(Text(dialog, ID_ERROR_TEXT)->text().toStdString(), ErrorText(ERR_RECEIVE, "192.0.2.7", ""));
    // The reset came after the command: step 2 replaces the error text.
    RaiseOnWorker(dialog, {Status(STATUS_COMMAND_ACCEPTED)});
    EXPECT_EQ(VisibleControls(dialog),
              (std::set<int>{ID_BANNER, ID_INTRO, ID_STEP_TITLE, ID_STEP_TEXT, ID_CLOSE}));
    EXPECT_TRUE(dialog.control(ID_CLOSE)->isEnabled());

    MainDialog second;
    RaiseOnWorker(second, {Status(STATUS_COMMAND_ACCEPTED), Status(STATUS_VERIFYING), Error(ERR_SEND),
                           Error(ERR_READ_REQUEST)});
    EXPECT_EQ(VisibleControls(second), (std::set<int>{ID_BANNER, ID_ERROR_TEXT, ID_CLOSE}));
    EXPECT_TRUE(second.control(ID_CLOSE)->isEnabled());
    EXPECT_EQ(Text(second, ID_ERROR_TEXT)->text().toStdString(), ErrorText(ERR_READ_REQUEST, "", ""));
}

TEST_F(MainDialogTest, UserFileVersionIsShownAsDashes) {
    SetHostName("10.1.1.1");
    SetImageToUse(SERVER_USER_FILE);
    MainDialog dialog;
    RaiseOnWorker(dialog, {Status(STATUS_COMMAND_ACCEPTED)});
    EXPECT_EQ(Text(dialog, ID_STEP_TITLE)->text().toStdString(),
              "Step 2 of 5: Requesting flash image firmware upgrade to version  ---- \n");
}

TEST_F(MainDialogTest, LongHostNamesAreHeldWholeAndNeverDrawnOutsideTheirControl) {
    const std::string host(127, 'W');
    SetHostName(host);
    SetImageToUse(SERVER_DRAVENHOLT);
    for (int code : {ERR_CONNECT, ERR_SEND, ERR_RECEIVE, ERR_RESOLVE}) {
        MainDialog dialog;
        dialog.show();
        RaiseOnWorker(dialog, {Error(code)});
        StaticText* text = Text(dialog, ID_ERROR_TEXT);
        EXPECT_EQ(text->text().toStdString(), ErrorText(code, host, "root"));
        const QFontMetrics metrics(text->font());
        const QStringList lines = text->visibleLines();
        EXPECT_LE(lines.size() * metrics.lineSpacing(), text->height() + metrics.lineSpacing());
        // Blanks at a line's end are not drawn.
        for (const QString& line : lines)
            EXPECT_LE(metrics.horizontalAdvance(line.trimmed()), text->width()) << line.toStdString();
        // Whole where it fits; otherwise cut with an ellipsis, the whole text as tool tip.
        if (text->fitsWhole())
            EXPECT_EQ(lines.join(QString()).remove(QLatin1Char(' ')),
                      text->text().remove(QLatin1Char('\n')).remove(QLatin1Char(' ')));
        else
            EXPECT_EQ(text->toolTipText(), text->text());
        EXPECT_TRUE(dialog.rect().contains(text->geometry()));
    }
    MainDialog dialog;
    RaiseOnWorker(dialog, {Status(STATUS_COMPLETE)});
    StaticText* title = Text(dialog, ID_STEP_TITLE);
    EXPECT_EQ(title->text().toStdString(), SuccessTitle(host, "6.2.1"));
    EXPECT_FALSE(title->fitsWhole());
    EXPECT_EQ(title->toolTipText(), title->text());
    const QFontMetrics metrics(title->font());
    EXPECT_LE(title->visibleLines().size() * metrics.lineSpacing(), title->height());
    for (const QString& line : title->visibleLines())
        EXPECT_LE(metrics.horizontalAdvance(line.trimmed()), title->width());
}

TEST_F(MainDialogTest, EscapeAndTheCloseBoxEndWithZeroCloseWithOne) {
    {
        MainDialog dialog;
        dialog.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&dialog));
        QTest::keyClick(&dialog, Qt::Key_Escape);
        EXPECT_EQ(dialog.result(), 0);
        EXPECT_FALSE(dialog.isVisible());
    }
    {
        MainDialog dialog;
        dialog.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&dialog));
        dialog.close();
        EXPECT_EQ(dialog.result(), 0);
    }
    {
        MainDialog dialog;
        dialog.show();
        RaiseOnWorker(dialog, {Status(STATUS_COMMAND_ACCEPTED)});
        QTest::mouseClick(dialog.control(ID_CLOSE), Qt::LeftButton);
        EXPECT_EQ(dialog.result(), 1);
    }
    {
        MainDialog dialog;
        dialog.show();
        QTest::mouseClick(dialog.control(ID_CANCEL), Qt::LeftButton);
        EXPECT_EQ(dialog.result(), 0);
    }
}

// Escape and the close box, each answered No and then Yes, in each step in which the device may
// be verifying, erasing or programming.
TEST_F(MainDialogTest, ClosingWhileTheDeviceWorksAsksFirst) {
    BoxAnswerer boxes(QMessageBox::No);
    const std::function<void(MainDialog&)> escape = [](MainDialog& d) {
        QTest::keyClick(&d, Qt::Key_Escape);
    };
    const std::function<void(MainDialog&)> closeBox = [](MainDialog& d) { d.close(); };
    for (int step : {STATUS_VERIFYING, STATUS_ERASING, STATUS_PROGRAMMING}) {
        SCOPED_TRACE(StatusName(step));
        boxes.seen.clear();
        boxes.answer = QMessageBox::No;
        MainDialog dialog;
        dialog.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&dialog));
        RaiseOnWorker(dialog, {Status(STATUS_COMMAND_ACCEPTED), Status(step), Progress(512, 1024)});
        for (const auto& close : {escape, closeBox}) {
            close(dialog);
            EXPECT_TRUE(dialog.isVisible());
        }
        ASSERT_EQ(boxes.seen.size(), 2u);
        for (const SeenBox& box : boxes.seen) {
            EXPECT_EQ(box.title, "Varnek Firmware Flash Loader");
            EXPECT_EQ(
                box.text,
                "The device is being upgraded. Closing now can leave it without firmware. Close anyway?");
            EXPECT_EQ(box.icon, QMessageBox::Warning);
            EXPECT_EQ(box.buttons, QMessageBox::Yes | QMessageBox::No);
            EXPECT_EQ(box.defaultButton, QMessageBox::No);
        }
        boxes.answer = QMessageBox::Yes;
        (step == STATUS_ERASING ? closeBox : escape)(dialog);
        EXPECT_EQ(boxes.seen.size(), 3u);
        EXPECT_FALSE(dialog.isVisible());
        EXPECT_EQ(dialog.result(), 0);
    }
}

TEST_F(MainDialogTest, ClosingBeforeStepThreeOrAfterTheEndAsksNothing) {
    BoxAnswerer boxes(QMessageBox::No);
    const std::vector<std::vector<RaisedEvent>> forms = {
        {},
        {Status(STATUS_COMMAND_ACCEPTED)},
        {Status(STATUS_COMMAND_ACCEPTED), Status(STATUS_PROGRAMMING), Completed(0)},
        {Status(STATUS_COMMAND_ACCEPTED), Status(STATUS_VERIFYING), Error(ERR_NO_PROGRAMMING_REQUEST)},
        {Status(STATUS_COMMAND_ACCEPTED), Status(STATUS_ERASING), Error(ERR_READ_REQUEST)},
    };
    for (std::size_t n = 0; n < forms.size(); ++n) {
        for (bool escape : {true, false}) {
            SCOPED_TRACE(testing::Message() << "form " << n << (escape ? ", Escape" : ", close box"));
            MainDialog dialog;
            dialog.show();
            ASSERT_TRUE(QTest::qWaitForWindowExposed(&dialog));
            RaiseOnWorker(dialog, forms[n]);
            if (escape)
                QTest::keyClick(&dialog, Qt::Key_Escape);
            else
                dialog.close();
            EXPECT_FALSE(dialog.isVisible());
            EXPECT_EQ(dialog.result(), 0);
        }
    }
    EXPECT_TRUE(boxes.seen.empty());
}

// Keyboard only: Escape asks, and Enter on the question chooses No.
TEST_F(MainDialogTest, EnterOnTheCloseQuestionKeepsTheDialog) {
    int answered = -1;
    SetMessageBoxHook([&](QMessageBox& box) {
        QTimer::singleShot(0, &box, [&box] { QTest::keyClick(&box, Qt::Key_Return); });
        box.exec();
        answered = static_cast<int>(box.standardButton(box.clickedButton()));
        return answered;
    });
    MainDialog dialog;
    dialog.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&dialog));
    RaiseOnWorker(dialog, {Status(STATUS_COMMAND_ACCEPTED), Status(STATUS_PROGRAMMING)});
    QTest::keyClick(&dialog, Qt::Key_Escape);
    EXPECT_EQ(answered, static_cast<int>(QMessageBox::No));
    EXPECT_TRUE(dialog.isVisible());
}

TEST_F(MainDialogTest, EventsAfterTheDialogIsGoneAreDropped) {
    auto* dialog = new MainDialog;
    RaiseOnWorker(*dialog, {Status(STATUS_COMMAND_ACCEPTED)});
    std::thread worker([] {
        for (int i = 0; i < 2000; ++i) {
            ProgressInfo info{i * 512, 1024000};
            RaiseStatus(STATUS_PROGRESS, &info);
        }
    });
    QCoreApplication::processEvents();
    delete dialog;
    worker.join();
    QCoreApplication::processEvents();
    SUCCEED();
}

TEST_F(MainDialogTest, AboutFromTheMenuAndF1) {
    BoxAnswerer boxes(QMessageBox::Ok);
    MainDialog dialog;
    dialog.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&dialog));
    QTest::keyClick(&dialog, Qt::Key_F1);
    ASSERT_EQ(boxes.seen.size(), 1u);
    const SeenBox& about = boxes.seen[0];
    EXPECT_EQ(about.title, "About Varnek Skelvo ...");
    EXPECT_EQ(about.icon, QMessageBox::NoIcon);
    EXPECT_EQ(about.buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
    EXPECT_TRUE(about.text.startsWith(
        "Skelvo Firmware Flash Loader\n\nTolva-2100 firmware version: 1.0.9\n"
        "Tolva-2200 firmware version: 1.0.9\nDravenholt-II firmware version: 6.2.1\n\n"));
    EXPECT_EQ(about.text.toStdString(), AboutText());

    QString menuText;
    QTimer::singleShot(0, [&] {
        auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
        ASSERT_NE(menu, nullptr);
        ASSERT_EQ(menu->actions().size(), 1);
        menuText = menu->actions()[0]->text();
        menu->actions()[0]->trigger();
        menu->close();
    });
    QContextMenuEvent event(QContextMenuEvent::Mouse, QPoint(20, 20), dialog.mapToGlobal(QPoint(20, 20)));
    QApplication::sendEvent(&dialog, &event);
    EXPECT_EQ(menuText, "&About");
    ASSERT_EQ(boxes.seen.size(), 2u);
    EXPECT_EQ(boxes.seen[1].title, "About Varnek Skelvo ...");
}

} // namespace
