// How the server behaves where a plain lock-step server would lose a device: lost packets,
// duplicate and foreign datagrams, requests from other hosts and images too large to number.
#include "engine/upgrade_record.h"
#include "tests/support/event_recorder.h"
#include "tests/support/wine.h"
#include "tests/tftp/tftp_harness.h"
#include "tftp/tftp_server.h"

#include <gtest/gtest.h>

#include <cerrno>

using namespace skelvo::test;

namespace {

using Names = std::vector<std::string>;
using Clock = std::chrono::steady_clock;

constexpr net::Ipv4 kOtherHost{0x7F000002u}; // 127.0.0.2

class TftpRecoveryTest : public ::testing::Test {
  protected:
    void SetUp() override { ResetServerState(); }
    void TearDown() override { ResetServerState(); }

    Bytes UseFile(std::size_t size) {
        m_image = PatternBytes(size, 7);
        g_TftpConfigData.FileImage = ImageDescriptor{static_cast<std::uint32_t>(size), m_image.data()};
        SetImageToUse(SERVER_USER_FILE);
        return m_image;
    }

    static bool Silent(RawClient& client) { return !client.Receive(300ms).has_value(); }

    static std::size_t Count(const std::string& text, const std::string& what) {
        std::size_t n = 0;
        for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
            ++n;
        return n;
    }

    Bytes m_image;
};

// A timer far longer than any test, where resends are not the subject and would only blur it.
TftpServerOptions Patient() {
    TftpServerOptions options;
    options.retransmit = RetransmitPolicy{60s, 60s, 60s, 480s};
    return options;
}

TEST_F(TftpRecoveryTest, LostDataIsResentAfterAboutOneSecondWithTheDefaultTimer) {
    Bytes image = UseFile(700);
    EventRecorder recorder;
    ServerRun server({}, 2); // the product's retransmission policy
    RawClient device;
    device.Send(Rrq(), server.endpoint());
    auto first = device.Receive();
    ASSERT_TRUE(first);
    auto sentAt = Clock::now();
    auto again = device.Receive(15s); // the first one is "lost": no ACK
    ASSERT_TRUE(again);
    auto gap = Clock::now() - sentAt;
    EXPECT_GE(gap, 800ms);
    EXPECT_LE(gap, 6s);
    EXPECT_EQ(again->bytes, first->bytes);
    EXPECT_NE(recorder.Trace().find("No ACK for block-1 after 1000 ms: sending it again\n"),
              std::string::npos);

    device.Send(Ack(1), again->from);
    auto second = device.Receive();
    ASSERT_TRUE(second);
    EXPECT_EQ(second->number(), 2u);
    device.Send(Ack(2), second->from);
    ASSERT_EQ(server.Finish(), 1);
    EXPECT_EQ(recorder.Names(), (Names{"STATUS_PROGRAMMING", "STATUS_COMPLETE"}));
}

TEST_F(TftpRecoveryTest, TimerDoublesToItsCapAndGivesUpAfterTheTimeWithoutProgress) {
    UseFile(700);
    TftpServerOptions options;
    options.retransmit = RetransmitPolicy{10ms, 10ms, 40ms, 400ms};
    EventRecorder recorder;
    ServerRun server(options, 2);
    RawClient device;
    device.Send(Rrq(), server.endpoint());
    int copies = 0;
    while (auto p = device.Receive(2s)) {
        EXPECT_EQ(p->number(), 1u);
        ++copies;
    }
    ASSERT_EQ(server.Finish(), 0);
    EXPECT_GE(copies, 4); // the first DATA, then resends 10, 20, 40, 40 ... ms apart
    EXPECT_EQ(recorder.Names(), (Names{"STATUS_PROGRAMMING", "ERR_RECEIVE", "ERR_READ_REQUEST"}));
    const std::string trace = recorder.Trace();
    EXPECT_NE(trace.find("No ACK for block-1 after 10 ms: sending it again\n"
                         "No ACK for block-1 after 20 ms: sending it again\n"
                         "No ACK for block-1 after 40 ms: sending it again\n"),
              std::string::npos)
        << trace;
    EXPECT_EQ(Count(trace, "sending it again"), static_cast<std::size_t>(copies - 1));
    EXPECT_NE(trace.find("Error in recvfrom() call [errno=" + std::to_string(net::TimeoutError()) +
                         "]\nProcessTftpReadRequest:637 - Correct ACK not recieved...bailing out.\n"
                         "Error: ProcessTftpReadRequest() call failed...bailing out. \n"),
              std::string::npos)
        << trace;
}

TEST_F(TftpRecoveryTest, StrayDatagramsDoNotPutTheTimerOff) {
    UseFile(700);
    TftpServerOptions options;
    options.retransmit = RetransmitPolicy{300ms, 300ms, 300ms, 900ms};
    EventRecorder recorder;
    ServerRun server(options, 2);
    RawClient device;
    device.Send(Rrq(), server.endpoint());
    ASSERT_TRUE(device.Receive());
    // A datagram every 50 ms: a timer that restarted on each would never expire.
    std::optional<Packet> resent;
    for (auto until = Clock::now() + 3s; !resent && Clock::now() < until;) {
        device.Send(Bytes{0, 9}, server.endpoint());
        resent = device.Receive(50ms);
    }
    ASSERT_TRUE(resent);
    EXPECT_EQ(resent->number(), 1u);
    server.Stop();
}

TEST_F(TftpRecoveryTest, DuplicateAckOfThePreviousBlockSendsNothingAndKeepsWaiting) {
    Bytes image = UseFile(1500);
    EventRecorder recorder;
    ServerRun server(Patient(), 2);
    RawClient device;
    device.Send(Rrq(), server.endpoint());
    auto p1 = device.Receive();
    ASSERT_TRUE(p1);
    device.Send(Ack(0), p1->from); // the previous block of block 1
    EXPECT_TRUE(Silent(device));
    device.Send(Ack(1), p1->from);
    auto p2 = device.Receive();
    ASSERT_TRUE(p2);
    ASSERT_EQ(p2->number(), 2u);
    device.Send(Ack(1), p2->from);
    device.Send(Ack(1), p2->from);
    EXPECT_TRUE(Silent(device)); // no DATA answers a duplicate ACK
    device.Send(Ack(2), p2->from);
    auto p3 = device.Receive();
    ASSERT_TRUE(p3);
    EXPECT_EQ(p3->number(), 3u); // block 2 was not skipped: its ACK moved the transfer on
    EXPECT_EQ(p3->dataSize(), 476u);
    device.Send(Ack(3), p3->from);
    ASSERT_EQ(server.Finish(), 1);

    std::string trace = recorder.Trace();
    EXPECT_NE(trace.find("client returned *wrong* ACK\n .. got ACK for (0), expected ACK for (1)\n"
                         "We need to resend block-1\n"),
              std::string::npos)
        << trace;
    EXPECT_NE(trace.find("client returned *wrong* ACK\n .. got ACK for (1), expected ACK for (2)\n"),
              std::string::npos);
    EXPECT_GE(Count(trace, "We need to resend block-2\n"), 1u);
    EXPECT_EQ(recorder.Names(), (Names{"STATUS_PROGRAMMING", "STATUS_COMPLETE"}));
}

TEST_F(TftpRecoveryTest, OtherRequestsAndEmptyDatagramsDuringATransferAreNotTakenAsAcks) {
    Bytes image = UseFile(700);
    EventRecorder recorder;
    ServerRun server(Patient(), 2);
    RawClient device;
    device.Send(Rrq(), server.endpoint());
    auto p1 = device.Receive();
    ASSERT_TRUE(p1);
    device.Send(Rrq("boot.bin"), server.endpoint());
    device.Send(Bytes{}, server.endpoint());
    EXPECT_TRUE(Silent(device));
    EXPECT_TRUE(
        recorder.WaitForTrace("Error: could not undestand opcode.\nError: could not undestand opcode.\n"));
    device.Send(Ack(1), p1->from);
    auto p2 = device.Receive();
    ASSERT_TRUE(p2);
    EXPECT_EQ(p2->number(), 2u);
    device.Send(Ack(2), p2->from);
    ASSERT_EQ(server.Finish(), 1);
    EXPECT_EQ(recorder.Names(), (Names{"STATUS_PROGRAMMING", "STATUS_COMPLETE"}));
}

TEST_F(TftpRecoveryTest, DatagramsFromAnotherHostDuringATransferChangeNothing) {
    if (skelvo::test::RunningUnderWine())
        GTEST_SKIP() << skelvo::test::kWineLoopbackAliases;
    Bytes image = UseFile(700);
    EventRecorder recorder;
    ServerRun server(Patient(), 2);
    RawClient device;
    RawClient intruder(kOtherHost);
    device.Send(Rrq(), server.endpoint());
    auto p1 = device.Receive();
    ASSERT_TRUE(p1);
    intruder.Send(Ack(1), server.endpoint());
    intruder.Send(ErrorPacket(0, "stop"), server.endpoint());
    intruder.Send(Ack(2), server.endpoint());
    intruder.Send(Bytes{}, server.endpoint());
    EXPECT_TRUE(Silent(device));
    EXPECT_TRUE(Silent(intruder));
    EXPECT_TRUE(recorder.WaitForTrace("Ignoring datagram from 127.0.0.2: the transfer is with 127.0.0.1\n"));

    // The device may answer from another port of its address; DATA still goes to the request's port.
    RawClient otherPort;
    otherPort.Send(Ack(1), server.endpoint());
    auto p2 = device.Receive();
    ASSERT_TRUE(p2);
    EXPECT_EQ(p2->number(), 2u);
    device.Send(Ack(2), p2->from);
    ASSERT_EQ(server.Finish(), 1);
    EXPECT_EQ(Count(recorder.Trace(), "Ignoring datagram from 127.0.0.2"), 4u);
    EXPECT_EQ(recorder.Names(), (Names{"STATUS_PROGRAMMING", "STATUS_COMPLETE"}));
}

TEST_F(TftpRecoveryTest, WithAnExpectedClientOtherHostsUseUpNoPass) {
    if (skelvo::test::RunningUnderWine())
        GTEST_SKIP() << skelvo::test::kWineLoopbackAliases;
    Bytes image = UseFile(300);
    TftpServerOptions options;
    options.expectedClient = net::kLoopback;
    EventRecorder recorder;
    ServerRun server(options);
    RawClient intruder(kOtherHost);
    intruder.Send(Rrq(), server.endpoint());
    Bytes wrq = Rrq();
    wrq[1] = 2;
    intruder.Send(wrq, server.endpoint());
    intruder.Send(Bytes{}, server.endpoint());
    EXPECT_TRUE(Silent(intruder));
    EXPECT_TRUE(
        recorder.WaitForTrace("Ignoring datagram from 127.0.0.2: expecting the request from 127.0.0.1\n"));
    EXPECT_TRUE(recorder.Names().empty());

    RawClient device;
    EXPECT_EQ(Fetch(device, server.endpoint()).data, image);
    EXPECT_EQ(Fetch(device, server.endpoint()).data, image);
    ASSERT_EQ(server.Finish(), 1);
    EXPECT_EQ(recorder.Names(),
              (Names{"STATUS_VERIFYING", "STATUS_ERASING", "STATUS_PROGRAMMING", "STATUS_COMPLETE"}));
}

TEST_F(TftpRecoveryTest, WithoutAnExpectedClientAnyHostIsServed) {
    Bytes image = UseFile(300);
    EventRecorder recorder;
    ServerRun server({}, 2);
    RawClient other(kOtherHost);
    EXPECT_EQ(Fetch(other, server.endpoint()).data, image);
    ASSERT_EQ(server.Finish(), 1);
}

TEST_F(TftpRecoveryTest, ImagesTooLargeForSixteenBitBlockNumbersAreRefusedBeforeTheFirstBlock) {
    UseFile(33553920);
    EventRecorder recorder;
    {
        ServerRun server;
        RawClient device;
        device.Send(Rrq(), server.endpoint());
        ASSERT_EQ(server.Finish(), 0);
        EXPECT_TRUE(Silent(device));
    }
    EXPECT_EQ(recorder.Names(), (Names{"STATUS_VERIFYING", "ERR_READ_REQUEST"}));
    EXPECT_TRUE(recorder.Progress().empty());
    EXPECT_NE(recorder.Trace().find(
                  "Image of 33553920 bytes refused: a TFTP transfer holds at most 33553919 bytes\n"
                  "Error: ProcessTftpReadRequest() call failed...bailing out. \n"),
              std::string::npos)
        << recorder.Trace();

    // One byte less fits in 65,535 blocks and is served.
    g_TftpConfigData.FileImage.Size = 33553919;
    recorder.Clear();
    ServerRun server;
    RawClient device;
    device.Send(Rrq(), server.endpoint());
    auto p1 = device.Receive();
    ASSERT_TRUE(p1);
    EXPECT_EQ(p1->number(), 1u);
    EXPECT_EQ(p1->dataSize(), 512u);
    server.Stop();
}

} // namespace
