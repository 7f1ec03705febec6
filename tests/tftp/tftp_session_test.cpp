// The server's state machine driven with scripted datagrams and a fake clock: no socket, no
// thread, no waiting. Each case is one of the ways a device gets stranded by a server that counts
// datagrams instead of following the device.
#include "engine/upgrade_record.h"
#include "tests/support/event_recorder.h"
#include "tests/tftp/tftp_harness.h"
#include "tftp/tftp_callbacks.h"
#include "tftp/tftp_session.h"

#include <gtest/gtest.h>

#include <deque>
#include <optional>

using namespace skelvo::test;

namespace {

using Names = std::vector<std::string>;

constexpr net::Endpoint kDevice{net::Ipv4{0x0A000002u}, 2001};      // 10.0.0.2:2001
constexpr net::Endpoint kDeviceAgain{net::Ipv4{0x0A000002u}, 2002}; // the device, a new transfer ID
constexpr net::Endpoint kStranger{net::Ipv4{0x0A000009u}, 3000};

// Records what the machine sends; datagrams put in `queued` are what a drain finds waiting.
class ScriptedLink final : public TftpLink {
  public:
    struct Sent {
        Bytes bytes;
        net::Endpoint to;
        unsigned opcode() const { return (bytes[0] << 8u) | bytes[1]; }
        unsigned number() const { return (bytes[2] << 8u) | bytes[3]; }
    };
    long Send(std::span<const std::uint8_t> packet, const net::Endpoint& to) override {
        sent.push_back(Sent{Bytes(packet.begin(), packet.end()), to});
        return static_cast<long>(packet.size());
    }
    net::RecvResult TakeQueued(std::span<std::uint8_t> buffer) override {
        net::RecvResult r;
        if (queued.empty()) {
            r.status = net::RecvStatus::TimedOut;
            return r;
        }
        auto [bytes, from] = queued.front();
        queued.pop_front();
        std::copy(bytes.begin(), bytes.end(), buffer.begin());
        r.status = net::RecvStatus::Data;
        r.size = bytes.size();
        r.from = from;
        return r;
    }
    void Release() override { ++released; }
    unsigned MaxBlockSize(const net::Endpoint&) override { return maxBlock; }

    unsigned maxBlock = 1468; // an Ethernet path
    std::vector<Sent> sent;
    std::deque<std::pair<Bytes, net::Endpoint>> queued;
    int released = 0;
};

class TftpSessionTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ResetServerState();
        g_TftpCallbacks.CheckFilenameHandler = &CheckFilename;
        g_TftpCallbacks.ReadBlockHandler = &ReadImageBlock;
        g_TftpCallbacks.WriteBlockHandler = nullptr;
    }
    void TearDown() override { ResetServerState(); }

    // An image of `blocks` full blocks and a short last one (blocks + 1 DATA packets).
    void UseImage(unsigned fullBlocks, unsigned blockSize = 512, unsigned rest = 100) {
        m_image = PatternBytes(std::size_t{fullBlocks} * blockSize + rest, 3);
        g_TftpConfigData.FileImage =
            ImageDescriptor{static_cast<std::uint32_t>(m_image.size()), m_image.data()};
        SetImageToUse(SERVER_USER_FILE);
    }

    void Start(int firstPass = 1, TftpServerOptions options = {}) {
        options.expectedClient = kDevice.ip;
        m_session = StartTftpSession(firstPass, options);
    }

    void Receive(const Bytes& bytes, net::Endpoint from = kDevice) {
        TftpEvent e;
        e.bytes = bytes;
        e.from = from;
        TftpStateMachine(m_session, m_link, e, m_now);
    }
    // Advances the fake clock to the timer's deadline and fires it.
    void Expire() {
        ASSERT_TRUE(m_session.deadline.has_value());
        m_now = std::max(m_now, *m_session.deadline);
        TftpEvent e;
        e.kind = TftpEventKind::Timeout;
        e.error = 110;
        TftpStateMachine(m_session, m_link, e, m_now);
    }
    void Advance(std::chrono::microseconds by) { m_now += by; }
    std::chrono::milliseconds TimerLeft() const {
        return std::chrono::duration_cast<std::chrono::milliseconds>(*m_session.deadline - m_now);
    }
    const ScriptedLink::Sent& LastSent() const { return m_link.sent.back(); }

    // The device takes every block of the current transfer, each ACK `rtt` after its DATA.
    void AckAll(std::chrono::microseconds rtt = std::chrono::milliseconds(1)) {
        while (m_session.state == TftpState::Sending) {
            Advance(rtt);
            Receive(Ack(m_session.block), m_session.client);
        }
    }
    // Everything but the last ACK.
    void AckAllButTheLast() {
        while (m_session.state == TftpState::Sending && m_session.count == 512) {
            Advance(std::chrono::milliseconds(1));
            Receive(Ack(m_session.block), m_session.client);
        }
    }

    Bytes m_image;
    TftpSession m_session;
    ScriptedLink m_link;
    TftpClock::time_point m_now{};
};

TEST_F(TftpSessionTest, TwoRequestsServeTwoPassesAndTheStrayDatagramsBetweenThemUseNone) {
    UseImage(2);
    EventRecorder recorder;
    Start();
    Receive(Ack(7));
    Receive(Bytes{0, 3, 0, 1});
    Receive(Rrq());
    AckAll();
    EXPECT_EQ(m_session.pass, 2);
    // The answer to a resent last block, late, and other strays: none of them is the request.
    Receive(Ack(3));
    Receive(ErrorPacket(0, "late"));
    Receive(Bytes{0, 9});
    EXPECT_EQ(m_session.state, TftpState::AwaitingRequest);
    Receive(Rrq(), kDeviceAgain);
    AckAll();
    EXPECT_EQ(m_session.state, TftpState::Finished);
    EXPECT_EQ(m_session.result, 1);
    EXPECT_EQ(m_link.released, 1);
    EXPECT_EQ(m_link.sent.size(), 6u);
    EXPECT_EQ(recorder.Names(),
              (Names{"STATUS_VERIFYING", "STATUS_ERASING", "STATUS_PROGRAMMING", "STATUS_COMPLETE"}));
    EXPECT_TRUE(recorder.Events().back().confirmed);
    EXPECT_NE(recorder.Trace().find("Ignoring a datagram of opcode 4 from 10.0.0.2: not a request\n"),
              std::string::npos);
}

TEST_F(TftpSessionTest, WriteRequestsAndEmptyDatagramsKeepTheirOldMeaning) {
    UseImage(0);
    EventRecorder recorder;
    Start();
    Receive(Bytes{0, 2, 'x', 0, 'o', 'c', 't', 'e', 't', 0});
    ASSERT_EQ(m_link.sent.size(), 1u);
    EXPECT_EQ(LastSent().opcode(), 5u);
    EXPECT_EQ(m_session.pass, 2); // a refused write request uses up its pass
    Receive(Bytes{});
    EXPECT_EQ(m_session.state, TftpState::Finished);
    EXPECT_EQ(m_session.result, 0);
    EXPECT_EQ(recorder.Names(), (Names{"ERR_SOCKET_CLOSED"}));
}

TEST_F(TftpSessionTest, RequestWhileTheLastAckIsAwaitedEndsThePassAndStartsTheNextAtOnce) {
    UseImage(2);
    EventRecorder recorder;
    Start();
    Receive(Rrq());
    AckAllButTheLast();
    ASSERT_EQ(m_session.block, 3u);
    // The device's last ACK was lost; it verified, erased and asks again, here from a fixed port.
    Receive(Rrq(), kDevice);
    EXPECT_EQ(m_session.pass, 2);
    EXPECT_EQ(m_session.state, TftpState::Sending);
    EXPECT_EQ(LastSent().number(), 1u);
    EXPECT_EQ(LastSent().to, kDevice);
    AckAllButTheLast();
    // In the programming pass the same case ends the worker with a success.
    Receive(Rrq(), kDeviceAgain);
    EXPECT_EQ(m_session.state, TftpState::Finished);
    EXPECT_EQ(m_session.result, 1);
    EXPECT_EQ(recorder.Names(),
              (Names{"STATUS_VERIFYING", "STATUS_ERASING", "STATUS_PROGRAMMING", "STATUS_COMPLETE"}));
    EXPECT_NE(
        recorder.Trace().find("Read request from 10.0.0.2 while the ACK of the last block-3 was awaited"),
        std::string::npos);
}

TEST_F(TftpSessionTest, RequestFromANewPortOrBeforeBlockOneRestartsThePassAndOtherRepeatsAreIgnored) {
    UseImage(4);
    EventRecorder recorder;
    Start();
    Receive(Rrq());
    // No DATA 1 reached the device, which repeats its request from the same port.
    Receive(Rrq());
    ASSERT_EQ(m_link.sent.size(), 2u);
    EXPECT_EQ(LastSent().number(), 1u);
    Receive(Ack(1));
    Receive(Ack(2));
    ASSERT_EQ(LastSent().number(), 3u);
    // A stale duplicate of the request from the transfer's own port changes nothing.
    Receive(Rrq());
    EXPECT_EQ(m_link.sent.size(), 4u);
    // The device restarted its download: a new transfer ID.
    Receive(Rrq(), kDeviceAgain);
    EXPECT_EQ(LastSent().number(), 1u);
    EXPECT_EQ(LastSent().to, kDeviceAgain);
    // Late ACKs of the abandoned download come from its old port and end nothing.
    Receive(Ack(3), kDevice);
    EXPECT_EQ(m_session.state, TftpState::Sending);
    AckAll();
    EXPECT_EQ(m_session.pass, 2);
    const auto progress = recorder.Progress();
    std::vector<int> sent;
    for (const auto& p : progress)
        sent.push_back(p.sent);
    EXPECT_EQ(sent, (std::vector<int>{512, 512, 1024, 1536, 512, 1024, 1536, 2048, 2560}));
    EXPECT_EQ(recorder.Names(), (Names{"STATUS_VERIFYING", "STATUS_ERASING"}));
}

TEST_F(TftpSessionTest, SilenceAfterTheLastBlockOfTheVerifyPassGoesOnToWaitForTheProgrammingRequest) {
    UseImage(1);
    EventRecorder recorder;
    TftpServerOptions options;
    options.programmingWait = std::chrono::seconds(120);
    Start(1, options);
    Receive(Rrq());
    AckAllButTheLast();
    const auto lastSent = m_now;
    while (m_session.state == TftpState::Sending)
        Expire();
    EXPECT_GE(m_now - lastSent, std::chrono::seconds(47));
    EXPECT_EQ(m_session.state, TftpState::AwaitingRequest);
    EXPECT_EQ(m_session.pass, 2);
    EXPECT_EQ(recorder.Names(), (Names{"STATUS_VERIFYING", "STATUS_ERASING"}));
    EXPECT_NE(recorder.Trace().find("No ACK for the last block-2"), std::string::npos);
    // The programming wait is bounded, so that no worker waits for ever for a device that gave up.
    EXPECT_EQ(TimerLeft(), std::chrono::seconds(120));
    Expire();
    EXPECT_EQ(m_session.state, TftpState::Finished);
    EXPECT_EQ(m_session.result, 0);
    EXPECT_EQ(m_link.released, 1);
    EXPECT_EQ(recorder.Names(), (Names{"STATUS_VERIFYING", "STATUS_ERASING", "ERR_NO_PROGRAMMING_REQUEST"}));
}

TEST_F(TftpSessionTest, ADeviceHeardDuringTheLastBlockIsNotSilentAndItsTransferFails) {
    UseImage(1);
    EventRecorder recorder;
    Start();
    Receive(Rrq());
    AckAllButTheLast();
    Receive(Ack(1)); // alive, but never acknowledging block 2
    while (m_session.state == TftpState::Sending)
        Expire();
    EXPECT_EQ(m_session.result, 0);
    EXPECT_EQ(recorder.Names(), (Names{"STATUS_VERIFYING", "ERR_RECEIVE", "ERR_READ_REQUEST"}));
}

TEST_F(TftpSessionTest, SilenceAfterTheLastBlockOfTheProgrammingPassIsAnUnconfirmedCompletion) {
    UseImage(1);
    EventRecorder recorder;
    Start(2);
    Receive(Rrq());
    AckAllButTheLast();
    while (m_session.state == TftpState::Sending)
        Expire();
    EXPECT_EQ(m_session.result, 1);
    EXPECT_EQ(m_link.released, 1);
    ASSERT_EQ(recorder.Names(), (Names{"STATUS_PROGRAMMING", "STATUS_COMPLETE"}));
    EXPECT_FALSE(recorder.Events().back().confirmed);
    EXPECT_NE(recorder.Trace().find("The final acknowledgement was not received"), std::string::npos);
}

TEST_F(TftpSessionTest, TimerFollowsTheRoundTripTimeBacksOffToItsCapAndTakesNoSampleFromResentBlocks) {
    UseImage(40);
    EventRecorder recorder;
    Start(2);
    Receive(Rrq());
    EXPECT_EQ(TimerLeft(), std::chrono::seconds(1)); // no estimate yet
    for (int i = 0; i < 20; ++i) {
        Advance(std::chrono::milliseconds(5));
        Receive(Ack(m_session.block));
    }
    EXPECT_EQ(TimerLeft(), std::chrono::milliseconds(20)); // 5 ms round trips: the floor
    Advance(std::chrono::milliseconds(100));
    Receive(Ack(m_session.block));
    EXPECT_GT(TimerLeft(), std::chrono::milliseconds(100)); // one slow answer widens the estimate
    const unsigned block = m_session.block;
    const std::size_t before = m_link.sent.size();
    std::vector<std::chrono::milliseconds> periods;
    for (int i = 0; i < 8; ++i) {
        Expire();
        periods.push_back(TimerLeft());
    }
    EXPECT_EQ(periods.back(), std::chrono::seconds(2)); // doubled up to the cap
    for (std::size_t i = 1; i < periods.size(); ++i)
        EXPECT_GE(periods[i], periods[i - 1]);
    EXPECT_EQ(m_link.sent.size(), before + 8);
    EXPECT_EQ(LastSent().number(), block);
    // Karn: the ACK of a block sent nine times measures nothing, and the backed-off time-out holds.
    Advance(std::chrono::milliseconds(1));
    Receive(Ack(block));
    EXPECT_EQ(TimerLeft(), std::chrono::seconds(2));
}

TEST_F(TftpSessionTest, DuplicateAckSendsNothingAndItsDrainKeepsTheAwaitedAckQueuedBehindIt) {
    UseImage(4);
    EventRecorder recorder;
    Start(2);
    Receive(Rrq());
    Receive(Ack(1));
    ASSERT_EQ(m_session.block, 2u);
    // A duplicate of ACK 1; behind it a stray from another host, junk, then the good ACK 2.
    m_link.queued.emplace_back(Ack(1), kDevice);
    m_link.queued.emplace_back(Ack(2), kStranger);
    m_link.queued.emplace_back(Ack(2), kDevice);
    m_link.queued.emplace_back(Ack(9), kDevice);
    const std::size_t before = m_link.sent.size();
    Receive(Ack(1));
    // RFC 1123 4.2.3.1: no DATA answers the duplicate; the kept ACK 2 sends block 3.
    ASSERT_EQ(m_link.sent.size(), before + 1);
    EXPECT_EQ(LastSent().number(), 3u);
    EXPECT_EQ(m_link.queued.size(), 1u); // the drain stopped at what it kept
    EXPECT_NE(recorder.Trace().find("We need to resend block-2\n"), std::string::npos);
    // A read request is kept the same way: the device restarted while its duplicate arrived.
    m_link.queued.clear();
    m_link.queued.emplace_back(Rrq(), kDeviceAgain);
    Receive(Ack(2));
    EXPECT_EQ(LastSent().number(), 1u);
    EXPECT_EQ(LastSent().to, kDeviceAgain);
}

// A block resent twice is acknowledged three times; the last of those ACKs may arrive after the
// device has acknowledged further blocks. It is ignored; only an ACK for a block never sent fails.
TEST_F(TftpSessionTest, ALateDuplicateOfAnOlderAckIsIgnoredAndOnlyAnAckAheadFails) {
    UseImage(6);
    EventRecorder recorder;
    Start(2);
    Receive(Rrq());
    for (unsigned block = 1; block <= 3; ++block)
        Receive(Ack(block));
    ASSERT_EQ(m_session.block, 4u);
    const std::size_t before = m_link.sent.size();
    Receive(Ack(2));
    Receive(Ack(1));
    EXPECT_EQ(m_session.state, TftpState::Sending);
    EXPECT_EQ(m_session.block, 4u);
    EXPECT_EQ(m_link.sent.size(), before) << "no DATA answers a duplicate";
    EXPECT_NE(recorder.Trace().find("Ignoring a late duplicate ACK for (2): block-4 is awaited\n"),
              std::string::npos);
    Receive(Ack(4));
    EXPECT_EQ(LastSent().number(), 5u);
    EXPECT_EQ(recorder.Names(), (std::vector<std::string>{"STATUS_PROGRAMMING"}));

    Receive(Ack(6)); // block 5 is out: an ACK for block 6 acknowledges what was never sent
    EXPECT_EQ(m_session.state, TftpState::Finished);
    EXPECT_EQ(recorder.Names(), (std::vector<std::string>{"STATUS_PROGRAMMING", "ERR_READ_REQUEST"}));
}

TEST_F(TftpSessionTest, StrayDatagramsDoNotRestartTheTimerAndProgressPutsOffTheGiveUp) {
    UseImage(200);
    EventRecorder recorder;
    Start(2);
    Receive(Rrq());
    const auto deadline = *m_session.deadline;
    Advance(std::chrono::milliseconds(500));
    Receive(Ack(0), kStranger);
    Receive(Bytes{0, 9});
    EXPECT_EQ(*m_session.deadline, deadline);
    // A slow device that answers every 30 s is never given up on.
    for (int i = 0; i < 5; ++i) {
        Advance(std::chrono::seconds(30));
        Receive(Ack(m_session.block));
    }
    EXPECT_EQ(m_session.state, TftpState::Sending);
    // 47 s without progress ends the transfer as a receive failure.
    const auto lastProgress = m_now;
    while (m_session.state == TftpState::Sending)
        Expire();
    EXPECT_GE(m_now - lastProgress, std::chrono::seconds(47));
    EXPECT_LT(m_now - lastProgress, std::chrono::seconds(50));
    EXPECT_EQ(recorder.Names(), (Names{"STATUS_PROGRAMMING", "ERR_RECEIVE", "ERR_READ_REQUEST"}));
    EXPECT_NE(recorder.Trace().find("Error in recvfrom() call [errno=110]\n"
                                    "ProcessTftpReadRequest:637 - Correct ACK not recieved...bailing out.\n"),
              std::string::npos);
}

TEST_F(TftpSessionTest, StopEndsEveryStateQuietly) {
    UseImage(3);
    for (int state = 0; state < 3; ++state) {
        SCOPED_TRACE(state);
        EventRecorder recorder;
        m_link = ScriptedLink{};
        Start();
        if (state >= 1)
            Receive(Rrq());
        if (state >= 2)
            AckAll();
        recorder.Clear();
        TftpEvent stop;
        stop.kind = TftpEventKind::Stop;
        TftpStateMachine(m_session, m_link, stop, m_now);
        EXPECT_EQ(m_session.state, TftpState::Finished);
        EXPECT_EQ(m_session.result, 0);
        EXPECT_EQ(m_link.released, 1);
        EXPECT_TRUE(recorder.Names().empty());
    }
}

// The OACK's fields as text, "blksize 1468 timeout 5"; empty for no OACK.
std::string OackFields(const Bytes& packet) {
    if (packet.size() < 2 || packet[1] != TFTP_OACK)
        return {};
    std::string text;
    for (std::size_t i = 2; i < packet.size(); ++i)
        text += packet[i] == 0 ? ' ' : static_cast<char>(packet[i]);
    if (!text.empty())
        text.pop_back();
    return text;
}

TEST(NegotiateOptions, AnswersOnlyWhatWasAskedWithinTheLimitsAndLeavesTheRestOut) {
    struct Case {
        std::vector<std::string> fields;
        std::string oack;   // the answer's fields
        unsigned blockSize; // what the transfer then uses
        unsigned window;
        unsigned maxBlock = kTftpMaxBlockSize;
        bool windowAllowed = true;
        std::optional<std::uint32_t> size = 4000000;
    };
    const std::vector<Case> cases = {
        {{"blksize", "1468", "timeout", "5"}, "blksize 1468 timeout 5", 1468, 1},
        // RFC 2348: never more than asked, nor than the protocol or the path carries.
        {{"BlkSize", "70000"}, "blksize 65464", 65464, 1},
        {{"blksize", "9000"}, "blksize 1468", 1468, 1, 1468},
        {{"blksize", "7"}, "", 512, 1},
        {{"blksize", "8"}, "blksize 8", 8, 1},
        {{"tsize", "0", "blksize", "1024"}, "tsize 4000000 blksize 1024", 1024, 1},
        {{"tsize", "0"}, "", 512, 1, kTftpMaxBlockSize, true, std::nullopt},
        {{"tsize", "0"}, "", 512, 1, kTftpMaxBlockSize, true, 0},
        // RFC 2349: the timeout is echoed exactly, or left out.
        {{"timeout", "05"}, "timeout 05", 512, 1},
        {{"timeout", "0"}, "", 512, 1},
        {{"timeout", "256"}, "", 512, 1},
        {{"timeout", "5s"}, "", 512, 1},
        // RFC 7440.
        {{"windowsize", "16"}, "windowsize 16", 512, 16},
        {{"windowsize", "1000"}, "windowsize 64", 512, 64},
        {{"windowsize", "0"}, "", 512, 1},
        {{"windowsize", "8"}, "", 512, 1, kTftpMaxBlockSize, false},
        // Unknown options, values that are no numbers, names without a value, repeats.
        {{"multicast", "", "blksize", "1024"}, "blksize 1024", 1024, 1},
        {{"blksize", "-1", "tsize", ""}, "", 512, 1},
        {{"blksize", "1024", "blksize", "2048"}, "blksize 1024", 1024, 1},
        {{"timeout", "3", "blksize"}, "timeout 3", 512, 1},
        {{}, "", 512, 1},
    };
    for (const Case& c : cases) {
        Bytes bytes;
        for (const std::string& f : c.fields) {
            bytes.insert(bytes.end(), f.begin(), f.end());
            bytes.push_back(0);
        }
        SCOPED_TRACE(std::string(bytes.begin(), bytes.end()));
        const TftpNegotiation n = NegotiateOptions(bytes, c.size, c.maxBlock, c.windowAllowed);
        EXPECT_FALSE(n.malformed);
        EXPECT_EQ(OackFields(n.oack), c.oack);
        EXPECT_EQ(n.oack.empty(), c.oack.empty());
        EXPECT_EQ(n.blockSize, c.blockSize);
        EXPECT_EQ(n.windowSize, c.window);
    }
    const Bytes unterminated{'b', 'l', 'k', 's', 'i', 'z', 'e', 0, '1', '0', '2', '4'};
    EXPECT_TRUE(NegotiateOptions(unterminated, 100, kTftpMaxBlockSize, true).malformed);
}

TEST_F(TftpSessionTest, AnOackComesFirstThenBlocksOfTheNegotiatedSizeAndTheClientsTimeout) {
    UseImage(2, 1024, 952);
    EventRecorder recorder;
    Start();
    Receive(WithOptions(Rrq(), {"blksize", "1024", "tsize", "0", "timeout", "3", "rollover", "0"}));
    ASSERT_EQ(m_link.sent.size(), 1u);
    EXPECT_EQ(OackFields(LastSent().bytes), "blksize 1024 tsize 3000 timeout 3");
    EXPECT_EQ(TimerLeft(), std::chrono::seconds(3)); // only the first wait follows the client
    EXPECT_TRUE(recorder.Progress().empty());        // no block is read before ACK 0
    Expire();
    EXPECT_EQ(m_link.sent.size(), 2u);
    EXPECT_EQ(LastSent().opcode(), 6u); // the OACK again, on the same timer as DATA
    Receive(Ack(0));
    EXPECT_EQ(LastSent().opcode(), 3u);
    EXPECT_EQ(LastSent().bytes.size(), 1028u);
    AckAll();
    EXPECT_EQ(m_session.pass, 2);
    std::vector<int> sent;
    for (const auto& p : recorder.Progress())
        sent.push_back(p.sent);
    EXPECT_EQ(sent, (std::vector<int>{1024, 2048, 3072}));
    EXPECT_EQ(m_link.sent.back().bytes.size(), 4u + 952u);
    // A late copy of ACK 0 during the programming pass's blocks is a stale duplicate.
    Receive(WithOptions(Rrq(), {"blksize", "1024"}), kDeviceAgain);
    Receive(Ack(0), kDeviceAgain);
    Receive(Ack(1), kDeviceAgain);
    Receive(Ack(0), kDeviceAgain);
    EXPECT_EQ(m_session.state, TftpState::Sending);
    EXPECT_EQ(LastSent().number(), 2u);
}

TEST_F(TftpSessionTest, AnErrorInAnswerToTheOackEndsThatDownloadButNotThePass) {
    UseImage(1);
    EventRecorder recorder;
    Start();
    // A firmware that asks for the size first and then aborts, as its first request.
    Receive(WithOptions(Rrq(), {"tsize", "0"}));
    EXPECT_EQ(OackFields(LastSent().bytes), "tsize 612");
    Receive(ErrorPacket(8, "size probe only"));
    EXPECT_EQ(m_session.state, TftpState::AwaitingRequest);
    EXPECT_EQ(m_session.pass, 1);
    EXPECT_FALSE(m_session.deadline.has_value());
    // It asks again, now without options, and gets plain 512-byte blocks.
    Receive(Rrq(), kDeviceAgain);
    EXPECT_EQ(LastSent().opcode(), 3u);
    EXPECT_EQ(LastSent().bytes.size(), 516u);
    AckAll();
    EXPECT_EQ(m_session.pass, 2);
    EXPECT_EQ(recorder.Names(), (Names{"STATUS_VERIFYING", "STATUS_ERASING"}));
    EXPECT_NE(recorder.Trace().find("client returned TFTP_ERROR (size probe only) \n"
                                    "The client declined the OACK: waiting for its next request\n"),
              std::string::npos);
    // A malformed option list is refused with ERROR 8, and the pass still waits.
    m_link.sent.clear();
    Receive(Bytes{0,   1,   'i', 'm', 'a', 'g', 'e', 0,   'o', 'c', 't',
                  'e', 't', 0,   'b', 'l', 'k', 's', 'i', 'z', 'e'},
            kDevice);
    ASSERT_EQ(m_link.sent.size(), 1u);
    EXPECT_EQ(LastSent().opcode(), 5u);
    EXPECT_EQ(LastSent().number(), 8u);
    EXPECT_EQ(m_session.state, TftpState::AwaitingRequest);
    EXPECT_EQ(m_session.pass, 2);
    Receive(Rrq(), kDevice);
    AckAll();
    EXPECT_EQ(m_session.result, 1);
}

TEST_F(TftpSessionTest, WithNegotiationOffEveryRequestIsAPlainOne) {
    UseImage(1);
    TftpServerOptions options;
    options.negotiateOptions = false;
    Start(2, options);
    Receive(WithOptions(Rrq(), {"blksize", "1468", "windowsize", "8"}));
    EXPECT_EQ(LastSent().opcode(), 3u);
    EXPECT_EQ(LastSent().bytes.size(), 516u);
    AckAll();
    EXPECT_EQ(m_session.result, 1);
    EXPECT_EQ(m_link.sent.size(), 2u);
}

TEST_F(TftpSessionTest, AWindowMovesOnAnyAckInsideItAndNoDuplicateAckDrawsData) {
    UseImage(10);
    EventRecorder recorder;
    Start(2);
    Receive(WithOptions(Rrq(), {"windowsize", "4"}));
    EXPECT_EQ(OackFields(LastSent().bytes), "windowsize 4");
    auto numbersSince = [this](std::size_t from) {
        std::vector<unsigned> n;
        for (std::size_t i = from; i < m_link.sent.size(); ++i)
            n.push_back(m_link.sent[i].number());
        return n;
    };
    std::size_t mark = m_link.sent.size();
    Advance(std::chrono::milliseconds(1));
    Receive(Ack(0));
    EXPECT_EQ(numbersSince(mark), (std::vector<unsigned>{1, 2, 3, 4}));
    // The OACK's round trip does not time a window: the first one waits the initial time-out.
    EXPECT_EQ(TimerLeft(), std::chrono::seconds(1));
    mark = m_link.sent.size();
    Receive(Ack(2)); // blocks 3 and 4 were lost: the window moves to 3
    EXPECT_EQ(numbersSince(mark), (std::vector<unsigned>{3, 4, 5, 6}));
    mark = m_link.sent.size();
    Receive(Ack(2));
    Receive(Ack(1));
    Receive(Ack(0));
    EXPECT_EQ(m_link.sent.size(), mark) << "duplicate ACKs draw nothing";
    Expire();
    EXPECT_EQ(numbersSince(mark), (std::vector<unsigned>{3, 4, 5, 6}));
    mark = m_link.sent.size();
    Receive(Ack(6));
    EXPECT_EQ(numbersSince(mark), (std::vector<unsigned>{7, 8, 9, 10}));
    mark = m_link.sent.size();
    Receive(Ack(10));
    EXPECT_EQ(numbersSince(mark), (std::vector<unsigned>{11})); // the short block ends the image
    EXPECT_EQ(LastSent().bytes.size(), 104u);
    Receive(Ack(12)); // never sent
    EXPECT_EQ(m_session.state, TftpState::Finished);
    EXPECT_EQ(m_session.result, 0);
    // Each block's progress is raised once, in order, however often it was sent.
    std::vector<int> sent;
    for (const auto& p : recorder.Progress())
        sent.push_back(p.sent);
    ASSERT_EQ(sent.size(), 11u);
    for (std::size_t i = 0; i < sent.size(); ++i)
        EXPECT_EQ(sent[i], static_cast<int>(512 * (i + 1)));
}

TEST_F(TftpSessionTest, AWindowWhoseLastAckIsLostEndsThePassOnceTheDeviceFallsSilent) {
    UseImage(5);
    EventRecorder recorder;
    Start(2);
    Receive(WithOptions(Rrq(), {"windowsize", "4"}));
    Receive(Ack(0));
    Receive(Ack(4));
    ASSERT_EQ(m_session.block, 6u);
    while (m_session.state == TftpState::Sending)
        Expire();
    EXPECT_EQ(m_session.result, 1);
    EXPECT_FALSE(recorder.Events().back().confirmed);
}

TEST_F(TftpSessionTest, ARestartFromTheTransfersOwnPortInTheProgrammingPassEndsProgrammed) {
    UseImage(6);
    EventRecorder recorder;
    Start(2);
    Receive(Rrq());
    for (unsigned block = 1; block <= 3; ++block)
        Receive(Ack(block));
    // A copy of the request while the device goes on acknowledging is stale, twice over.
    Receive(Rrq());
    Receive(Ack(4));
    Receive(Rrq());
    Receive(Ack(5));
    EXPECT_EQ(LastSent().number(), 6u);
    // The device starts its download again from the same port: it asks, and, getting no block 1,
    // asks again without acknowledging anything in between.
    Receive(Rrq());
    Expire();
    EXPECT_EQ(LastSent().number(), 6u);
    Receive(Rrq());
    EXPECT_EQ(LastSent().number(), 1u);
    EXPECT_EQ(LastSent().to, kDevice);
    AckAll();
    EXPECT_EQ(m_session.state, TftpState::Finished);
    EXPECT_EQ(m_session.result, 1);
    ASSERT_EQ(recorder.Names(), (Names{"STATUS_PROGRAMMING", "STATUS_COMPLETE"}));
    EXPECT_TRUE(recorder.Events().back().confirmed);
    EXPECT_NE(recorder.Trace().find("the device restarted its download from the same port"),
              std::string::npos);
}

TEST_F(TftpSessionTest, OnlyTheRescueTakesTheModeInAnyCase) {
    UseImage(1);
    {
        EventRecorder recorder;
        Start(2);
        Receive(Rrq("image", "OCTET"));
        EXPECT_EQ(m_session.state, TftpState::Finished);
        EXPECT_EQ(recorder.Names(), (Names{"STATUS_PROGRAMMING", "ERR_READ_REQUEST"}));
    }
    m_link = ScriptedLink{};
    TftpServerOptions options;
    options.modeAnyCase = true;
    Start(2, options);
    Receive(Rrq("image", "OcTeT"));
    EXPECT_EQ(LastSent().opcode(), 3u);
    AckAll();
    EXPECT_EQ(m_session.result, 1);
    m_link = ScriptedLink{};
    Start(2, options);
    Receive(Rrq("Image", "OCTET")); // the name stays exact
    EXPECT_EQ(m_session.state, TftpState::Finished);
    EXPECT_EQ(m_session.result, 0);
}

TEST_F(TftpSessionTest, LargerBlocksNumberLargerImagesAndTheLimitFollowsTheBlockSize) {
    UseImage(65535, 512, 0); // one byte beyond what 512-byte blocks can number
    {
        EventRecorder recorder;
        Start(2);
        Receive(Rrq());
        EXPECT_EQ(m_session.result, 0);
        EXPECT_TRUE(m_link.sent.empty());
    }
    for (const char* size : {"1024", "1468"}) {
        m_link = ScriptedLink{};
        Start(2);
        Receive(WithOptions(Rrq(), {"blksize", size}));
        EXPECT_EQ(LastSent().opcode(), 6u) << size;
    }
    m_link = ScriptedLink{};
    m_link.maxBlock = 512; // the path allows no more than plain blocks
    Start(2);
    Receive(WithOptions(Rrq(), {"blksize", "1024"}));
    EXPECT_EQ(m_session.state, TftpState::Finished);
    EXPECT_TRUE(m_link.sent.empty());
}

} // namespace
