// Fleets of simulated devices: the fleet list, the members it makes, a fleet in process seen by the
// program's own probe, the executable with --fleet and a fleet file, and members upgraded one
// after another by skelvo-cli.
#include "devsim/fleet.h"
#include "engine/upgrade_record.h"
#include "http/device_http.h"
#include "tests/devsim/peers.h"
#include "tests/support/event_recorder.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <charconv>
#include <fstream>
#include <thread>

namespace {

using namespace std::chrono_literals;
using devsim::Model;
using Json = nlohmann::json;

net::Ipv4 Ip(const char* text) {
    return *net::ParseIpv4(text);
}

devsim::Options Quiet() {
    devsim::Options o;
    o.httpPort = 0;
    o.tftpPort = devsim_test::FreeUdpPort();
    o.eraseTime = 0ms;
    o.rebootTime = 0ms;
    o.tftp.timeout = 300ms;
    o.tftp.dally = 100ms;
    o.log = [](std::string_view) {};
    return o;
}

TEST(FleetList, ReadsEntriesAndTheirOverrides) {
    std::string why;
    auto entries = devsim::ParseFleetList(R"([
        {"count": 10, "model": "tolva22", "version": "1.0.7", "faults": "slow=5,drop-data=0.1@2"},
        {"model": "dravenholt", "faults": ["silent", "command-status=503"], "login": "admin", "password": "pw"},
        {"count": 2, "faults": ""}
    ])",
                                          Model::Vintrosphere, &why);
    ASSERT_TRUE(entries) << why;
    ASSERT_EQ(entries->size(), 3u);
    const auto& a = (*entries)[0];
    EXPECT_EQ(a.count, 10u);
    EXPECT_EQ(a.model, Model::Tolva22);
    EXPECT_EQ(a.firmware, "1.0.7");
    ASSERT_TRUE(a.faults);
    EXPECT_EQ(a.faults->slow, 5ms);
    EXPECT_DOUBLE_EQ(a.faults->dropData.fraction, 0.1);
    EXPECT_EQ(a.faults->dropData.passes, 2u);
    EXPECT_FALSE(a.login);
    const auto& b = (*entries)[1];
    EXPECT_EQ(b.count, 1u);
    EXPECT_FALSE(b.firmware);
    ASSERT_TRUE(b.faults);
    EXPECT_TRUE(b.faults->silent);
    EXPECT_EQ(b.faults->commandStatus, 503);
    EXPECT_EQ(b.login, "admin");
    EXPECT_EQ(b.password, "pw");
    // No model: the command line's. An empty fault list is a device without faults.
    EXPECT_EQ((*entries)[2].model, Model::Vintrosphere);
    ASSERT_TRUE((*entries)[2].faults);
    EXPECT_FALSE((*entries)[2].faults->silent);
}

TEST(FleetList, RefusesWhatItCannotRun) {
    const struct {
        const char* text;
        const char* reason;
    } cases[] = {
        {"[{\"model\": \"tolva21\"", "not JSON"},
        {"{\"model\": \"tolva21\"}", "array"},
        {"[]", "array"},
        {"[3]", "entry 1: needs an object"},
        {R"([{"model": "tolva21"}, {"model": "tolva99"}])", "entry 2: unknown model \"tolva99\""},
        {R"([{"model": "tolva21", "cuont": 3}])", "unknown key \"cuont\""},
        {R"([{"model": "tolva21", "count": 0}])", "\"count\""},
        {R"([{"model": "tolva21", "count": -2}])", "\"count\""},
        {R"([{"model": "tolva21", "count": 1.5}])", "\"count\""},
        {R"([{"model": "tolva21", "count": "4"}])", "\"count\""},
        {R"([{"model": "tolva21", "count": 1001}])", "\"count\""},
        {R"([{"model": "tolva21", "version": 108}])", "\"version\" needs a string"},
        {R"([{"model": "tolva21", "faults": "explode"}])", "explode"},
        {R"([{"model": "tolva21", "faults": ["silent", 3]}])", "\"faults\""},
        {R"([{"count": 2}])", "no \"model\""},
    };
    for (const auto& c : cases) {
        std::string why;
        EXPECT_FALSE(devsim::ParseFleetList(c.text, std::nullopt, &why)) << c.text;
        EXPECT_NE(why.find(c.reason), std::string::npos) << c.text << " -> " << why;
    }
}

TEST(FleetMembers, ConsecutiveAddressesSharedOptionsAndTheListCycled) {
    devsim::FleetOptions f;
    f.device = Quiet();
    f.device.tftpPort = 16969;
    f.device.firmware = "0.9";
    f.device.seed = 40;
    f.device.login = "admin";
    f.device.faults.slow = 7ms;
    f.device.reportFile = "shared.json";
    f.addressBase = Ip("127.0.1.254");
    f.entries.resize(2);
    f.entries[0].count = 2;
    f.entries[0].model = Model::Tolva22;
    f.entries[0].firmware = "1.0.7";
    f.entries[1].model = Model::Dravenholt;
    f.entries[1].faults = devsim::Faults{};
    f.entries[1].password = "other";
    f.size = 7;
    std::string why;
    auto members = devsim::FleetMemberOptions(f, &why);
    ASSERT_TRUE(members) << why;
    ASSERT_EQ(members->size(), 7u);
    const char* addresses[] = {"127.0.1.254", "127.0.1.255", "127.0.2.0", "127.0.2.1",
                               "127.0.2.2",   "127.0.2.3",   "127.0.2.4"};
    const Model models[] = {Model::Tolva22, Model::Tolva22,    Model::Dravenholt, Model::Tolva22,
                            Model::Tolva22, Model::Dravenholt, Model::Tolva22};
    for (std::size_t i = 0; i < 7; ++i) {
        const auto& o = (*members)[i];
        EXPECT_EQ(o.address, Ip(addresses[i])) << i;
        EXPECT_EQ(o.model, models[i]) << i;
        EXPECT_EQ(o.firmware, models[i] == Model::Tolva22 ? "1.0.7" : "0.9") << i;
        EXPECT_EQ(o.faults.slow, models[i] == Model::Tolva22 ? 7ms : 0ms) << i;
        EXPECT_EQ(o.password, models[i] == Model::Tolva22 ? "marlin" : "other") << i;
        EXPECT_EQ(o.login, "admin");
        EXPECT_EQ(o.tftpPort, 16969);
        EXPECT_EQ(o.seed, 40 + i);
        EXPECT_TRUE(o.reportFile.empty()) << "the fleet writes one report, not each member";
    }
    // Fewer members than the list gives: the first ones.
    f.size = 1;
    members = devsim::FleetMemberOptions(f, &why);
    ASSERT_TRUE(members);
    EXPECT_EQ(members->size(), 1u);
    // Without a size, the list's total; without a list, the default mix.
    f.size = 0;
    EXPECT_EQ(devsim::FleetMemberOptions(f, &why)->size(), 3u);
    f.entries.clear();
    f.size = 4;
    members = devsim::FleetMemberOptions(f, &why);
    ASSERT_TRUE(members);
    EXPECT_EQ((*members)[0].model, Model::Tolva21);
    EXPECT_EQ((*members)[1].model, Model::Tolva22);
    EXPECT_EQ((*members)[2].model, Model::Dravenholt);
    EXPECT_EQ((*members)[3].model, Model::Tolva21);

    f.size = devsim::kMaxFleet + 1;
    EXPECT_FALSE(devsim::FleetMemberOptions(f, &why));
    f.size = 2;
    f.addressBase = Ip("255.255.255.254");
    EXPECT_FALSE(devsim::FleetMemberOptions(f, &why)) << "255.255.255.255 is no device's address";
    EXPECT_NE(why.find("do not fit"), std::string::npos);
    f.size = 1;
    EXPECT_TRUE(devsim::FleetMemberOptions(f, &why));
}

// Thirty members on one port number, each on its own address, each classified and read by the
// program's own probe as its entry says.
TEST(FleetInProcess, EveryMemberAnswersItsOwnModelAndVersion) {
    devsim::FleetOptions f;
    f.device = Quiet();
    f.addressBase = Ip("127.0.41.1");
    f.size = 30;
    std::string why;
    f.entries = *devsim::ParseFleetList(R"([{"model": "tolva21", "version": "1.0.5"}, {"model": "tolva22"},
                                         {"model": "dravenholt", "version": "6.1.9"}, {"model": "tolva"},
                                         {"model": "vintrosphere", "version": "6.0.0"}])",
                                        std::nullopt, &why);
    devsim::Fleet fleet(f);
    ASSERT_TRUE(fleet.Start(&why)) << why;
    ASSERT_EQ(fleet.size(), 30u);
    const std::uint16_t port = fleet.HttpEndpoint(0).port;
    ASSERT_NE(port, 0);
    const struct {
        int type;
        const char* version;
        const char* model;
    } expected[] = {{SERVER_TOLVA_21XX, "1.0.5", "tolva21"},
                    {SERVER_TOLVA_22XX, "1.0.8", "tolva22"},
                    {SERVER_DRAVENHOLT, "6.1.9", "dravenholt"},
                    {SERVER_TOLVA, "1.0.8", "tolva"},
                    {SERVER_DRAVENHOLT, "6.0.0", "vintrosphere"}};
    for (std::size_t i = 0; i < fleet.size(); ++i) {
        const auto& e = expected[i % 5];
        const std::string host = "127.0.41." + std::to_string(i + 1);
        EXPECT_EQ(fleet.HttpEndpoint(i), (net::Endpoint{Ip(host.c_str()), port}));
        HttpCall call;
        call.host = host;
        call.port = port;
        const ServerDetection detection = DetectServer(call);
        EXPECT_EQ(detection.type, e.type) << host;
        EXPECT_EQ(detection.reached, Ip(host.c_str()));
        const VersionAnswer version = AskServerVersion(call);
        EXPECT_EQ(version.version, e.version) << host;
    }
    // Each member saw its own two requests and no other. The probe stops reading at the Server
    // line, so the member may record the request a moment after the probe has returned.
    for (std::size_t i = 0; i < fleet.size(); ++i) {
        const auto end = std::chrono::steady_clock::now() + 20s;
        while (fleet.Member(i).GetReport().requests.size() < 2 && std::chrono::steady_clock::now() < end)
            std::this_thread::sleep_for(10ms);
    }
    const Json report = Json::parse(fleet.ReportJson());
    EXPECT_EQ(report["fleet"], 30);
    ASSERT_EQ(report["devices"].size(), 30u);
    for (std::size_t i = 0; i < fleet.size(); ++i) {
        const std::string host = "127.0.41." + std::to_string(i + 1);
        const Json& d = report.at("devices").at(host);
        EXPECT_EQ(d["model"], expected[i % 5].model) << host;
        EXPECT_EQ(d["initial_version"], expected[i % 5].version) << host;
        EXPECT_EQ(d["http_endpoint"], host + ":" + std::to_string(port));
        EXPECT_EQ(d["requests"].size(), 2u) << host;
        EXPECT_EQ(d["device_state"], "running");
        EXPECT_TRUE(d["own_model_image"].is_null());
    }
    fleet.Stop();
}

TEST(FleetInProcess, AFixedPortTakenOnOneAddressFailsTheWholeStart) {
    devsim::Simulator squatter([] {
        devsim::Options o = Quiet();
        o.address = Ip("127.0.44.3");
        return o;
    }());
    ASSERT_TRUE(squatter.Start());
    devsim::FleetOptions f;
    f.device = Quiet();
    f.device.httpPort = squatter.HttpEndpoint().port;
    f.addressBase = Ip("127.0.44.1");
    f.size = 4;
    devsim::Fleet fleet(f);
    std::string why;
    EXPECT_FALSE(fleet.Start(&why));
    EXPECT_NE(why.find("127.0.44.3"), std::string::npos) << why;
    EXPECT_EQ(fleet.size(), 0u);
    // The members started before it are gone again.
    EXPECT_FALSE(
        devsim_test::Exchange({Ip("127.0.44.1"), f.device.httpPort}, "GET / HTTP/1.0\r\n\r\n").connected);
}

std::string WriteText(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
    return path;
}

// Waits for a fleet's ready file, which appears whole once every member listens: one line per
// member (PREFIX1:PORT, PREFIX2:PORT, ...), all with one port number. That port, or 0.
std::uint16_t WaitFleetReady(const std::string& path, const std::string& prefix, int members) {
    std::string ready;
    for (auto end = std::chrono::steady_clock::now() + 60s;
         ready.empty() && std::chrono::steady_clock::now() < end; std::this_thread::sleep_for(20ms))
        ready = devsim_test::ReadText(path);
    const std::size_t colon = ready.find(':');
    if (colon == std::string::npos)
        return 0;
    const std::string portText = ready.substr(colon + 1, ready.find('\n') - colon - 1);
    std::uint16_t port = 0;
    std::from_chars(portText.data(), portText.data() + portText.size(), port);
    std::string lines;
    for (int i = 1; i <= members; ++i)
        lines += prefix + std::to_string(i) + ":" + portText + "\n";
    EXPECT_EQ(ready, lines);
    return port;
}

TEST(FleetExecutable, RunsTheListAndReportsEveryMemberByAddress) {
    skelvo::test::TempDir tmp;
    const std::string listFile = WriteText(tmp.File("fleet.json"), R"([
        {"count": 2, "model": "tolva22", "version": "1.0.7"},
        {"model": "dravenholt", "login": "admin", "password": "s3cret"},
        {"count": 2, "faults": "refuse-login"}
    ])");
    const std::string cmd = "GET /config?if=image&ih=127.0.0.1 HTTP/1.0\r\nAuthorization: Basic ";
    devsim_test::Child sim({skelvo::test::BinaryPath("devsim/skelvo-devsim"),
                            "--fleet",
                            "6",
                            "--fleet-file",
                            listFile,
                            "--model",
                            "tolva21",
                            "--address-base",
                            "127.0.42.1",
                            "--http-port",
                            "0",
                            "--tftp-port",
                            std::to_string(devsim_test::FreeUdpPort()),
                            "--tftp-timeout-ms",
                            "100",
                            "--tftp-retries",
                            "0",
                            "--ready-file",
                            tmp.File("ready"),
                            "--report",
                            tmp.File("report.json")},
                           tmp.File("out"));
    const std::uint16_t port = WaitFleetReady(tmp.File("ready"), "127.0.42.", 6);
    ASSERT_NE(port, 0) << devsim_test::ReadText(tmp.File("out"));

    // The second Tolva 22xx, the Dravenholt with its own login, a Tolva 21xx that refuses any.
    auto probe = devsim_test::Exchange({Ip("127.0.42.2"), port}, "GET / HTTP/1.0\r\n\r\n");
    EXPECT_NE(probe.reply.find("Server: Tolva 2200/1.0.7\r\n"), std::string::npos) << probe.reply;
    auto root = devsim_test::Exchange({Ip("127.0.42.3"), port}, cmd + "cm9vdDptYXJsaW4=\r\n\r\n");
    EXPECT_EQ(root.reply.rfind("HTTP/1.0 401", 0), 0u) << root.reply;
    auto admin = devsim_test::Exchange({Ip("127.0.42.3"), port}, cmd + "YWRtaW46czNjcmV0\r\n\r\n");
    EXPECT_EQ(admin.reply.rfind("HTTP/1.0 200", 0), 0u) << admin.reply;
    auto refused = devsim_test::Exchange({Ip("127.0.42.5"), port}, cmd + "cm9vdDptYXJsaW4=\r\n\r\n");
    EXPECT_EQ(refused.reply.rfind("HTTP/1.0 401", 0), 0u) << refused.reply;
    EXPECT_NE(refused.reply.find("Server: Tolva 2100/1.0.8\r\n"), std::string::npos);
    EXPECT_EQ(sim.Terminate(), 0);

    const Json report = Json::parse(devsim_test::ReadText(tmp.File("report.json")));
    EXPECT_EQ(report["fleet"], 6);
    const Json& devices = report["devices"];
    ASSERT_EQ(devices.size(), 6u);
    const char* models[] = {"tolva22", "tolva22", "dravenholt", "tolva21", "tolva21", "tolva22"};
    const char* versions[] = {"1.0.7", "1.0.7", "6.2.0", "1.0.8", "1.0.8", "1.0.7"};
    for (int i = 0; i < 6; ++i) {
        const std::string host = "127.0.42." + std::to_string(i + 1);
        ASSERT_TRUE(devices.contains(host)) << host;
        EXPECT_EQ(devices[host]["model"], models[i]) << host;
        EXPECT_EQ(devices[host]["initial_version"], versions[i]) << host;
    }
    EXPECT_EQ(devices["127.0.42.2"]["requests"].size(), 1u);
    EXPECT_EQ(devices["127.0.42.1"]["requests"].size(), 0u);
    const Json& dravenholt = devices["127.0.42.3"];
    ASSERT_EQ(dravenholt["requests"].size(), 2u);
    EXPECT_EQ(dravenholt["requests"][0]["credentials_accepted"], false);
    EXPECT_EQ(dravenholt["requests"][1]["credentials_accepted"], true);
    // Nobody serves the image: the command led to a failed verify download, and nothing was lost.
    ASSERT_EQ(dravenholt["upgrades"].size(), 1u);
    EXPECT_EQ(dravenholt["upgrades"][0]["state"], "intact");
    EXPECT_EQ(devices["127.0.42.5"]["upgrades"].size(), 0u);
    EXPECT_EQ(devsim_test::ReadText(tmp.File("report.json")).find("s3cret"), std::string::npos);
}

TEST(FleetExecutable, UsageErrors) {
    skelvo::test::TempDir tmp;
    const std::string devsim = skelvo::test::BinaryPath("devsim/skelvo-devsim");
    const std::string bad = WriteText(tmp.File("bad.json"), R"([{"model": "tolva21", "colour": "red"}])");
    const struct {
        std::string args;
        const char* reason;
    } cases[] = {
        {"--fleet 0", "--fleet"},
        {"--fleet 1001", "--fleet"},
        {"--fleet 3 --address 127.0.0.5", "--address-base, not --address"},
        {"--model tolva21 --address-base 127.0.1.1", "--address-base needs --fleet"},
        {"--fleet-file " + bad, "unknown key \"colour\""},
        {"--fleet-file " + tmp.File("missing.json"), "cannot read"},
        {"--fleet 2 --address-base 255.255.255.254", "do not fit"},
        {"--http-port 0", "--model is required"},
    };
    for (const auto& c : cases) {
        int status = -1;
        std::string err = devsim_test::Capture(devsim + " " + c.args + " 2>&1 >/dev/null", &status);
        EXPECT_EQ(status, 2) << c.args << ": " << err;
        EXPECT_NE(err.find(c.reason), std::string::npos) << c.args << ": " << err;
    }
}

// `skelvo-cli upgrade HOST` without a terminal; its exit status, and its output in `out`.
int CliUpgrade(const std::string& host, std::uint16_t httpPort, std::uint16_t tftpPort, std::string* out) {
    int status = -1;
    *out = devsim_test::Capture(skelvo::test::BinaryPath("cli/skelvo-cli") + " upgrade " + host +
                                    " --http-port " + std::to_string(httpPort) + " --tftp-port " +
                                    std::to_string(tftpPort) + " --yes --json --journal " +
                                    testing::TempDir() + "/fleet-test-journal.jsonl </dev/null 2>&1",
                                &status);
    return status;
}

// skelvo-cli upgrades three members one after another; each takes its own model's built-in image,
// and the members not upgraded are untouched.
TEST(FleetUpgrade, MembersUpgradedOneAfterAnotherBySkelvoCli) {
    const std::uint16_t tftp = devsim_test::FreeUdpPort();
    devsim::FleetOptions f;
    f.device = Quiet();
    f.device.tftpPort = tftp;
    f.device.rebootTime = 200ms;
    f.addressBase = Ip("127.0.43.1");
    f.size = 5;
    devsim::Fleet fleet(f);
    std::string why;
    ASSERT_TRUE(fleet.Start(&why)) << why;
    const struct {
        const char* family;
        const char* version;
    } expected[] = {{"TOLVA-21XX", "1.0.9"}, {"TOLVA-22XX", "1.0.9"}, {"DRAVENHOLT-II", "6.2.1"}};
    for (std::size_t i = 0; i < 3; ++i) {
        const std::string host = "127.0.43." + std::to_string(i + 1);
        std::string out;
        EXPECT_EQ(CliUpgrade(host, fleet.HttpEndpoint(0).port, tftp, &out), 0) << host << "\n" << out;
        auto up = fleet.Member(i).WaitForUpgrade(60s);
        ASSERT_TRUE(up) << host;
        EXPECT_EQ(up->state, "programmed") << host;
        EXPECT_TRUE(up->succeeded()) << host;
        EXPECT_EQ(up->imageFamily, expected[i].family) << host;
        EXPECT_EQ(up->versionAfter, expected[i].version) << host;
        EXPECT_EQ(up->tftpServer, "127.0.0.1:" + std::to_string(tftp));
        EXPECT_TRUE(fleet.Member(i).WaitListening(60s));
    }
    const Json report = Json::parse(fleet.ReportJson());
    for (int i = 1; i <= 5; ++i) {
        const std::string host = "127.0.43." + std::to_string(i);
        const Json& d = report.at("devices").at(host);
        if (i <= 3) {
            EXPECT_EQ(d["own_model_image"], true) << host;
            EXPECT_EQ(d["image_family"], expected[i - 1].family) << host;
            EXPECT_EQ(d["final_version"], expected[i - 1].version) << host;
        } else {
            EXPECT_TRUE(d["upgrades"].empty()) << host;
            EXPECT_EQ(d["final_version"], "1.0.8") << host;
        }
    }
}

// With --once the executable ends only after every member's first upgrade; the report shows an
// upgrade as soon as its record changes, not only at the end.
TEST(FleetUpgrade, OnceEndsAfterEveryMembersUpgrade) {
    skelvo::test::TempDir tmp;
    const std::uint16_t tftp = devsim_test::FreeUdpPort();
    const std::string report = tmp.File("report.json");
    devsim_test::Child sim({skelvo::test::BinaryPath("devsim/skelvo-devsim"),
                            "--fleet",
                            "2",
                            "--address-base",
                            "127.0.45.1",
                            "--http-port",
                            "0",
                            "--tftp-port",
                            std::to_string(tftp),
                            "--erase-seconds",
                            "0",
                            "--reboot-seconds",
                            "0.2",
                            "--tftp-timeout-ms",
                            "300",
                            "--tftp-dally-ms",
                            "100",
                            "--once",
                            "--ready-file",
                            tmp.File("ready"),
                            "--report",
                            report},
                           tmp.File("out"));
    const std::uint16_t port = WaitFleetReady(tmp.File("ready"), "127.0.45.", 2);
    ASSERT_NE(port, 0) << devsim_test::ReadText(tmp.File("out"));
    std::string out;
    ASSERT_EQ(CliUpgrade("127.0.45.1", port, tftp, &out), 0) << out;
    auto firstState = [&] {
        const Json r = Json::parse(devsim_test::ReadText(report), nullptr, false);
        if (r.is_discarded() || !r.contains("devices"))
            return std::string();
        const Json& ups = r["devices"]["127.0.45.1"]["upgrades"];
        return ups.empty() ? std::string() : ups[0]["state"].get<std::string>();
    };
    for (auto end = std::chrono::steady_clock::now() + 60s;
         firstState() != "programmed" && std::chrono::steady_clock::now() < end;)
        std::this_thread::sleep_for(20ms);
    EXPECT_EQ(firstState(), "programmed");
    EXPECT_TRUE(sim.running()) << "one member has not been upgraded yet";

    ASSERT_EQ(CliUpgrade("127.0.45.2", port, tftp, &out), 0) << out;
    EXPECT_EQ(sim.Wait(60s), 0) << devsim_test::ReadText(tmp.File("out"));
    const Json r = Json::parse(devsim_test::ReadText(report));
    for (const char* host : {"127.0.45.1", "127.0.45.2"}) {
        const Json& d = r.at("devices").at(host);
        EXPECT_EQ(d["final_version"], "1.0.9") << host;
        EXPECT_EQ(d["own_model_image"], true) << host;
        EXPECT_EQ(d["upgrades"].at(0)["succeeded"], true) << host;
    }
    EXPECT_EQ(r.at("devices").at("127.0.45.2")["image_family"], "TOLVA-22XX");
}

} // namespace
