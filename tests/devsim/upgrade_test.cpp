// Whole upgrades of the simulator against tftpd-hpa serving the image: verify, erase, second
// download, program, restart, new version; and the ways an upgrade stops short.
#include "devsim/devsim.h"
#include "engine/sha256.h"
#include "tests/devsim/peers.h"
#include "tests/support/event_recorder.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <thread>

namespace {

using namespace std::chrono_literals;
using devsim_test::Exchange;

std::string Command(bool trace = false) {
    return std::string("GET /config?if=image&ih=127.0.0.1") + (trace ? "&id=1" : "") +
           " HTTP/1.0\r\nAuthorization: Basic cm9vdDptYXJsaW4=\r\n\r\n";
}

// tftpd-hpa serving one image, and a simulator pointed at it.
class Upgrade : public ::testing::Test {
  protected:
    bool Serve(const std::vector<std::uint8_t>& image) {
        m_dir = std::make_unique<devsim_test::ServeDir>(image);
        m_port = devsim_test::FreeUdpPort();
        std::string why;
        m_server = devsim_test::StartTftpdHpa(m_dir->path(), m_port, &why);
        m_why = why;
        return m_server.has_value();
    }
    devsim::Options Options(devsim::Model model) {
        devsim::Options o;
        o.model = model;
        o.httpPort = 0;
        o.tftpPort = m_port;
        o.eraseTime = 0ms;
        o.rebootTime = 0ms;
        o.tftp.timeout = 300ms;
        o.tftp.dally = 100ms;
        o.log = [this](std::string_view line) {
            std::lock_guard<std::mutex> g(m_logMu);
            m_log.append(line).append("\n");
        };
        return o;
    }
    std::string Log() {
        std::lock_guard<std::mutex> g(m_logMu);
        return m_log;
    }
    std::optional<devsim::UpgradeRecord> Run(devsim::Simulator& sim, bool trace = false) {
        auto x = Exchange(sim.HttpEndpoint(), Command(trace));
        EXPECT_EQ(x.reply.rfind("HTTP/1.0 200 OK\r\n", 0), 0u) << x.reply;
        EXPECT_TRUE(x.closed);
        return sim.WaitForUpgrade(60s);
    }

    std::unique_ptr<devsim_test::ServeDir> m_dir;
    std::uint16_t m_port = 0;
    std::optional<devsim_test::Child> m_server;
    std::string m_why;
    std::mutex m_logMu;
    std::string m_log;
};

TEST_F(Upgrade, ProgramsRestartsAndShowsTheNewVersion) {
    auto image = devsim_test::BuiltInImage("tolva21.bin");
    if (!Serve(image))
        GTEST_SKIP() << m_why;
    devsim::Options o = Options(devsim::Model::Tolva21);
    o.eraseTime = 300ms;
    o.rebootTime = 800ms;
    devsim::Simulator sim(o);
    ASSERT_TRUE(sim.Start());
    auto ep = sim.HttpEndpoint();
    EXPECT_NE(Exchange(ep, "GET / HTTP/1.0\r\n\r\n").reply.find("Server: Tolva 2100/1.0.8\r\n"),
              std::string::npos);

    auto x = Exchange(ep, Command(true));
    ASSERT_EQ(x.reply.rfind("HTTP/1.0 200 OK\r\n", 0), 0u);
    // While it restarts the device refuses connections; afterwards it answers again.
    bool refused = false;
    std::optional<devsim::UpgradeRecord> up;
    auto end = std::chrono::steady_clock::now() + 60s;
    while (!up && std::chrono::steady_clock::now() < end) {
        net::Socket s = net::Socket::Tcp();
        if (!s.Connect(ep))
            refused = true;
        up = sim.WaitForUpgrade(20ms);
    }
    ASSERT_TRUE(up);
    EXPECT_TRUE(refused);
    EXPECT_TRUE(up->succeeded()) << up->outcome;
    EXPECT_EQ(up->outcome, "programmed");
    ASSERT_EQ(up->passes.size(), 2u);
    std::string digest = Sha256::HexOf(image);
    for (const auto& p : up->passes) {
        EXPECT_TRUE(p.complete);
        EXPECT_EQ(p.data.size(), 745353u);
        EXPECT_EQ(p.blocks, 1456u);
        EXPECT_EQ(p.sha256, digest);
    }
    EXPECT_TRUE(up->identical);
    EXPECT_EQ(up->imageFamily, "TOLVA-21XX");
    EXPECT_EQ(up->versionBefore, "1.0.8");
    EXPECT_EQ(up->versionAfter, "1.0.9");
    EXPECT_EQ(sim.CurrentVersion(), "1.0.9");
    EXPECT_TRUE(up->trace);
    ASSERT_TRUE(sim.WaitListening(10s));
    EXPECT_NE(Exchange(ep, "GET / HTTP/1.0\r\n\r\n").reply.find("Server: Tolva 2100/1.0.9\r\n"),
              std::string::npos);
    // The download trace logs every block.
    std::string log = Log();
    EXPECT_NE(log.find("tftp: block 1 received (512 bytes)"), std::string::npos);
    EXPECT_NE(log.find("tftp: block 1456 received (393 bytes)"), std::string::npos);
    EXPECT_NE(log.find("erasing flash"), std::string::npos);
}

TEST_F(Upgrade, GenericTolvaAndVintrosphereTakeTheirFamilies) {
    struct Case {
        devsim::Model model;
        const char* file;
        const char* after;
    } cases[] = {{devsim::Model::Tolva, "tolva21.bin", "1.0.9"},
                 {devsim::Model::Tolva22, "tolva22.bin", "1.0.9"},
                 {devsim::Model::Vintrosphere, "dravenholt.bin", "6.2.1"}};
    for (const auto& c : cases) {
        if (!Serve(devsim_test::BuiltInImage(c.file)))
            GTEST_SKIP() << m_why;
        devsim::Simulator sim(Options(c.model));
        ASSERT_TRUE(sim.Start());
        auto up = Run(sim);
        ASSERT_TRUE(up);
        EXPECT_TRUE(up->succeeded()) << c.file << ": " << up->outcome;
        EXPECT_EQ(up->versionAfter, c.after);
        m_server.reset();
    }
}

TEST_F(Upgrade, VerifyRejectsAndNoSecondRequestFollows) {
    auto good = devsim_test::BuiltInImage("tolva21.bin");
    auto badCrc = good;
    badCrc[4096] ^= 0x10;
    auto v = skelvo::test::PatternBytes(20000, 5);
    std::vector<std::uint8_t> plain(v.begin(), v.end());
    struct Case {
        devsim::Model model;
        const std::vector<std::uint8_t>* image;
        bool acceptAny;
        const char* reason;
    } cases[] = {
        {devsim::Model::Dravenholt, &good, false, "wrong model"},
        {devsim::Model::Tolva22, &good, true, "wrong model"},
        {devsim::Model::Tolva21, &badCrc, false, "bad checksum"},
        {devsim::Model::Tolva21, &plain, false, "no image trailer"},
    };
    for (const auto& c : cases) {
        if (!Serve(*c.image))
            GTEST_SKIP() << m_why;
        devsim::Options o = Options(c.model);
        o.acceptAnyImage = c.acceptAny;
        devsim::Simulator sim(o);
        ASSERT_TRUE(sim.Start());
        auto before = sim.CurrentVersion();
        auto up = Run(sim);
        ASSERT_TRUE(up);
        EXPECT_FALSE(up->verified);
        EXPECT_FALSE(up->programmed);
        EXPECT_EQ(up->passes.size(), 1u) << "a second read request followed a rejected image";
        EXPECT_NE(up->verification.find(c.reason), std::string::npos) << up->verification;
        EXPECT_EQ(up->outcome.rfind("rejected", 0), 0u);
        // The flash is untouched: the device goes on answering with its old version.
        EXPECT_EQ(up->state, "intact");
        EXPECT_FALSE(up->erased);
        EXPECT_EQ(up->bootLoaderRequests, 0);
        EXPECT_EQ(sim.CurrentVersion(), before);
        EXPECT_EQ(sim.DeviceState(), "running");
        EXPECT_NE(
            Exchange(sim.HttpEndpoint(), "GET / HTTP/1.0\r\n\r\n")
                .reply.find(std::string("Server: ") + devsim::ProductName(c.model) + "/" + before + "\r\n"),
            std::string::npos)
            << c.reason;
        m_server.reset();
    }
}

TEST_F(Upgrade, UserFileWithoutTrailerOnlyWithAcceptAnyImage) {
    auto v = skelvo::test::PatternBytes(512 * 40, 9); // a multiple of 512: ends with an empty block
    std::vector<std::uint8_t> plain(v.begin(), v.end());
    if (!Serve(plain))
        GTEST_SKIP() << m_why;
    devsim::Options o = Options(devsim::Model::Dravenholt);
    o.acceptAnyImage = true;
    devsim::Simulator sim(o);
    ASSERT_TRUE(sim.Start());
    auto up = Run(sim);
    ASSERT_TRUE(up);
    EXPECT_TRUE(up->succeeded()) << up->outcome;
    EXPECT_EQ(up->passes[0].blocks, 41u);
    EXPECT_EQ(up->versionAfter, "6.2.0"); // no trailer, no version: the old one stays
}

TEST_F(Upgrade, NoSecondRequestFaultAndLossyDownloads) {
    auto image = devsim_test::BuiltInImage("dravenholt.bin");
    if (!Serve(image))
        GTEST_SKIP() << m_why;
    {
        devsim::Options o = Options(devsim::Model::Dravenholt);
        o.faults.noSecondRequest = true;
        devsim::Simulator sim(o);
        ASSERT_TRUE(sim.Start());
        auto up = Run(sim);
        ASSERT_TRUE(up);
        EXPECT_TRUE(up->verified);
        EXPECT_EQ(up->passes.size(), 1u);
        EXPECT_FALSE(up->succeeded());
    }
    {
        devsim::Options o = Options(devsim::Model::Dravenholt);
        ASSERT_TRUE(devsim::ParseFault("drop-data=0.01@2", o.faults, nullptr));
        ASSERT_TRUE(devsim::ParseFault("drop-ack=0.01@2", o.faults, nullptr));
        o.tftp.retries = 40;
        devsim::Simulator sim(o);
        ASSERT_TRUE(sim.Start());
        auto up = Run(sim);
        ASSERT_TRUE(up);
        EXPECT_TRUE(up->succeeded()) << up->outcome;
        ASSERT_EQ(up->passes.size(), 2u);
        EXPECT_EQ(up->passes[0].droppedData + up->passes[0].droppedAcks, 0);
        EXPECT_GT(up->passes[1].droppedData + up->passes[1].droppedAcks, 0);
        EXPECT_EQ(up->passes[1].sha256, Sha256::HexOf(image));
    }
}

// tftpd-hpa resends a block whose ACK does not come and gives up later, while the device has
// moved on: from the device's side every one of these upgrades completes.
TEST_F(Upgrade, EndOfTransferFaultsStillProgram) {
    auto image = devsim_test::BuiltInImage("dravenholt.bin");
    if (!Serve(image))
        GTEST_SKIP() << m_why;
    devsim::Options o = Options(devsim::Model::Dravenholt);
    o.eraseTime = 200ms;
    for (const char* fault : {"request-once", "drop-final-ack@1", "late-final-ack=100@2"})
        ASSERT_TRUE(devsim::ParseFault(fault, o.faults, nullptr)) << fault;
    devsim::Simulator sim(o);
    ASSERT_TRUE(sim.Start());
    auto up = Run(sim);
    ASSERT_TRUE(up);
    EXPECT_TRUE(up->succeeded()) << up->outcome << "\n" << Log();
    ASSERT_EQ(up->passes.size(), 2u);
    const auto& verify = up->passes[0];
    const auto& program = up->passes[1];
    EXPECT_EQ(verify.requestsSent, 1);
    EXPECT_EQ(program.requestsSent, 1);
    EXPECT_EQ(verify.droppedAcks, 1);
    EXPECT_EQ(verify.acksSent, static_cast<int>(verify.blocks) - 1 + verify.duplicateBlocks);
    EXPECT_EQ(program.acksSent, static_cast<int>(program.blocks) + 1 + program.duplicateBlocks);
    EXPECT_EQ(sim.CurrentVersion(), "6.2.1");
}

std::vector<std::string> EventNames(const devsim::UpgradeRecord& up) {
    std::vector<std::string> names;
    for (const auto& e : up.events)
        names.push_back(e.what);
    return names;
}

// An ERROR in the program download leaves the flash erased: the upgrade ends "bricked" on the old
// version with the web server down. The boot loader then fetches "image" from the same server,
// and the device comes back with the new version.
TEST_F(Upgrade, FailedProgramDownloadBricksUntilTheBootLoaderRescuesIt) {
    auto image = devsim_test::BuiltInImage("tolva21.bin");
    if (!Serve(image))
        GTEST_SKIP() << m_why;
    devsim::Options o = Options(devsim::Model::Tolva21);
    o.bootLoaderRetry = 200ms;
    ASSERT_TRUE(devsim::ParseFault("error-mid-transfer=20@2", o.faults, nullptr));
    devsim::Simulator sim(o);
    ASSERT_TRUE(sim.Start());
    auto up = Run(sim);
    ASSERT_TRUE(up);
    EXPECT_EQ(up->state, "bricked");
    EXPECT_TRUE(up->verified);
    EXPECT_TRUE(up->erased);
    EXPECT_FALSE(up->programmed);
    EXPECT_FALSE(up->rescued);
    EXPECT_EQ(up->outcome.rfind("program download failed", 0), 0u) << up->outcome;
    EXPECT_EQ(up->versionAfter, "1.0.8");
    EXPECT_EQ(EventNames(*up), (std::vector<std::string>{"command", "verify download complete", "verified",
                                                         "erased", "program download failed", "bricked"}));

    auto rescued = sim.WaitForRescue(60s);
    ASSERT_TRUE(rescued) << Log();
    EXPECT_EQ(rescued->state, "rescued");
    EXPECT_TRUE(rescued->rescued);
    EXPECT_TRUE(rescued->programmed);
    EXPECT_FALSE(rescued->succeeded()) << "a rescue is not a successful upgrade";
    EXPECT_EQ(rescued->outcome, up->outcome);
    EXPECT_EQ(rescued->versionAfter, "1.0.9");
    EXPECT_GE(rescued->bootLoaderRequests, 1);
    ASSERT_EQ(rescued->passes.size(), 3u);
    EXPECT_EQ(rescued->passes[2].pass, 3);
    EXPECT_TRUE(rescued->passes[2].complete);
    EXPECT_EQ(rescued->passes[2].sha256, Sha256::HexOf(image));
    auto names = EventNames(*rescued);
    ASSERT_GE(names.size(), 8u);
    EXPECT_EQ(names[names.size() - 2], "boot loader programmed");
    EXPECT_EQ(names.back(), "rescued");

    ASSERT_TRUE(sim.WaitListening(10s));
    EXPECT_NE(
        Exchange(sim.HttpEndpoint(), "GET / HTTP/1.0\r\n\r\n").reply.find("Server: Tolva 2100/1.0.9\r\n"),
        std::string::npos);
    EXPECT_EQ(sim.DeviceState(), "running");
    const auto json = nlohmann::json::parse(devsim::ReportJson(sim.GetReport()));
    EXPECT_EQ(json["device_state"], "running");
    EXPECT_EQ(json["final_version"], "1.0.9");
    const auto& upgrade = json["upgrades"][0];
    EXPECT_EQ(upgrade["state"], "rescued");
    EXPECT_EQ(upgrade["rescued"], true);
    EXPECT_TRUE(std::any_of(upgrade["events"].begin(), upgrade["events"].end(),
                            [](const auto& e) { return e["event"] == "bricked"; }));
}

TEST_F(Upgrade, OnceExitStatusAndReportFile) {
    auto image = devsim_test::BuiltInImage("tolva22.bin");
    if (!Serve(image))
        GTEST_SKIP() << m_why;
    for (const char* model : {"tolva22", "tolva21"}) {
        skelvo::test::TempDir tmp;
        devsim_test::Child sim({skelvo::test::BinaryPath("devsim/skelvo-devsim"), "--model", model,
                                "--http-port", "0", "--tftp-port", std::to_string(m_port), "--erase-seconds",
                                "0", "--reboot-seconds", "0.2", "--tftp-dally-ms", "100", "--once",
                                "--ready-file", tmp.File("ready"), "--report", tmp.File("report.json")},
                               tmp.File("out"));
        auto ep = devsim_test::WaitReadyFile(tmp.File("ready"), 20s);
        ASSERT_TRUE(ep);
        auto x = Exchange(*ep, Command());
        EXPECT_EQ(x.reply.rfind("HTTP/1.0 200 OK\r\n", 0), 0u);
        auto status = sim.Wait(60s);
        ASSERT_TRUE(status) << model;
        bool right = std::string(model) == "tolva22";
        EXPECT_EQ(*status, right ? 0 : 1) << model;
        std::string report = devsim_test::ReadText(tmp.File("report.json"));
        EXPECT_NE(report.find("\"sha256\": \"" + Sha256::HexOf(image) + "\""), std::string::npos);
        EXPECT_NE(report.find("\"final_version\": \"" + std::string(right ? "1.0.9" : "1.0.8") + "\""),
                  std::string::npos)
            << report;
        EXPECT_NE(report.find(std::string("\"succeeded\": ") + (right ? "true" : "false")),
                  std::string::npos);
        EXPECT_NE(report.find("\"credentials_accepted\": true"), std::string::npos);
        EXPECT_EQ(report.find("cm9vdDptYXJsaW4="), std::string::npos);
        EXPECT_NE(
            report.find("\"bytes\": \"GET /config?if=image&ih=127.0.0.1 HTTP/1.0\\r\\nAuthorization: Basic "
                        "[credentials]\\r\\n\\r\\n\""),
            std::string::npos)
            << report;
    }
}

TEST(DevsimProcess, CommandLine) {
    int status = -1;
    std::string help =
        devsim_test::Capture(skelvo::test::BinaryPath("devsim/skelvo-devsim") + " --help", &status);
    EXPECT_EQ(status, 0);
    for (const char* fault :
         {"refuse-login", "silent", "no-server-header", "lowercase-server-header", "split-server-header",
          "server-in-body", "reset-after-command", "slow", "drop-data", "drop-ack", "duplicate-ack",
          "wrong-ack", "error-mid-transfer", "no-second-request", "drop-final-ack", "request-once",
          "late-final-ack", "command-status"})
        EXPECT_NE(help.find(fault), std::string::npos) << fault;
    EXPECT_EQ(devsim_test::Capture(skelvo::test::BinaryPath("devsim/skelvo-devsim") + " --version", &status),
              "skelvo-devsim " SKELVO_VERSION "\n");
    EXPECT_EQ(status, 0);
    for (const char* bad :
         {"", "--model nokia", "--model tolva21 --fault explode", "--model tolva21 --login x",
          "--model tolva21 --http-port 70000", "--model tolva21 --erase-seconds soon",
          "--model tolva21 --fault command-status=99", "--model tolva21 --tftp-port 0",
          "--model tolva21 --tftp-timeout-ms 0x10", "--model tolva21 --reboot-seconds=-1",
          "--model tolva21 extra", "--model tolva21 --password y"}) {
        devsim_test::Capture(skelvo::test::BinaryPath("devsim/skelvo-devsim") + " " + bad + " 2>/dev/null",
                             &status);
        EXPECT_EQ(status, 2) << bad;
    }
}

} // namespace
