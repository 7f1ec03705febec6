// The simulator's web server, seen by curl and by a plain socket.
#include "devsim/devsim.h"
#include "tests/devsim/peers.h"
#include "tests/support/event_recorder.h"

#include <gtest/gtest.h>

#include <thread>

namespace {

using namespace std::chrono_literals;
using devsim_test::Exchange;

constexpr char kProbe[] = "GET / HTTP/1.0\r\n\r\n";
// The upgrade command as the program sends it, with root:marlin.
std::string Command(const std::string& creds = "cm9vdDptYXJsaW4=") {
    return "GET /config?if=image&ih=127.0.0.1 HTTP/1.0\r\nAuthorization: Basic " + creds + "\r\n\r\n";
}

devsim::Options Quiet(devsim::Model model = devsim::Model::Tolva21) {
    devsim::Options o;
    o.model = model;
    o.httpPort = 0;
    o.tftpPort = devsim_test::FreeUdpPort(); // nobody serves there; upgrades give up quickly
    o.tftp.timeout = 100ms;
    o.tftp.retries = 1;
    o.eraseTime = 0ms;
    o.rebootTime = 0ms;
    o.log = [](std::string_view) {};
    return o;
}

std::string Url(net::Endpoint ep, const std::string& path) {
    return "'http://" + ep.ToString() + path + "'";
}

TEST(DevsimWeb, CurlSeesEachModelsServerLine) {
    struct Case {
        devsim::Model model;
        const char* line;
    } cases[] = {{devsim::Model::Tolva21, "Server: Tolva 2100/1.0.8\r\n"},
                 {devsim::Model::Tolva22, "Server: Tolva 2200/1.0.8\r\n"},
                 {devsim::Model::Tolva, "Server: Tolva 2300/1.0.8\r\n"},
                 {devsim::Model::Dravenholt, "Server: Dravenholt II/6.2.0\r\n"},
                 {devsim::Model::Vintrosphere, "Server: Vintrosphere/6.2.0\r\n"}};
    for (const auto& c : cases) {
        devsim::Simulator sim(Quiet(c.model));
        ASSERT_TRUE(sim.Start());
        int status = -1;
        std::string out =
            devsim_test::Capture("curl -sS -i --max-time 20 " + Url(sim.HttpEndpoint(), "/"), &status);
        EXPECT_EQ(status, 0);
        EXPECT_EQ(out.rfind("HTTP/1.0 200 OK\r\n", 0), 0u) << out;
        EXPECT_NE(out.find(c.line), std::string::npos) << out;
        EXPECT_NE(out.find("Content-Type: text/html\r\n"), std::string::npos);
        EXPECT_NE(out.find("Connection: close\r\n"), std::string::npos);
        EXPECT_NE(out.find("</html>"), std::string::npos);
    }
    devsim::Options o = Quiet(devsim::Model::Dravenholt);
    o.firmware = "6.2.1b";
    devsim::Simulator sim(o);
    ASSERT_TRUE(sim.Start());
    EXPECT_NE(Exchange(sim.HttpEndpoint(), kProbe).reply.find("Server: Dravenholt II/6.2.1b\r\n"),
              std::string::npos);
}

TEST(DevsimWeb, CurlLoginAgainstTheExecutable) {
    skelvo::test::TempDir tmp;
    std::uint16_t tftp = devsim_test::FreeUdpPort();
    devsim_test::Child sim({skelvo::test::BinaryPath("devsim/skelvo-devsim"), "--model", "tolva22",
                            "--http-port", "0", "--tftp-port", std::to_string(tftp), "--login", "admin",
                            "--password", "s3cret", "--tftp-timeout-ms", "100", "--tftp-retries", "1",
                            "--ready-file", tmp.File("ready"), "--report", tmp.File("report.json")},
                           tmp.File("out"));
    auto ep = devsim_test::WaitReadyFile(tmp.File("ready"), 20s);
    ASSERT_TRUE(ep);
    const std::string url = Url(*ep, "/config?if=image&ih=127.0.0.1");
    std::string out = devsim_test::Capture("curl -sS -i --max-time 20 " + url);
    EXPECT_EQ(out.rfind("HTTP/1.0 401 Unauthorized\r\n", 0), 0u) << out;
    EXPECT_NE(out.find("WWW-Authenticate: Basic realm=\"Tolva 2200\"\r\n"), std::string::npos);
    EXPECT_NE(out.find("Unauthorized"), std::string::npos);
    out = devsim_test::Capture("curl -sS -i --max-time 20 -u root:marlin " + url);
    EXPECT_EQ(out.rfind("HTTP/1.0 401 Unauthorized\r\n", 0), 0u) << out;
    out = devsim_test::Capture("curl -sS -i --max-time 20 -u admin:s3cret " + url);
    EXPECT_EQ(out.rfind("HTTP/1.0 200 OK\r\n", 0), 0u) << out;
    EXPECT_NE(out.find("Server: Tolva 2200/1.0.8\r\n"), std::string::npos);
    EXPECT_EQ(sim.Terminate(), 0);

    std::string report = devsim_test::ReadText(tmp.File("report.json"));
    EXPECT_NE(report.find("\"credentials_accepted\": false"), std::string::npos);
    EXPECT_NE(report.find("\"credentials_accepted\": true"), std::string::npos);
    EXPECT_NE(report.find("\"login\": \"admin\""), std::string::npos);
    EXPECT_EQ(report.find("s3cret"), std::string::npos);
    EXPECT_EQ(report.find("YWRtaW46czNjcmV0"), std::string::npos); // Base64 of admin:s3cret
    EXPECT_NE(report.find("Authorization: Basic [credentials]"), std::string::npos);
    std::string log = devsim_test::ReadText(tmp.File("out"));
    EXPECT_NE(log.find("listening on " + ep->ToString()), std::string::npos);
}

TEST(DevsimWeb, AnswersToOtherRequests) {
    devsim::Simulator sim(Quiet());
    ASSERT_TRUE(sim.Start());
    auto ep = sim.HttpEndpoint();
    auto x = Exchange(ep, kProbe);
    EXPECT_TRUE(x.closed);
    EXPECT_EQ(x.reply.rfind("HTTP/1.0 200 OK\r\n", 0), 0u);
    std::size_t body = x.reply.find("\r\n\r\n");
    ASSERT_NE(body, std::string::npos);
    EXPECT_NE(x.reply.find("Content-Length: " + std::to_string(x.reply.size() - body - 4) + "\r\n"),
              std::string::npos);
    EXPECT_EQ(Exchange(ep, "GET /nothing HTTP/1.0\r\n\r\n").reply.rfind("HTTP/1.0 404", 0), 0u);
    EXPECT_EQ(Exchange(ep, "POST / HTTP/1.0\r\n\r\n").reply.rfind("HTTP/1.0 501", 0), 0u);
    EXPECT_EQ(Exchange(ep, "nonsense\r\n\r\n").reply.rfind("HTTP/1.0 400", 0), 0u);
    auto head = Exchange(ep, "HEAD / HTTP/1.0\r\n\r\n").reply;
    EXPECT_EQ(head.substr(head.size() - 4), "\r\n\r\n");
    // Without credentials, with a wrong scheme, with a broken token: 401, which the program
    // recognises by the word in any letter case.
    for (const std::string& req :
         {std::string("GET /config?if=image&ih=127.0.0.1 HTTP/1.0\r\n\r\n"), Command("cm9vdDp3cm9uZw=="),
          std::string("GET /config?if=image&ih=127.0.0.1 HTTP/1.0\r\nAuthorization: Digest x\r\n\r\n"),
          Command("!!!!")}) {
        auto r = Exchange(ep, req).reply;
        EXPECT_EQ(r.rfind("HTTP/1.0 401 Unauthorized\r\n", 0), 0u) << req;
        EXPECT_NE(r.find("WWW-Authenticate: Basic"), std::string::npos);
    }
    // Good credentials but no address to fetch from.
    EXPECT_EQ(Exchange(ep, "GET /config?if=image HTTP/1.0\r\nAuthorization: Basic cm9vdDptYXJsaW4=\r\n\r\n")
                  .reply.rfind("HTTP/1.0 400", 0),
              0u);
    EXPECT_TRUE(sim.GetReport().upgrades.empty());
    // A good command: 200, the connection closes, and the device goes for its image.
    auto ok = Exchange(ep, Command());
    EXPECT_TRUE(ok.closed);
    EXPECT_EQ(ok.reply.rfind("HTTP/1.0 200 OK\r\n", 0), 0u);
    auto up = sim.WaitForUpgrade(20s);
    ASSERT_TRUE(up);
    EXPECT_FALSE(up->succeeded());
    EXPECT_EQ(up->outcome.rfind("verify download failed", 0), 0u) << up->outcome;
    auto report = sim.GetReport();
    ASSERT_FALSE(report.requests.empty());
    EXPECT_EQ(report.requests.back().bytes, Command()); // the in-process record keeps the exact bytes
    EXPECT_EQ(report.requests.back().credentialsAccepted, true);
}

// A device that turns the command down with a status of its own: that status line and a short
// body, the connection closed, and no download started. Other requests are answered as usual.
TEST(DevsimWeb, CommandStatusFaultTurnsTheCommandDown) {
    struct Case {
        const char* fault;
        const char* line;
    } cases[] = {{"command-status=503", "HTTP/1.0 503 Service Unavailable\r\n"},
                 {"command-status=200", "HTTP/1.0 200 OK\r\n"}};
    for (const auto& c : cases) {
        devsim::Options o = Quiet();
        ASSERT_TRUE(devsim::ParseFault(c.fault, o.faults, nullptr));
        devsim::Simulator sim(o);
        ASSERT_TRUE(sim.Start());
        const std::string url = Url(sim.HttpEndpoint(), "/config?if=image&ih=127.0.0.1");
        int status = -1;
        std::string out = devsim_test::Capture("curl -sS -i --max-time 20 -u root:marlin " + url, &status);
        EXPECT_EQ(status, 0) << c.fault;
        EXPECT_EQ(out.rfind(c.line, 0), 0u) << out;
        EXPECT_NE(out.find("Server: Tolva 2100/1.0.8\r\n"), std::string::npos) << out;
        EXPECT_NE(out.find("not carried out"), std::string::npos) << out;
        // Credentials are still checked first.
        out = devsim_test::Capture("curl -sS -i --max-time 20 -u root:wrong " + url);
        EXPECT_EQ(out.rfind("HTTP/1.0 401 Unauthorized\r\n", 0), 0u) << out;
        EXPECT_EQ(Exchange(sim.HttpEndpoint(), kProbe).reply.rfind("HTTP/1.0 200 OK\r\n", 0), 0u);

        auto report = sim.GetReport();
        EXPECT_TRUE(report.upgrades.empty()) << c.fault << ": the device went for its image";
        ASSERT_EQ(report.requests.size(), 3u);
        EXPECT_EQ(report.requests[0].credentialsAccepted, true);
        EXPECT_EQ(std::to_string(report.requests[0].status), std::string(c.line).substr(9, 3));
    }
}

TEST(DevsimWeb, ServerHeaderFaults) {
    struct Case {
        const char* fault;
        const char* present;
        const char* absent;
    } cases[] = {
        {"no-server-header", "Content-Type:", "erver:"},
        {"lowercase-server-header", "server: Tolva 2100/1.0.8\r\n", "Server:"},
        {"server-in-body", "Server: Dravenholt II", nullptr},
    };
    for (const auto& c : cases) {
        devsim::Options o = Quiet();
        ASSERT_TRUE(devsim::ParseFault(c.fault, o.faults, nullptr));
        devsim::Simulator sim(o);
        ASSERT_TRUE(sim.Start());
        auto x = Exchange(sim.HttpEndpoint(), kProbe);
        EXPECT_TRUE(x.closed) << c.fault;
        EXPECT_NE(x.reply.find(c.present), std::string::npos) << c.fault << "\n" << x.reply;
        if (c.absent != nullptr) {
            EXPECT_EQ(x.reply.find(c.absent), std::string::npos) << c.fault << "\n" << x.reply;
        }
    }
    // Server-in-body: the real header still names the Tolva, and the body names the Dravenholt.
    devsim::Options o = Quiet();
    o.faults.serverInBody = true;
    devsim::Simulator sim(o);
    ASSERT_TRUE(sim.Start());
    auto reply = Exchange(sim.HttpEndpoint(), kProbe).reply;
    EXPECT_LT(reply.find("Server: Tolva 2100/1.0.8\r\n"), reply.find("\r\n\r\n"));
    EXPECT_GT(reply.find("Server: Dravenholt II"), reply.find("\r\n\r\n"));
}

TEST(DevsimWeb, SplitServerHeaderArrivesInTwoReceives) {
    devsim::Options o = Quiet();
    o.faults.splitServerHeader = true;
    devsim::Simulator sim(o);
    ASSERT_TRUE(sim.Start());
    auto x = Exchange(sim.HttpEndpoint(), kProbe);
    ASSERT_GE(x.chunks.size(), 2u);
    EXPECT_EQ(x.chunks[0].substr(x.chunks[0].size() - 11), "Server: Tol");
    EXPECT_EQ(x.chunks[1].rfind("va 2100/1.0.8\r\n", 0), 0u);
    for (const auto& chunk : x.chunks)
        EXPECT_EQ(chunk.find("Server: Tolva"), std::string::npos);
    EXPECT_NE(x.reply.find("Server: Tolva 2100/1.0.8\r\n"), std::string::npos);
}

TEST(DevsimWeb, ConnectionFaults) {
    {
        devsim::Options o = Quiet();
        o.faults.silent = true;
        devsim::Simulator sim(o);
        ASSERT_TRUE(sim.Start());
        auto x = Exchange(sim.HttpEndpoint(), kProbe, 700ms);
        EXPECT_TRUE(x.connected);
        EXPECT_TRUE(x.timedOut);
        EXPECT_TRUE(x.reply.empty());
        sim.Stop(); // returns although a connection is held open
    }
    {
        devsim::Options o = Quiet();
        o.faults.resetAfterCommand = true;
        devsim::Simulator sim(o);
        ASSERT_TRUE(sim.Start());
        EXPECT_EQ(Exchange(sim.HttpEndpoint(), kProbe).reply.rfind("HTTP/1.0 200", 0),
                  0u); // probes still answered
        auto x = Exchange(sim.HttpEndpoint(), Command());
        EXPECT_TRUE(x.reset);
        EXPECT_TRUE(x.reply.empty());
        // The command was read before the reset, so the device still goes for its image.
        auto up = sim.WaitForUpgrade(20s);
        ASSERT_TRUE(up);
        EXPECT_FALSE(up->passes.empty());
    }
    {
        devsim::Options o = Quiet();
        o.faults.refuseLogin = true;
        devsim::Simulator sim(o);
        ASSERT_TRUE(sim.Start());
        EXPECT_EQ(Exchange(sim.HttpEndpoint(), Command()).reply.rfind("HTTP/1.0 401 Unauthorized", 0), 0u);
        EXPECT_TRUE(sim.GetReport().upgrades.empty());
    }
    {
        devsim::Options o = Quiet();
        o.faults.slow = 600ms;
        devsim::Simulator sim(o);
        ASSERT_TRUE(sim.Start());
        auto start = std::chrono::steady_clock::now();
        auto x = Exchange(sim.HttpEndpoint(), kProbe);
        EXPECT_GE(std::chrono::steady_clock::now() - start, 600ms);
        EXPECT_GT(x.chunks.size(), 3u);
        EXPECT_NE(x.reply.find("Server: Tolva 2100/1.0.8\r\n"), std::string::npos);
    }
}

} // namespace
