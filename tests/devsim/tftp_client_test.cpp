// The simulator's TFTP client against a scripted server that plays each packet by hand, and
// against two real servers nobody here wrote.
#include "devsim/tftp_client.h"
#include "tests/devsim/peers.h"
#include "tests/support/event_recorder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <future>
#include <thread>

namespace {

using namespace std::chrono_literals;
using devsim::FetchFile;
using devsim::FetchRequest;
using devsim::FetchResult;

struct Packet {
    std::uint16_t op = 0;
    std::uint16_t number = 0;
    std::vector<std::uint8_t> bytes;
    net::Endpoint from;
};

// One side of the exchange, on its own port, sending and expecting packets in order.
class Script {
  public:
    Script() {
        m_socket = net::Socket::Udp();
        m_socket.Bind(net::Endpoint{net::kLoopback, 0});
    }
    net::Endpoint endpoint() const { return *m_socket.LocalEndpoint(); }
    std::optional<Packet> Next(std::chrono::milliseconds bound = 5s) {
        std::array<std::uint8_t, 1024> buf{};
        auto r = m_socket.RecvFromFor(buf, bound);
        if (r.status != net::RecvStatus::Data)
            return std::nullopt;
        Packet p;
        p.bytes.assign(buf.begin(), buf.begin() + static_cast<long>(r.size));
        if (r.size >= 4) {
            p.op = static_cast<std::uint16_t>(buf[0] << 8 | buf[1]);
            p.number = static_cast<std::uint16_t>(buf[2] << 8 | buf[3]);
        }
        p.from = r.from;
        m_client = r.from;
        return p;
    }
    // Waits for the ACK of block n. Earlier ACKs that a loaded machine's time-outs may repeat
    // in between are passed over; anything else is a failure.
    bool Ack(std::uint16_t n, std::chrono::milliseconds bound = 5s) {
        while (auto p = Next(bound)) {
            if (p->op == 4 && p->number == n)
                return true;
            if (p->op != 4 || p->number > n)
                return false;
        }
        return false;
    }
    void Data(std::uint16_t block, const std::vector<std::uint8_t>& data, std::size_t offset,
              std::size_t count) {
        std::vector<std::uint8_t> p = {0, 3, static_cast<std::uint8_t>(block >> 8),
                                       static_cast<std::uint8_t>(block)};
        p.insert(p.end(), data.begin() + static_cast<long>(offset),
                 data.begin() + static_cast<long>(offset + count));
        m_socket.SendTo(p, m_client);
    }
    void Raw(const std::vector<std::uint8_t>& p) { m_socket.SendTo(p, m_client); }
    void SetClient(net::Endpoint c) { m_client = c; }
    net::Endpoint client() const { return m_client; }

  private:
    net::Socket m_socket;
    net::Endpoint m_client;
};

FetchRequest Request(net::Endpoint server) {
    FetchRequest rq;
    rq.localAddress = net::kLoopback;
    rq.server = server;
    rq.options.timeout = 250ms;
    rq.options.retries = 4;
    rq.options.dally = 300ms;
    return rq;
}

std::vector<std::uint8_t> Pattern(std::size_t n, unsigned seed = 3) {
    auto v = skelvo::test::PatternBytes(n, seed);
    return {v.begin(), v.end()};
}

TEST(TftpClient, ReAcksAfterDroppedDataAndRecovers) {
    Script s;
    auto data = Pattern(1024 + 100);
    auto result = std::async(std::launch::async, [&] { return FetchFile(Request(s.endpoint())); });

    auto rrq = s.Next();
    ASSERT_TRUE(rrq);
    EXPECT_EQ(rrq->bytes,
              (std::vector<std::uint8_t>{0, 1, 'i', 'm', 'a', 'g', 'e', 0, 'o', 'c', 't', 'e', 't', 0}));
    s.Data(1, data, 0, 512);
    auto ack1 = s.Next();
    ASSERT_TRUE(ack1);
    EXPECT_EQ(ack1->op, 4);
    EXPECT_EQ(ack1->number, 1);
    // DATA 2 is "lost": the client must time out and repeat ACK 1, not wait for ever.
    auto start = std::chrono::steady_clock::now();
    auto again = s.Next(3s);
    ASSERT_TRUE(again);
    EXPECT_EQ(again->op, 4);
    EXPECT_EQ(again->number, 1);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 200ms);
    s.Data(2, data, 512, 512);
    ASSERT_TRUE(s.Ack(2));
    s.Data(3, data, 1024, 100);
    ASSERT_TRUE(s.Ack(3));

    FetchResult r = result.get();
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.data, data);
    EXPECT_EQ(r.blocks, 3u);
    EXPECT_GE(r.timeouts, 1);
    EXPECT_EQ(r.requestsSent, 1);
}

TEST(TftpClient, RepeatsRequestWhenNoBlockComes) {
    Script s;
    auto data = Pattern(10);
    auto result = std::async(std::launch::async, [&] { return FetchFile(Request(s.endpoint())); });
    ASSERT_EQ(s.Next().value_or(Packet{}).op, 1);
    auto second = s.Next(3s); // the first request went unanswered
    ASSERT_TRUE(second);
    EXPECT_EQ(second->op, 1);
    s.Data(1, data, 0, 10);
    EXPECT_TRUE(s.Ack(1));
    FetchResult r = result.get();
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_GE(r.requestsSent, 2);
    EXPECT_EQ(r.data, data);
}

TEST(TftpClient, EmptyLastBlockAndDuplicatesAndStrangers) {
    Script s, stranger;
    auto data = Pattern(512);
    FetchRequest rq = Request(s.endpoint());
    rq.options.dally = 2s;
    auto result = std::async(std::launch::async, [&] { return FetchFile(rq); });
    ASSERT_EQ(s.Next().value_or(Packet{}).op, 1);
    s.Data(1, data, 0, 512);
    EXPECT_TRUE(s.Ack(1));
    s.Data(1, data, 0, 512); // a retransmission: the client acknowledges it again
    EXPECT_TRUE(s.Ack(1));
    // A datagram from another port of the same host is not the transfer's peer (RFC 1350 TID).
    stranger.SetClient(s.client());
    stranger.Data(2, data, 0, 0);
    auto err = stranger.Next();
    ASSERT_TRUE(err);
    EXPECT_EQ(err->op, 5);
    EXPECT_EQ(err->number, 5);
    s.Data(2, data, 0, 0); // 512 bytes end with an empty block
    EXPECT_TRUE(s.Ack(2));
    s.Data(2, data, 0, 0); // the last ACK was "lost": the dallying client repeats it
    EXPECT_TRUE(s.Ack(2, 2s));
    FetchResult r = result.get();
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.data, data);
    EXPECT_EQ(r.blocks, 2u);
    EXPECT_EQ(r.duplicateBlocks, 2);
    EXPECT_EQ(r.strangers, 1);
}

TEST(TftpClient, ServerErrorAndSilenceEndTheDownload) {
    {
        Script s;
        auto result = std::async(std::launch::async, [&] { return FetchFile(Request(s.endpoint())); });
        ASSERT_EQ(s.Next().value_or(Packet{}).op, 1);
        s.Raw({0, 5, 0, 1, 'F', 'i', 'l', 'e', ' ', 'n', 'o', 't', ' ', 'f', 'o', 'u', 'n', 'd', 0});
        FetchResult r = result.get();
        EXPECT_FALSE(r.ok);
        EXPECT_NE(r.error.find("File not found"), std::string::npos) << r.error;
    }
    {
        Script s; // bound, never answers
        FetchRequest rq = Request(s.endpoint());
        rq.options.retries = 2;
        FetchResult r = FetchFile(rq);
        EXPECT_FALSE(r.ok);
        EXPECT_EQ(r.requestsSent, 3);
        EXPECT_EQ(r.timeouts, 3);
        EXPECT_NE(r.error.find("gave up"), std::string::npos);
    }
}

TEST(TftpClient, OversizeBlockIsRefused) {
    Script s;
    auto result = std::async(std::launch::async, [&] { return FetchFile(Request(s.endpoint())); });
    ASSERT_EQ(s.Next().value_or(Packet{}).op, 1);
    std::vector<std::uint8_t> big = {0, 3, 0, 1};
    big.resize(4 + 600, 0xAA);
    s.Raw(big);
    auto err = s.Next();
    ASSERT_TRUE(err);
    EXPECT_EQ(err->op, 5);
    EXPECT_EQ(err->number, 4);
    EXPECT_FALSE(result.get().ok);
}

TEST(TftpClient, AckFaultsOnTheWire) {
    Script s;
    auto data = Pattern(1100);
    FetchRequest rq = Request(s.endpoint());
    rq.faults.duplicateAck = 1;
    rq.faults.wrongAck = 2;
    rq.faults.errorAfter = 3;
    auto result = std::async(std::launch::async, [&] { return FetchFile(rq); });
    ASSERT_EQ(s.Next().value_or(Packet{}).op, 1);
    s.Data(1, data, 0, 512);
    EXPECT_TRUE(s.Ack(1));
    auto dup = s.Next(); // sent straight after the first
    ASSERT_TRUE(dup);
    EXPECT_EQ(dup->op, 4);
    EXPECT_EQ(dup->number, 1); // duplicate-ack=1
    s.Data(2, data, 512, 512);
    EXPECT_TRUE(s.Ack(3)); // wrong-ack=2 carries the next number
    EXPECT_TRUE(s.Ack(2)); // after the time-out the true ACK is repeated
    s.Data(3, data, 1024, 76);
    auto err = s.Next();
    ASSERT_TRUE(err);
    EXPECT_EQ(err->op, 5); // error-mid-transfer=3
    FetchResult r = result.get();
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.blocks, 3u);
}

TEST(TftpClient, DroppedFinalAckLeavesWithoutDallying) {
    Script s;
    auto data = Pattern(512 + 10);
    FetchRequest rq = Request(s.endpoint());
    rq.options.dally = 30s; // a dallying client would still be here when the test ends
    rq.faults.dropFinalAck = true;
    auto result = std::async(std::launch::async, [&] { return FetchFile(rq); });
    ASSERT_EQ(s.Next().value_or(Packet{}).op, 1);
    s.Data(1, data, 0, 512);
    EXPECT_TRUE(s.Ack(1));
    s.Data(2, data, 512, 10);
    ASSERT_EQ(result.wait_for(20s), std::future_status::ready) << "the client dallied";
    s.Data(2, data, 512, 10); // the server's resend finds nobody
    EXPECT_FALSE(s.Next(500ms)) << "no ACK of the last block at all";
    FetchResult r = result.get();
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.data, data);
    EXPECT_EQ(r.acksSent, 1);
    EXPECT_EQ(r.droppedAcks, 1);
}

TEST(TftpClient, LateFinalAckComesFromTheTransferPort) {
    for (bool dropFirst : {false, true}) {
        SCOPED_TRACE(dropFirst ? "drop-final-ack too" : "late-final-ack alone");
        Script s;
        auto data = Pattern(512 + 10);
        FetchRequest rq = Request(s.endpoint());
        rq.options.dally = 0ms;
        rq.faults.lateFinalAck = 400ms;
        rq.faults.dropFinalAck = dropFirst;
        auto result = std::async(std::launch::async, [&] { return FetchFile(rq); });
        auto rrq = s.Next();
        ASSERT_TRUE(rrq);
        s.Data(1, data, 0, 512);
        EXPECT_TRUE(s.Ack(1));
        s.Data(2, data, 512, 10);
        auto sent = std::chrono::steady_clock::now();
        if (!dropFirst) {
            EXPECT_TRUE(s.Ack(2));
        }
        auto late = s.Next();
        ASSERT_TRUE(late);
        EXPECT_EQ(late->op, 4);
        EXPECT_EQ(late->number, 2);
        EXPECT_EQ(late->from, rrq->from);
        EXPECT_GE(std::chrono::steady_clock::now() - sent, 350ms);
        FetchResult r = result.get();
        ASSERT_TRUE(r.ok) << r.error;
        EXPECT_EQ(r.acksSent, dropFirst ? 2 : 3);
    }
}

TEST(TftpClient, RequestOnceIsNeverRepeated) {
    Script s;
    FetchRequest rq = Request(s.endpoint());
    rq.options.retries = 2;
    rq.faults.requestOnce = true;
    auto result = std::async(std::launch::async, [&] { return FetchFile(rq); });
    ASSERT_EQ(s.Next().value_or(Packet{}).op, 1);
    EXPECT_FALSE(s.Next(1500ms)) << "a second request came";
    FetchResult r = result.get();
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.requestsSent, 1);
    EXPECT_EQ(r.timeouts, 3);
}

// Real servers: tftpd-hpa and atftpd, serving from an unprivileged port the test picks.
struct PeerCase {
    const char* server;
    double loss;
};

void PrintTo(const PeerCase& c, std::ostream* os) {
    *os << c.server << " with loss " << c.loss;
}

class RealServer : public ::testing::TestWithParam<PeerCase> {};

TEST_P(RealServer, DownloadsByteForByte) {
    PeerCase c = GetParam();
    // Loss costs a time-out per dropped packet, so the lossy runs use a smaller file.
    auto image = c.loss > 0 ? Pattern(100 * 1024 + 77, 11) : devsim_test::BuiltInImage("tolva21.bin");
    ASSERT_FALSE(image.empty());
    devsim_test::ServeDir dir(image);
    std::uint16_t port = devsim_test::FreeUdpPort();
    std::string why;
    auto server = std::string(c.server) == "tftpd-hpa" ? devsim_test::StartTftpdHpa(dir.path(), port, &why)
                                                       : devsim_test::StartAtftpd(dir.path(), port, &why);
    if (!server)
        GTEST_SKIP() << why;
    devsim::Rng rng(7);
    FetchRequest rq = Request(net::Endpoint{net::kLoopback, port});
    rq.options.timeout = 300ms;
    // The servers back off between their own retransmissions; the bound must outlast that.
    rq.options.retries = 40;
    rq.faults.dropData = c.loss;
    rq.faults.dropAck = c.loss;
    rq.rng = &rng;
    std::string log;
    rq.log = [&](std::string_view line) { log.append(line).append("\n"); };
    FetchResult r = FetchFile(rq);
    if (!r.ok)
        std::fprintf(stderr, "%s", log.substr(log.size() > 6000 ? log.size() - 6000 : 0).c_str());
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.data.size(), image.size());
    EXPECT_TRUE(r.data == image);
    EXPECT_EQ(r.blocks, image.size() / 512 + 1);
    EXPECT_NE(r.peer.port, port); // both answer from a fresh transfer ID
    if (c.loss > 0) {
        EXPECT_GT(r.droppedData, 0);
        EXPECT_GT(r.droppedAcks, 0);
    }
}

INSTANTIATE_TEST_SUITE_P(Peers, RealServer,
                         ::testing::Values(PeerCase{"tftpd-hpa", 0}, PeerCase{"tftpd-hpa", 0.05},
                                           PeerCase{"atftpd", 0}, PeerCase{"atftpd", 0.05}),
                         [](const auto& p) {
                             std::string n = p.param.server;
                             n.erase(std::remove(n.begin(), n.end(), '-'), n.end());
                             return n + (p.param.loss > 0 ? "_lossy" : "_clean");
                         });

} // namespace
