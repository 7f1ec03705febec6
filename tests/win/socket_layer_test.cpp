// The socket layer's contract, held by both backends: these cases run natively on Linux and,
// in the Windows build, under Wine against Winsock.
#include "net/net.h"
#include "tests/support/wine.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;

std::span<const std::uint8_t> Bytes(const std::vector<std::uint8_t>& v) {
    return {v.data(), v.size()};
}

class SocketLayer : public ::testing::Test {
  protected:
    // Every operation of the core holds its own counted start-up; so does each test.
    net::StartupGuard m_startup;

    net::Socket BoundUdp() {
        net::Socket s = net::Socket::Udp();
        EXPECT_TRUE(s.valid()) << net::LastError();
        EXPECT_TRUE(s.Bind({net::kLoopback, 0})) << net::LastError();
        return s;
    }
};

TEST_F(SocketLayer, StartupSucceedsAndNestsWithOtherStartups) {
    ASSERT_TRUE(m_startup.ok()) << m_startup.error();
    {
        net::StartupGuard inner;
        EXPECT_TRUE(inner.ok());
    }
    // The inner clean-up must not undo the outer start-up.
    net::Socket s = net::Socket::Udp();
    EXPECT_TRUE(s.valid()) << net::LastError();
}

TEST_F(SocketLayer, AddressTextFollowsInetAddr) {
    EXPECT_EQ(net::ParseIpv4("127.0.0.1"), net::kLoopback);
    EXPECT_EQ(net::ParseIpv4("192.0.2.7")->ToString(), "192.0.2.7");
    EXPECT_EQ(net::ParseIpv4("10.1.2.3")->addr, 0x0A010203u);
    EXPECT_FALSE(net::ParseIpv4(""));
    EXPECT_FALSE(net::ParseIpv4("255.255.255.255"));
    EXPECT_FALSE(net::ParseIpv4("device.example"));
    EXPECT_FALSE(net::ParseIpv4("1.2.3.256"));
    EXPECT_EQ((net::Endpoint{net::Ipv4{0xC0000207u}, 6969}.ToString()), "192.0.2.7:6969");
    EXPECT_EQ(net::kAnyAddress.ToString(), "0.0.0.0");
}

TEST_F(SocketLayer, ResolvesLocalhostAndDottedTextToTheFirstIpv4Address) {
    auto local = net::ResolveFirstIpv4("localhost");
    ASSERT_TRUE(local);
    EXPECT_EQ(local->addr >> 24, 127u);
    EXPECT_EQ(net::ResolveFirstIpv4("127.0.0.2"), (net::Ipv4{0x7F000002u}));
    EXPECT_FALSE(net::ResolveFirstIpv4("no-such-host.invalid"));
    EXPECT_NE(net::LastError(), 0);
}

// A machine whose name server never answers would otherwise hold these for its resolver's time-out.
TEST_F(SocketLayer, NamesUnderInvalidFailWithoutAskingANameServer) {
    for (const char* name : {"invalid", "INVALID.", "a.b.Invalid", "device.invalid."})
        EXPECT_TRUE(net::IsReservedInvalidName(name)) << name;
    for (const char* name : {"", "notinvalid", "invalid.example", "invalid-host", "host.invalid.lan"})
        EXPECT_FALSE(net::IsReservedInvalidName(name)) << name;
}

TEST_F(SocketLayer, DatagramsCarryTheirSenderAndMayBeEmpty) {
    net::Socket server = BoundUdp();
    net::Socket client = BoundUdp();
    auto serverEp = server.LocalEndpoint();
    auto clientEp = client.LocalEndpoint();
    ASSERT_TRUE(serverEp && clientEp);
    EXPECT_NE(serverEp->port, 0);
    EXPECT_EQ(serverEp->ip, net::kLoopback);

    std::vector<std::uint8_t> request{0, 1, 'i', 'm', 'a', 'g', 'e', 0, 'o', 'c', 't', 'e', 't', 0};
    EXPECT_EQ(client.SendTo(Bytes(request), *serverEp), static_cast<long>(request.size()));
    std::array<std::uint8_t, 516> buffer{};
    net::RecvResult r = server.RecvFromFor(buffer, 10s);
    ASSERT_EQ(r.status, net::RecvStatus::Data) << r.error;
    EXPECT_EQ(r.size, request.size());
    EXPECT_EQ(r.from, *clientEp);
    EXPECT_TRUE(std::equal(request.begin(), request.end(), buffer.begin()));

    EXPECT_EQ(client.SendTo({}, *serverEp), 0);
    r = server.RecvFromFor(buffer, 10s);
    EXPECT_EQ(r.status, net::RecvStatus::Data);
    EXPECT_EQ(r.size, 0u);
}

TEST_F(SocketLayer, TheSenderOfADatagramFromAnotherLoopbackAddressIsReportedAsItIs) {
    if (skelvo::test::RunningUnderWine())
        GTEST_SKIP() << skelvo::test::kWineLoopbackAliases;
    net::Socket server = net::Socket::Udp();
    ASSERT_TRUE(server.Bind({net::kAnyAddress, 0}));
    net::Socket other = net::Socket::Udp();
    ASSERT_TRUE(other.Bind({net::Ipv4{0x7F000002u}, 0})) << net::LastError();
    std::vector<std::uint8_t> data{0, 4, 0, 1};
    ASSERT_EQ(other.SendTo(Bytes(data), {net::kLoopback, server.LocalEndpoint()->port}), 4);
    std::array<std::uint8_t, 16> buffer{};
    net::RecvResult r = server.RecvFromFor(buffer, 10s);
    ASSERT_EQ(r.status, net::RecvStatus::Data);
    EXPECT_EQ(r.from, *other.LocalEndpoint());
}

TEST_F(SocketLayer, ALongDatagramIsCutToTheBufferLikePosixDoes) {
    net::Socket server = BoundUdp();
    net::Socket client = BoundUdp();
    std::vector<std::uint8_t> big(700, 0x5A);
    ASSERT_EQ(client.SendTo(Bytes(big), *server.LocalEndpoint()), 700);
    std::array<std::uint8_t, 516> buffer{};
    net::RecvResult r = server.RecvFromFor(buffer, 10s);
    EXPECT_EQ(r.status, net::RecvStatus::Data) << r.error;
    EXPECT_EQ(r.size, buffer.size());
    EXPECT_EQ(r.from, *client.LocalEndpoint());
    EXPECT_EQ(buffer[515], 0x5A);
}

TEST_F(SocketLayer, AClientsClosedPortDoesNotBreakTheServersNextReceive) {
    net::Socket server = BoundUdp();
    net::Endpoint gone;
    {
        net::Socket departed = BoundUdp();
        gone = *departed.LocalEndpoint();
    }
    // The send draws an ICMP port unreachable; Winsock would report it on the next recvfrom.
    std::vector<std::uint8_t> data{0, 3, 0, 1, 'x'};
    server.SendTo(Bytes(data), gone);
    std::this_thread::sleep_for(100ms);

    net::Socket client = BoundUdp();
    std::vector<std::uint8_t> ack{0, 4, 0, 1};
    ASSERT_EQ(client.SendTo(Bytes(ack), *server.LocalEndpoint()), 4);
    std::array<std::uint8_t, 516> buffer{};
    net::RecvResult r = server.RecvFromFor(buffer, 10s);
    ASSERT_EQ(r.status, net::RecvStatus::Data) << r.error;
    EXPECT_EQ(r.size, 4u);
    EXPECT_EQ(r.from, *client.LocalEndpoint());
}

TEST_F(SocketLayer, WaitsExpireAsTimeouts) {
    net::Socket s = BoundUdp();
    std::array<std::uint8_t, 16> buffer{};
    auto start = std::chrono::steady_clock::now();
    net::RecvResult r = s.RecvFromFor(buffer, 150ms);
    EXPECT_EQ(r.status, net::RecvStatus::TimedOut);
    EXPECT_EQ(r.error, net::TimeoutError());
    EXPECT_GE(std::chrono::steady_clock::now() - start, 100ms);

    ASSERT_TRUE(s.SetRecvTimeout(200ms));
    start = std::chrono::steady_clock::now();
    r = s.RecvFrom(buffer);
    EXPECT_EQ(r.status, net::RecvStatus::TimedOut) << r.error;
    EXPECT_GE(std::chrono::steady_clock::now() - start, 150ms);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 30s);
    EXPECT_FALSE(s.WaitReadable(0ms));
}

TEST_F(SocketLayer, ShutdownWakesAReceiverBlockedWithoutATimeLimit) {
    net::Socket s = BoundUdp();
    std::atomic<bool> returned{false};
    net::RecvResult r;
    std::thread receiver([&] {
        std::array<std::uint8_t, 516> buffer{};
        r = s.RecvFrom(buffer);
        returned = true;
    });
    std::this_thread::sleep_for(200ms);
    EXPECT_FALSE(returned);
    s.Shutdown();
    receiver.join();
    EXPECT_TRUE(r.status != net::RecvStatus::Data || r.size == 0);
}

TEST_F(SocketLayer, StreamsCountWaitingBytesAndSeeTheClose) {
    net::Socket listener = net::Socket::Tcp();
    ASSERT_TRUE(listener.SetReuseAddress());
    ASSERT_TRUE(listener.Bind({net::kLoopback, 0})) << net::LastError();
    ASSERT_TRUE(listener.Listen());
    net::Socket client = net::Socket::Tcp();
    ASSERT_TRUE(client.SetRecvTimeout(5000ms));
    ASSERT_TRUE(client.SetSendTimeout(5000ms));
    ASSERT_TRUE(client.Connect(*listener.LocalEndpoint())) << net::LastError();
    net::Endpoint peer;
    net::Socket served = listener.Accept(&peer);
    ASSERT_TRUE(served.valid());
    EXPECT_EQ(peer, *client.LocalEndpoint());

    EXPECT_EQ(served.Send(std::string_view("HTTP/1.0 200 OK\r\n\r\n")), 19);
    ASSERT_TRUE(client.WaitReadable(10s));
    long waiting = -1;
    for (int i = 0; i < 100 && waiting < 19; ++i) {
        waiting = client.BytesAvailable();
        if (waiting < 19)
            std::this_thread::sleep_for(10ms);
    }
    EXPECT_EQ(waiting, 19);
    std::array<std::uint8_t, 64> buffer{};
    net::RecvResult r = client.Recv(buffer);
    EXPECT_EQ(r.status, net::RecvStatus::Data);
    EXPECT_EQ(r.size, 19u);
    EXPECT_EQ(client.BytesAvailable(), 0);

    served.Close();
    r = client.Recv(buffer);
    EXPECT_EQ(r.status, net::RecvStatus::Closed);
}

TEST_F(SocketLayer, ABusyPortIsDetectedEvenWithAddressReuse) {
    net::Socket first = net::Socket::Tcp();
    ASSERT_TRUE(first.SetReuseAddress());
    ASSERT_TRUE(first.Bind({net::kLoopback, 0}));
    ASSERT_TRUE(first.Listen());
    net::Socket second = net::Socket::Tcp();
    ASSERT_TRUE(second.SetReuseAddress());
    EXPECT_FALSE(second.Bind(*first.LocalEndpoint()));
    EXPECT_NE(net::LastError(), 0);

    net::Socket udpFirst = BoundUdp();
    net::Socket udpSecond = net::Socket::Udp();
    EXPECT_FALSE(udpSecond.Bind(*udpFirst.LocalEndpoint()));
}

TEST_F(SocketLayer, ClosingKeepsTheErrorNumberOfTheFailure) {
    net::Socket holder = BoundUdp();
    net::Socket s = net::Socket::Udp();
    ASSERT_FALSE(s.Bind(*holder.LocalEndpoint()));
    int error = net::LastError();
    EXPECT_NE(error, 0);
    s.Close();
    EXPECT_EQ(net::LastError(), error);
    EXPECT_FALSE(s.valid());
}

TEST_F(SocketLayer, ConnectingToAClosedPortFails) {
    net::Endpoint closed;
    {
        net::Socket l = net::Socket::Tcp();
        ASSERT_TRUE(l.Bind({net::kLoopback, 0}));
        closed = *l.LocalEndpoint();
    }
    net::Socket c = net::Socket::Tcp();
    EXPECT_FALSE(c.Connect(closed));
    EXPECT_NE(net::LastError(), 0);
}

} // namespace
