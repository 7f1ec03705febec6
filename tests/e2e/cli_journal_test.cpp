// A crash of the PC at any moment of an upgrade: skelvo-cli killed with SIGKILL after the command,
// in the verify download, in the erase and in the programming download, one device and a batch;
// then skelvo-cli recover, from the journal alone, brings every erased device back.
#include "tests/e2e/e2e_support.h"
#include "tests/support/event_recorder.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <csignal>
#include <fstream>
#include <map>
#include <set>
#include <thread>

using namespace skelvo::e2e;
using nlohmann::json;

namespace {

std::string Diagnose(const CliRun& run) {
    return "status " + std::to_string(run.status) + "\n--- stdout\n" + run.out.substr(0, 4000) +
           "\n--- stderr\n" + run.err.substr(0, 4000);
}

std::string JournalPath(const std::string& name) {
    const std::string path = testing::TempDir() + "/journal-" + name + ".jsonl";
    std::remove(path.c_str());
    return path;
}

// The journal's records, one JSON object a line.
std::vector<json> Records(const std::string& path) {
    std::vector<json> records;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line))
        if (json::accept(line))
            records.push_back(json::parse(line));
    return records;
}

// The last state of each attempt in the journal, by host.
std::map<std::string, std::string> LastStates(const std::string& path) {
    std::map<std::string, std::string> last;
    for (const json& r : Records(path))
        last[r.value("host", "")] = r.value("state", "");
    return last;
}

CliRun Recover(const std::string& journal, std::vector<std::string> more = {}) {
    std::vector<std::string> args{"recover", "--journal", journal, "--settle", "8", "--window", "150"};
    args.insert(args.end(), more.begin(), more.end());
    return RunCli(args, CliOptions{"", {}, std::chrono::seconds(240)});
}

struct KillPoint {
    const char* name;
    const char* waitFor; // on standard error, before the kill
};

void PrintTo(const KillPoint& point, std::ostream* out) {
    *out << point.name;
}

class KilledUpgrade : public testing::TestWithParam<KillPoint> {};

// The device is programmed in the end, or, when the kill cut its verify download, keeps its old
// firmware; never left without firmware, never commanded twice.
TEST_P(KilledUpgrade, RecoverSettlesTheDeviceFromTheJournal) {
    const KillPoint& point = GetParam();
    const std::uint16_t tftp = FreeUdpPort();
    const std::map<std::string, std::string> addresses{{"command", "127.0.29.1"},
                                                       {"verify", "127.0.29.2"},
                                                       {"erase", "127.0.29.3"},
                                                       {"program", "127.0.29.4"}};
    DevSim sim("tolva22", addresses.at(point.name), tftp,
               {"--erase-seconds", "3", "--fault", "ack-delay=2", "--bootloader-retry-seconds", "1"});
    const std::string journal = JournalPath(point.name);
    CliProcess cli({"upgrade", sim.address(), "--http-port", std::to_string(sim.httpPort()), "--tftp-port",
                    std::to_string(tftp), "--yes", "--journal", journal},
                   CliProcess::Terminal::None);
    ASSERT_TRUE(cli.WaitForErr(point.waitFor)) << cli.Err();
    cli.Signal(SIGKILL);
    cli.Wait();
    const std::string left = LastStates(journal)[sim.address()];
    EXPECT_NE(left, "end") << "a killed upgrade leaves its record open";

    // The host is not commanded again by accident.
    CliRun again = RunCli({"upgrade", sim.address(), "--http-port", std::to_string(sim.httpPort()),
                           "--tftp-port", std::to_string(tftp), "--yes", "--journal", journal, "--json"});
    EXPECT_EQ(again.status, 16) << Diagnose(again);
    EXPECT_NE(again.err.find("run skelvo-cli recover"), std::string::npos) << again.err;

    CliRun recovered = Recover(journal, {"--json"});
    EXPECT_EQ(recovered.status, 0) << Diagnose(recovered);
    const std::string report = sim.StopAndReport();
    const bool programmed = report.find("\"final_version\": \"1.0.9\"") != std::string::npos;
    const bool intact = report.find("\"final_version\": \"1.0.8\"") != std::string::npos;
    // Killed before the device had verified its image, it keeps its old firmware: its verify
    // download failed with the server.
    const bool mayBeIntact = std::string(point.name) == "command" || std::string(point.name) == "verify";
    EXPECT_TRUE(programmed || (intact && mayBeIntact)) << report.substr(0, 3000);
    EXPECT_NE(report.find("\"device_state\": \"running\""), std::string::npos)
        << "never left without firmware";
    EXPECT_EQ(Count(report, "\"target\": \"/config"), 1u) << "commanded once";
    const auto records = Records(journal);
    ASSERT_FALSE(records.empty());
    EXPECT_EQ(records.back().value("state", ""), "end");
    EXPECT_EQ(records.back().value("by", ""), "recover");
    EXPECT_EQ(records.back().value("result", ""), programmed ? "complete" : "not-upgraded");

    // Nothing is left to do.
    CliRun second = Recover(journal);
    EXPECT_EQ(second.status, 0) << Diagnose(second);
    EXPECT_NE(second.err.find("holds no device left half-way"), std::string::npos) << second.err;
    EXPECT_LT(second.elapsed, std::chrono::seconds(10));
}

INSTANTIATE_TEST_SUITE_P(
    States, KilledUpgrade,
    testing::Values(KillPoint{"command", "Step 2 of 5"}, KillPoint{"verify", "Step 3 of 5"},
                    KillPoint{"erase", "Step 4 of 5"}, KillPoint{"program", "Step 5 of 5"}),
    [](const testing::TestParamInfo<KillPoint>& param) { return std::string(param.param.name); });

// Ten devices, four at a time, killed once some of them are erasing: after recover, every device
// is programmed or untouched, none is without firmware, and none was commanded twice.
TEST(KilledBatch, AfterRecoverEveryDeviceIsProgrammedOrUntouched) {
    const std::uint16_t tftp = FreeUdpPort();
    auto fleet =
        DevSim::Fleet(10, "127.0.30.1", tftp, {"--erase-seconds", "3", "--bootloader-retry-seconds", "1"});
    const std::string journal = JournalPath("batch");
    std::vector<std::string> args{"upgrade"};
    for (int i = 1; i <= 10; ++i)
        args.push_back("127.0.30." + std::to_string(i));
    args.insert(args.end(), {"--http-port", std::to_string(fleet->httpPort()), "--tftp-port",
                             std::to_string(tftp), "--yes", "--parallel", "4", "--journal", journal});
    CliProcess cli(args, CliProcess::Terminal::None);
    ASSERT_TRUE(cli.WaitForErr("Step 4 of 5")) << cli.Err();
    cli.Signal(SIGKILL);
    cli.Wait();

    CliRun recovered = Recover(journal);
    EXPECT_EQ(recovered.status, 0) << Diagnose(recovered);
    const json report = json::parse(fleet->StopAndReport());
    ASSERT_TRUE(report.contains("devices")) << report.dump().substr(0, 500);
    int programmed = 0;
    for (const auto& [host, member] : report["devices"].items()) {
        const std::string dump = member.dump();
        EXPECT_EQ(member.value("device_state", ""), "running") << dump.substr(0, 800);
        const std::string version = member.value("final_version", "");
        const std::string newVersion = member.value("model", "") == "dravenholt" ? "6.2.1" : "1.0.9";
        EXPECT_TRUE(version == newVersion || version == member.value("initial_version", ""))
            << dump.substr(0, 800);
        programmed += version == newVersion ? 1 : 0;
        EXPECT_LE(Count(dump, "\"target\":\"/config"), 1u)
            << "commanded once at most: " << dump.substr(0, 800);
    }
    EXPECT_GT(programmed, 0);
    for (const auto& [host, state] : LastStates(journal))
        EXPECT_EQ(state, "end") << host;
}

// What the journal refuses: a file that cannot be written stops the run before any device is
// contacted; a torn last line is skipped with a warning; a changed image file is not served.
TEST(Journal, AnUnwritableJournalTouchesNoDeviceAndATornLineIsOnlyAWarning) {
    const std::uint16_t tftp = FreeUdpPort();
    DevSim sim("tolva21", "127.0.31.1", tftp);
    const std::vector<std::string> upgrade{
        "upgrade",     sim.address(),        "--http-port", std::to_string(sim.httpPort()),
        "--tftp-port", std::to_string(tftp), "--yes"};
    std::vector<std::string> args = upgrade;
    args.insert(args.end(), {"--journal", "/proc/skelvo-journal/j.jsonl"});
    CliRun run = RunCli(args);
    EXPECT_EQ(run.status, 2) << Diagnose(run);
    EXPECT_NE(run.err.find("cannot open the journal \"/proc/skelvo-journal/j.jsonl\""), std::string::npos)
        << run.err;
    EXPECT_TRUE(sim.Report().find("\"method\"") == std::string::npos) << "no device was contacted";

    const std::string journal = JournalPath("torn");
    std::ofstream(journal)
        << "{\"time\":\"2026-12-09T01:00:00.000Z\",\"id\":\"x\",\"host\":\"127.0.31.9\",\"sta";
    args = upgrade;
    args.insert(args.end(), {"--journal", journal});
    run = RunCli(args);
    EXPECT_EQ(run.status, 0) << Diagnose(run);
    EXPECT_NE(run.err.find("warning: line 1 of the journal"), std::string::npos) << run.err;
    EXPECT_EQ(LastStates(journal)[sim.address()], "end");
}

TEST(Journal, AChangedImageFileIsRefusedWithItsPath) {
    skelvo::test::TempDir dir;
    const std::string file = dir.Write("fw.bin", skelvo::test::PatternBytes(60000, 5));
    const std::uint16_t tftp = FreeUdpPort();
    DevSim sim("dravenholt", "127.0.31.2", tftp,
               {"--accept-any-image", "--erase-seconds", "3", "--bootloader-retry-seconds", "1"});
    const std::string journal = JournalPath("changed");
    CliProcess cli({"upgrade", sim.address(), "--http-port", std::to_string(sim.httpPort()), "--tftp-port",
                    std::to_string(tftp), "--yes", "--image", file, "--journal", journal},
                   CliProcess::Terminal::None);
    ASSERT_TRUE(cli.WaitForErr("Step 4 of 5")) << cli.Err();
    // The step is shown as its record is handed to the journal's writer; the kill waits for the
    // record itself, so that recover knows the device erases.
    const auto bound = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (LastStates(journal)[sim.address()] != "erasing" && std::chrono::steady_clock::now() < bound)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ASSERT_EQ(LastStates(journal)[sim.address()], "erasing");
    cli.Signal(SIGKILL);
    cli.Wait();
    dir.Write("fw.bin", skelvo::test::PatternBytes(60000, 6));
    CliRun refused = Recover(journal);
    EXPECT_EQ(refused.status, 9) << Diagnose(refused);
    EXPECT_NE(refused.err.find("the recorded image file \"" + file + "\" has changed since the upgrade"),
              std::string::npos)
        << refused.err;
    // The file as it was brings the device back.
    dir.Write("fw.bin", skelvo::test::PatternBytes(60000, 5));
    CliRun recovered = Recover(journal);
    EXPECT_EQ(recovered.status, 0) << Diagnose(recovered);
    const std::string report = sim.StopAndReport();
    EXPECT_NE(report.find("\"device_state\": \"running\""), std::string::npos)
        << Diagnose(recovered) << report.substr(0, 3000);
}

} // namespace
