#include "devsim/devsim.h"
#include "engine/trace.h"
#include "engine/upgrade_record.h"
#include "net/net.h"
#include "qt_test_support.h"
#include "tests/support/event_recorder.h"
#include "tests/support/ports.h"
#include "tftp/tftp_callbacks.h"
#include "ui/app.h"
#include "ui/modal_boxes.h"
#include "ui/static_text.h"
#include "upgrade/journal.h"

#include <QApplication>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>

#include <unistd.h>

namespace {

using namespace skelvo::ui;
using namespace skelvo::test;
using namespace std::chrono_literals;

devsim::Options DeviceOptions(const char* address, std::uint16_t tftpPort, const char* faults = nullptr) {
    devsim::Options o;
    if (faults != nullptr) {
        EXPECT_TRUE(devsim::ParseFaultList(faults, o.faults, nullptr));
    }
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
    const DialogNetwork network{tftpPort, device.HttpEndpoint().port, {}};

    BoxAnswerer boxes(QMessageBox::Yes);
    MainDialog dialog(nullptr, network);
    dialog.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&dialog));
    std::vector<int> positions;
    QObject::connect(qobject_cast<QProgressBar*>(dialog.control(ID_PROGRESS_BAR)),
                     &QProgressBar::valueChanged, [&](int v) { positions.push_back(v); });
    Continue(dialog, "127.0.0.61");

    // The flow runs on a worker: the dialog keeps drawing while the device is probed.
    ASSERT_TRUE(WaitUntil([&] { return !boxes.seen.empty(); }, 60s));
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
    const DialogNetwork network{tftpPort, device.HttpEndpoint().port, {}};
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
    ASSERT_TRUE(WaitUntil([&] { return answered != -1 && !dialog.presenter().Busy(); }, 60s));
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

// A web server that trickles its header for ever: the dialog stays responsive, and after the
// probe's deadline it shows the receive error, with nothing sent.
TEST_F(DialogUpgrade, AWebServerThatNeverEndsItsAnswerEndsInTheErrorFormAtTheDeadline) {
    const std::uint16_t tftpPort = FreeUdpPort();
    devsim::Simulator device(DeviceOptions("127.0.0.64", tftpPort, "trickle=500"));
    ASSERT_TRUE(device.Start());
    BoxAnswerer boxes(QMessageBox::Yes);
    MainDialog dialog(nullptr, DialogNetwork{tftpPort, device.HttpEndpoint().port, {}});
    dialog.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&dialog));
    Continue(dialog, "127.0.0.64");
    // The event loop runs while the probe waits: Advanced... still opens nothing, and a second
    // Continue starts no second sequence.
    QTest::mouseClick(dialog.control(ID_CONTINUE), Qt::LeftButton);
    ASSERT_TRUE(WaitUntil([&] { return dialog.control(ID_ERROR_TEXT)->isVisible(); }, 60s));
    EXPECT_TRUE(qobject_cast<StaticText*>(dialog.control(ID_ERROR_TEXT))
                    ->text()
                    .startsWith("ERROR: An Error has occured when attempting to receive Server Type info"));
    EXPECT_TRUE(dialog.control(ID_CLOSE)->isEnabled());
    // Nothing was asked; one box says which bound broke.
    ASSERT_TRUE(WaitUntil([&] { return !boxes.seen.empty(); }, 30s));
    ASSERT_EQ(boxes.seen.size(), 1u);
    EXPECT_EQ(boxes.seen[0].text, "no complete answer within 15 s");
    EXPECT_TRUE(WaitUntil([&] { return !dialog.presenter().Busy(); }, 30s));
    // The simulator records the probe once the client has closed it.
    EXPECT_TRUE(WaitUntil([&] { return device.GetReport().requests.size() == 1u; }, 30s))
        << "one probe, no command";
}

// A device that already runs the image's version: the dialog asks first, and No sends nothing.
TEST_F(DialogUpgrade, ADeviceAtTheImagesVersionIsAskedAboutFirst) {
    const std::uint16_t tftpPort = FreeUdpPort();
    devsim::Options o = DeviceOptions("127.0.0.65", tftpPort);
    o.firmware = "1.0.9";
    devsim::Simulator device(o);
    ASSERT_TRUE(device.Start());
    BoxAnswerer boxes(QMessageBox::No);
    MainDialog dialog(nullptr, DialogNetwork{tftpPort, device.HttpEndpoint().port, {}});
    dialog.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&dialog));
    Continue(dialog, "127.0.0.65");
    ASSERT_TRUE(WaitUntil([&] { return !boxes.seen.empty() && !dialog.presenter().Busy(); }, 60s));
    ASSERT_EQ(boxes.seen.size(), 1u) << "the upgrade's own question only after a Yes";
    EXPECT_TRUE(boxes.seen[0].text.contains("already runs version 1.0.9"))
        << boxes.seen[0].text.toStdString();
    EXPECT_EQ(boxes.seen[0].defaultButton, QMessageBox::No);
    EXPECT_TRUE(dialog.control(ID_CONTINUE)->isVisible()) << "step 1 again";
    EXPECT_EQ(GetImageToUse(), SERVER_UNKNOWN);
    EXPECT_TRUE(device.GetReport().upgrades.empty());
}

// The programming download fails after the erase: the error form, then the offer to serve the
// image to the device's boot loader, which the dialog does with its progress bar until the
// device is programmed.
TEST_F(DialogUpgrade, ADeviceLeftWithoutFirmwareIsOfferedItsRescueAndGetsIt) {
    const std::uint16_t tftpPort = FreeUdpPort();
    devsim::Options o = DeviceOptions("127.0.0.66", tftpPort, "error-mid-transfer=2@2");
    o.bootLoaderRetry = 300ms;
    devsim::Simulator device(o);
    ASSERT_TRUE(device.Start());
    BoxAnswerer boxes(QMessageBox::Yes);
    MainDialog dialog(nullptr, DialogNetwork{tftpPort, device.HttpEndpoint().port, {}});
    dialog.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&dialog));
    Continue(dialog, "127.0.0.66");
    ASSERT_TRUE(WaitUntil([&] { return boxes.seen.size() >= 2; }, 120s));
    EXPECT_TRUE(boxes.seen[1].text.contains("Serve it now?")) << boxes.seen[1].text.toStdString();
    EXPECT_TRUE(boxes.seen[1].text.contains("may be left without firmware"))
        << boxes.seen[1].text.toStdString();
    auto rescued = device.WaitForRescue(120s);
    ASSERT_TRUE(rescued) << "the boot loader got its image";
    ASSERT_TRUE(WaitUntil(
        [&] {
            return qobject_cast<StaticText*>(dialog.control(ID_STEP_TITLE))
                ->text()
                .startsWith("The Skelvo utility has successfully upgraded the Varnek Server: 127.0.0.66.");
        },
        60s));
    EXPECT_TRUE(dialog.control(ID_CLOSE)->isEnabled());
}

// A device left without firmware, its rescue declined: the next dialogs, at their start, name it
// from the journal and offer to serve it. Declined, the record stays; accepted, the device is
// served until it is back, and the journal says who ended it.
TEST_F(DialogUpgrade, AtStartTheJournalsHalfWayDeviceIsOfferedAndServed) {
    const std::uint16_t tftpPort = FreeUdpPort();
    devsim::Options o = DeviceOptions("127.0.0.67", tftpPort, "error-mid-transfer=2@2");
    o.bootLoaderRetry = 300ms;
    devsim::Simulator device(o);
    ASSERT_TRUE(device.Start());
    const std::string journal =
        testing::TempDir() + "/startup-journal-" + std::to_string(::getpid()) + ".jsonl";
    std::remove(journal.c_str());
    const DialogNetwork network{tftpPort, device.HttpEndpoint().port, journal};
    std::vector<SeenBox> seen;
    bool serve = false;
    SetMessageBoxHook([&](QMessageBox& box) {
        seen.push_back(Describe(box));
        if (box.text().contains("Serve it now?"))
            return static_cast<int>(serve ? QMessageBox::Yes : QMessageBox::No);
        return static_cast<int>(QMessageBox::Yes);
    });
    const auto offers = [&] {
        return std::count_if(seen.begin(), seen.end(),
                             [](const SeenBox& b) { return b.text.contains("Serve it now?"); });
    };
    const auto openEntries = [&] {
        std::vector<skelvo::upgrade::JournalEntry> open;
        for (const auto& entry : skelvo::upgrade::ReadJournal(journal).entries)
            if (!entry.Ended())
                open.push_back(entry);
        return open;
    };
    {
        MainDialog first(nullptr, network);
        first.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&first));
        Continue(first, "127.0.0.67");
        ASSERT_TRUE(WaitUntil([&] { return offers() == 1; }, 120s));
        ASSERT_TRUE(WaitUntil([&] { return !first.presenter().Busy(); }, 60s));
    }
    ASSERT_EQ(openEntries().size(), 1u);
    EXPECT_EQ(openEntries()[0].state, "stranded");

    {
        MainDialog declined(nullptr, network);
        declined.show();
        ASSERT_TRUE(WaitUntil([&] { return offers() == 2; }, 60s));
        EXPECT_TRUE(
            seen.back().text.startsWith("Skelvo's journal shows upgrades that did not end:\n    127.0.0.67 "
                                        "(left at \"stranded\", "))
            << seen.back().text.toStdString();
        EXPECT_EQ(seen.back().defaultButton, QMessageBox::No);
    }
    ASSERT_EQ(openEntries().size(), 1u) << "declining leaves the record as it is";

    serve = true;
    MainDialog accepted(nullptr, network);
    accepted.show();
    ASSERT_TRUE(WaitUntil([&] { return offers() == 3; }, 60s));
    ASSERT_TRUE(device.WaitForRescue(120s)) << "the boot loader got its image";
    ASSERT_TRUE(WaitUntil(
        [&] {
            return qobject_cast<StaticText*>(accepted.control(ID_STEP_TITLE))
                ->text()
                .startsWith("The Skelvo utility has successfully upgraded the Varnek Server: 127.0.0.67.");
        },
        120s));
    ASSERT_TRUE(WaitUntil([&] { return !accepted.presenter().Busy(); }, 60s));
    EXPECT_TRUE(openEntries().empty());
    const auto entries = skelvo::upgrade::ReadJournal(journal).entries;
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].end->value("result", ""), "complete");
    EXPECT_EQ(entries[0].end->value("by", ""), "recover");
    SetMessageBoxHook({});
    std::remove(journal.c_str());
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
    const DialogNetwork network{tftpPort, device->HttpEndpoint().port, {}};
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
