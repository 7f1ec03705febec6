#include "devsim/devsim.h"
#include "engine/trace.h"
#include "engine/upgrade_record.h"
#include "net/net.h"
#include "qt_test_support.h"
#include "tests/support/event_recorder.h"
#include "tftp/tftp_callbacks.h"
#include "ui/app.h"
#include "ui/modal_boxes.h"
#include "ui/static_text.h"

#include <QApplication>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <unistd.h>

namespace {

using namespace skelvo::ui;
using namespace skelvo::test;
using namespace std::chrono_literals;

std::uint16_t FreeUdpPort() {
    net::Socket s = net::Socket::Udp();
    if (!s.Bind(net::Endpoint{net::kAnyAddress, 0}))
        return 0;
    auto local = s.LocalEndpoint();
    return local ? local->port : 0;
}

devsim::Options DeviceOptions(const char* address, std::uint16_t tftpPort) {
    devsim::Options o;
    o.model = devsim::Model::Tolva21;
    o.address = *net::ParseIpv4(address);
    o.httpPort = 0;
    o.tftpPort = tftpPort;
    o.eraseTime = o.rebootTime = 0ms;
    o.log = [](std::string_view) {};
    return o;
}

// Types the device's address and presses Continue, as the user does.
void Continue(MainDialog& dialog, const char* address) {
    auto* host = qobject_cast<QLineEdit*>(dialog.control(ID_HOST));
    host->clear();
    QTest::keyClicks(host, address);
    QTest::mouseClick(dialog.control(ID_CONTINUE), Qt::LeftButton);
}

class DialogUpgrade : public ::testing::Test {
  protected:
    void SetUp() override {
        EnsureApplication();
        ResetUpgradeRecord();
        saved = g_TftpCallbacks;
        PrepareStartup();
    }
    void TearDown() override {
        SetMessageBoxHook({});
        SetHttpPort(kHttpPort);
        g_TftpCallbacks = saved;
    }
    TftpCallbacks saved{};
};

TEST_F(DialogUpgrade, AWholeUpgradeFromTheDialog) {
    const std::uint16_t tftpPort = FreeUdpPort();
    ASSERT_NE(tftpPort, 0);
    devsim::Simulator device(DeviceOptions("127.0.0.61", tftpPort));
    std::string why;
    ASSERT_TRUE(device.Start(&why)) << why;
    const DialogNetwork network{tftpPort, device.HttpEndpoint().port};

    BoxAnswerer boxes(QMessageBox::Yes);
    MainDialog dialog(nullptr, network);
    dialog.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&dialog));
    std::vector<int> positions;
    QObject::connect(qobject_cast<QProgressBar*>(dialog.control(ID_PROGRESS_BAR)),
                     &QProgressBar::valueChanged, [&](int v) { positions.push_back(v); });
    Continue(dialog, "127.0.0.61");

    ASSERT_EQ(boxes.seen.size(), 1u);
    const SeenBox& question = boxes.seen[0];
    EXPECT_EQ(question.title, "Flash Upgrade Confirmation");
    EXPECT_EQ(question.icon, QMessageBox::Warning);
    EXPECT_EQ(question.buttons, QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel);
    EXPECT_EQ(question.defaultButton, QMessageBox::Cancel);
    EXPECT_TRUE(question.text.startsWith(
        "Warning: You have chosen to upgrade the flash image in the \"127.0.0.61\" Varnek Server.\n"));
    EXPECT_TRUE(question.text.contains("The new flash image is at Version-1.0.9.\n\n"));

    ASSERT_TRUE(WaitUntil(
        [&] { return dialog.control(ID_ERROR_TEXT)->isVisible() || !dialog.control(ID_INTRO)->isVisible(); },
        120s));
    EXPECT_EQ(VisibleControls(dialog), (std::set<int>{ID_BANNER, ID_STEP_TITLE, ID_STEP_TEXT, ID_CLOSE}));
    EXPECT_TRUE(dialog.control(ID_CLOSE)->isEnabled());
    EXPECT_EQ(
        qobject_cast<StaticText*>(dialog.control(ID_STEP_TITLE))->text(),
        "The Skelvo utility has successfully upgraded the Varnek Server: 127.0.0.61. to version 1.0.9 \n\n");

    auto upgrade = device.WaitForUpgrade(60s);
    ASSERT_TRUE(upgrade);
    EXPECT_TRUE(upgrade->succeeded()) << upgrade->outcome;
    // Both downloads moved the bar from the start to full.
    EXPECT_EQ(std::count(positions.begin(), positions.end(), 100), 2);
    // 1 + 2 + 1456 + 7 + 3 + 1456 + 5, every progress event presented.
    const int blocks = static_cast<int>(g_TftpConfigData.Tolva21Image.Size / 512 + 1);
    EXPECT_EQ(dialog.presentedEvents(), 5 + 2 * blocks);
    device.Stop();
}

TEST_F(DialogUpgrade, EnterOnTheQuestionChoosesCancel) {
    const std::uint16_t tftpPort = FreeUdpPort();
    devsim::Simulator device(DeviceOptions("127.0.0.62", tftpPort));
    ASSERT_TRUE(device.Start());
    const DialogNetwork network{tftpPort, device.HttpEndpoint().port};
    int answered = -1;
    SetMessageBoxHook([&](QMessageBox& box) {
        QTimer::singleShot(50, &box, [&box] { QTest::keyClick(&box, Qt::Key_Return); });
        box.exec();
        answered = static_cast<int>(box.standardButton(box.clickedButton()));
        return answered;
    });
    MainDialog dialog(nullptr, network);
    dialog.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&dialog));
    Continue(dialog, "127.0.0.62");
    EXPECT_EQ(answered, static_cast<int>(QMessageBox::Cancel));
    EXPECT_EQ(GetImageToUse(), SERVER_UNKNOWN);
    // Still step 1: nothing was commanded and the port is free again.
    QCoreApplication::processEvents();
    EXPECT_TRUE(dialog.control(ID_CONTINUE)->isVisible());
    EXPECT_EQ(dialog.presentedEvents(), 0);
    net::Socket probe = net::Socket::Udp();
    EXPECT_TRUE(probe.Bind(net::Endpoint{net::kAnyAddress, tftpPort}));
    EXPECT_TRUE(device.GetReport().upgrades.empty());
}

// The child of the test below: the program's own path from the dialog's end to the process's end.
[[noreturn]] void UpgradeThenEscapeMidTransfer(const char* address) {
    // The trace goes to standard error here, unbuffered as on standard output, for the parent.
    SetTraceSink([](std::string_view text) {
        for (std::size_t done = 0; done < text.size();) {
            ssize_t n = ::write(2, text.data() + done, text.size() - done);
            if (n <= 0)
                break;
            done += static_cast<std::size_t>(n);
        }
    });
    EnsureApplication();
    PrepareStartup();
    const std::uint16_t tftpPort = FreeUdpPort();
    devsim::Options o = DeviceOptions(address, tftpPort);
    o.faults.ackDelay = 5ms; // about eight seconds a download: the transfer is under way for a while
    static devsim::Simulator* device = new devsim::Simulator(o); // lives until the process ends
    if (!device->Start())
        std::_Exit(3);
    const DialogNetwork network{tftpPort, device->HttpEndpoint().port};
    SetMessageBoxHook([](QMessageBox& box) {
        TraceMessage("asked: %s\n", box.text().toLatin1().constData());
        return static_cast<int>(QMessageBox::Yes);
    });
    auto* dialog = new MainDialog(nullptr, network);
    dialog->show();
    auto* bar = qobject_cast<QProgressBar*>(dialog->control(ID_PROGRESS_BAR));
    QObject::connect(bar, &QProgressBar::valueChanged, dialog, [dialog](int v) {
        if (v >= 5) {
            TraceMessage("pressing Escape at %d%%\n", v);
            QTest::keyClick(dialog, Qt::Key_Escape);
        }
    });
    QTimer::singleShot(0, dialog, [dialog, address] { Continue(*dialog, address); });
    EndProcess(dialog->exec());
}

// Escape mid-transfer asks first; Yes ends the process at once.
TEST_F(DialogUpgrade, EscapeDuringATransferEndsTheProcessAtOnce) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(UpgradeThenEscapeMidTransfer("127.0.0.63"), ::testing::ExitedWithCode(0),
                "Server is verifying the image integrity.\n(.|\n)*pressing Escape at [0-9]+%\n"
                "asked: The device is being upgraded. Closing now can leave it without firmware. "
                "Close anyway\\?\n");
}

} // namespace
