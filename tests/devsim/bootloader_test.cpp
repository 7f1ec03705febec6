// A device bricked by a server that went away in the middle of the program download, seen from
// outside the executable: its web server refuses connections, its boot loader keeps asking for
// "image" and turns down a bad one, and a real TFTP server serving the image brings it back.
#include "engine/sha256.h"
#include "tests/devsim/peers.h"
#include "tests/support/event_recorder.h"

#include <gtest/gtest.h>

#include <array>
#include <csignal>
#include <thread>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using devsim_test::ReadText;
constexpr auto npos = std::string::npos;

// Waits until the file holds `text` at or after `from`; the position just past it, or npos.
std::size_t WaitFor(const std::string& path, const std::string& text, std::size_t from = 0) {
    const auto end = Clock::now() + 60s;
    do {
        if (std::size_t at = ReadText(path).find(text, from); at != npos)
            return at + text.size();
        std::this_thread::sleep_for(20ms);
    } while (Clock::now() < end);
    return npos;
}

struct Datagram {
    std::vector<std::uint8_t> bytes;
    net::Endpoint from;
};

std::optional<Datagram> Receive(net::Socket& s, std::chrono::milliseconds bound) {
    std::array<std::uint8_t, 1024> buf{};
    auto r = s.RecvFromFor(buf, bound);
    if (r.status != net::RecvStatus::Data)
        return std::nullopt;
    return Datagram{{buf.begin(), buf.begin() + static_cast<long>(r.size)}, r.from};
}

const std::vector<std::uint8_t> kReadImage = {0, 1, 'i', 'm', 'a', 'g', 'e', 0, 'o', 'c', 't', 'e', 't', 0};

bool Refused(net::Endpoint web) {
    return !devsim_test::Exchange(web, "GET / HTTP/1.0\r\n\r\n").connected;
}

TEST(DevsimBootLoader, BrickedByAVanishedServerUntilARealServerRescuesIt) {
    const std::string cli = skelvo::test::BinaryPath("cli/skelvo-cli");
    const auto image = devsim_test::BuiltInImage("tolva21.bin");
    const std::uint16_t port = devsim_test::FreeUdpPort();
    devsim_test::Child serve({cli, "serve", "--builtin", "tolva21", "--port", std::to_string(port)});
    ASSERT_TRUE(devsim_test::WaitUdpPortTaken(port)) << "skelvo-cli serve did not come up";

    skelvo::test::TempDir tmp;
    const std::string log = tmp.File("out");
    const std::string report = tmp.File("report.json");
    // Every ACK of the program download waits 2 ms: seconds in which to take the server away.
    devsim_test::Child sim({skelvo::test::BinaryPath("devsim/skelvo-devsim"),
                            "--model",
                            "tolva21",
                            "--http-port",
                            "0",
                            "--tftp-port",
                            std::to_string(port),
                            "--erase-seconds",
                            "0",
                            "--reboot-seconds",
                            "0.2",
                            "--tftp-timeout-ms",
                            "1000",
                            "--tftp-retries",
                            "2",
                            "--tftp-dally-ms",
                            "100",
                            "--bootloader-retry-seconds",
                            "0.5",
                            "--fault",
                            "ack-delay=2@2",
                            "--once",
                            "--ready-file",
                            tmp.File("ready"),
                            "--report",
                            report},
                           log);
    auto web = devsim_test::WaitReadyFile(tmp.File("ready"), 20s);
    ASSERT_TRUE(web);
    auto x = devsim_test::Exchange(
        *web,
        "GET /config?if=image&ih=127.0.0.1&id=1 HTTP/1.0\r\nAuthorization: Basic cm9vdDptYXJsaW4=\r\n\r\n");
    ASSERT_EQ(x.reply.rfind("HTTP/1.0 200 OK\r\n", 0), 0u) << x.reply;

    const std::size_t verified = WaitFor(log, "download 1: complete");
    ASSERT_NE(verified, npos) << ReadText(log);
    ASSERT_NE(WaitFor(log, "tftp: block 100 received", verified), npos) << ReadText(log);
    ::kill(serve.pid(), SIGKILL);
    ASSERT_TRUE(serve.Wait(10s));

    ASSERT_NE(WaitFor(report, "\"device_state\": \"bricked\""), npos) << ReadText(log);
    const std::string bricked = ReadText(report);
    EXPECT_NE(bricked.find("\"pass\": 2, \"complete\": false"), npos) << bricked;
    EXPECT_NE(bricked.find("\"state\": \"bricked\", \"rescued\": false"), npos);
    EXPECT_NE(bricked.find("\"final_version\": \"1.0.8\""), npos);
    EXPECT_TRUE(Refused(*web));

    // The boot loader asks the same server again and again, from a new port each time. The first
    // answer it gets holds a trailer whose CRC does not match; it takes it, and asks on.
    {
        net::Socket server;
        for (auto end = Clock::now() + 20s; Clock::now() < end; std::this_thread::sleep_for(50ms)) {
            server = net::Socket::Udp();
            if (server.Bind(net::Endpoint{net::kLoopback, port}))
                break;
            server.Close();
        }
        ASSERT_TRUE(server) << "port " << port << " stayed taken";
        std::vector<std::uint8_t> bad = {0, 3, 0, 1};
        bad.insert(bad.end(), image.end() - 36, image.end());
        std::optional<Datagram> answered;
        for (int attempt = 0; attempt < 10 && !answered; ++attempt) {
            auto rrq = Receive(server, 20s);
            ASSERT_TRUE(rrq);
            EXPECT_EQ(rrq->bytes, kReadImage);
            EXPECT_EQ(rrq->from.ip, net::kLoopback);
            net::Socket transfer = net::Socket::Udp();
            ASSERT_TRUE(transfer.Bind(net::Endpoint{net::kLoopback, 0}));
            transfer.SendTo(bad, rrq->from);
            // Too late for a request already given up on: no ACK, and the next request gets it.
            auto ack = Receive(transfer, 5s);
            if (ack) {
                EXPECT_EQ(ack->bytes, (std::vector<std::uint8_t>{0, 4, 0, 1}));
                answered = rrq;
            }
        }
        ASSERT_TRUE(answered);
        auto again = Receive(server, 20s);
        ASSERT_TRUE(again);
        EXPECT_EQ(again->bytes, kReadImage);
        EXPECT_NE(again->from.port, answered->from.port);
    }
    ASSERT_NE(WaitFor(report, "\"event\": \"boot loader rejected\", \"detail\": \"bad checksum"), npos)
        << ReadText(report);
    EXPECT_TRUE(Refused(*web));

    // tftpd-hpa serves the file once; skelvo-cli serve stands in where it is missing.
    devsim_test::ServeDir dir(image);
    std::string why;
    std::optional<devsim_test::Child> rescuer = devsim_test::StartTftpdHpa(dir.path(), port, &why);
    if (!rescuer) {
        rescuer.emplace(
            std::vector<std::string>{cli, "serve", "--builtin", "tolva21", "--port", std::to_string(port)});
        ASSERT_TRUE(devsim_test::WaitUdpPortTaken(port)) << why;
    }
    // With --once the simulator ends once the device is back, and its status says it is programmed.
    auto status = sim.Wait(60s);
    ASSERT_TRUE(status) << ReadText(log);
    EXPECT_EQ(*status, 0) << ReadText(log);
    const std::string done = ReadText(report);
    EXPECT_NE(done.find("\"device_state\": \"running\""), npos) << done;
    EXPECT_NE(done.find("\"state\": \"rescued\", \"rescued\": true"), npos);
    EXPECT_NE(done.find("\"final_version\": \"1.0.9\""), npos);
    EXPECT_NE(done.find("\"pass\": 3, \"complete\": true, \"bytes\": 745353, \"sha256\": \"" +
                        Sha256::HexOf(image)),
              npos);
    const std::string out = ReadText(log);
    std::size_t listening = 0;
    for (std::size_t at = out.find("listening on " + web->ToString()); at != npos;
         at = out.find("listening on " + web->ToString(), at + 1))
        ++listening;
    EXPECT_EQ(listening, 2u) << "the web server did not come back after the rescue\n" << out;
}

} // namespace
