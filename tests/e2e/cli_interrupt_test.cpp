// Signals during an upgrade, typed as Ctrl-C on a pseudo-terminal or sent with kill, against
// skelvo-devsim; and the rescue of a device that an abandoned upgrade left without firmware.
#include "tests/e2e/e2e_support.h"
#include "tests/support/event_recorder.h"

#include <gtest/gtest.h>

#include <csignal>
#include <sstream>

using namespace skelvo::e2e;

namespace {

constexpr char kCtrlC[] = "\x03";

std::vector<std::string> UpgradeArgs(const DevSim& sim, std::uint16_t tftpPort,
                                     std::vector<std::string> more) {
    std::vector<std::string> args{"upgrade",     sim.address(),
                                  "--http-port", std::to_string(sim.httpPort()),
                                  "--tftp-port", std::to_string(tftpPort)};
    args.insert(args.end(), more.begin(), more.end());
    return args;
}

std::string AuditPath(const std::string& name) {
    const std::string path = testing::TempDir() + "/" + name + ".jsonl";
    std::remove(path.c_str());
    return path;
}

std::string Diagnose(const CliRun& run) {
    return "status " + std::to_string(run.status) + "\n--- stdout\n" + run.out.substr(0, 4000) +
           "\n--- terminal or stderr\n" + run.err.substr(0, 6000);
}

// The line of `text` that starts with `prefix`, without its line end.
std::string LineStartingWith(const std::string& text, const std::string& prefix) {
    const std::size_t at = text.find(prefix);
    if (at == std::string::npos)
        return {};
    return text.substr(at, text.find_first_of("\r\n", at) - at);
}

std::vector<std::string> Words(const std::string& line) {
    std::istringstream in(line);
    std::vector<std::string> words;
    for (std::string w; in >> w;)
        words.push_back(w);
    return words;
}

} // namespace

// Ctrl-C at the question is an answer of its own: nothing is sent, and the run says it was
// interrupted, not declined.
TEST(Signals, CtrlCAtTheQuestionSendsNothing) {
    const std::uint16_t tftp = FreeUdpPort();
    DevSim sim("tolva21", "127.0.7.1", tftp);
    const std::string audit = AuditPath("interrupted-question");
    CliProcess cli(UpgradeArgs(sim, tftp, {"--audit-log", audit, "--json"}), CliProcess::Terminal::Pseudo);
    ASSERT_TRUE(cli.WaitForErr("[y]es / [n]o / [C]ancel: ")) << cli.Err();
    cli.Type(kCtrlC);
    CliRun run = cli.Wait();
    EXPECT_EQ(run.status, 130) << Diagnose(run);
    EXPECT_NE(run.err.find("interrupted (SIGINT) at the confirmation step; no upgrade command was sent"),
              std::string::npos)
        << run.err;
    EXPECT_NE(run.out.find("\"result\":\"interrupted\",\"exit_code\":130,\"phase\":\"confirmation\"}"),
              std::string::npos)
        << run.out;
    const std::string auditText = ReadText(audit);
    EXPECT_NE(auditText.find("\"model\":\"Tolva 21xx\""), std::string::npos) << auditText;
    EXPECT_NE(auditText.find("\"result\":\"interrupted\",\"exit_code\":130,\"phase\":\"confirmation\""),
              std::string::npos)
        << auditText;
    EXPECT_EQ(Count(sim.StopAndReport(), "/config"), 0u);
}

// A signal before the command ends the exchange under way at once: a slow device's version is
// never asked, and the next host is not begun.
TEST(Signals, HangUpDuringTheProbeStopsBeforeTheNextRequest) {
    const std::uint16_t tftp = FreeUdpPort();
    DevSim sim("tolva22", "127.0.7.2", tftp, {"--fault", "slow=1500"});
    const std::string audit = AuditPath("interrupted-probe");
    // One probe at a time, so that the second host is still waiting when the signal comes.
    CliProcess cli(UpgradeArgs(sim, tftp, {"127.0.7.5", "--parallel", "1", "--yes", "--audit-log", audit}),
                   CliProcess::Terminal::None);
    ASSERT_TRUE(cli.WaitForErr("Step 1 of 5")) << cli.Err();
    cli.Signal(SIGHUP);
    CliRun run = cli.Wait();
    EXPECT_EQ(run.status, 129) << Diagnose(run);
    const std::string auditText = ReadText(audit);
    EXPECT_NE(auditText.find("\"result\":\"interrupted\",\"exit_code\":129,\"phase\":\"probe\""),
              std::string::npos)
        << auditText;
    EXPECT_NE(auditText.find("\"host\":\"127.0.7.5\""), std::string::npos) << auditText;
    EXPECT_NE(auditText.find("\"result\":\"interrupted\",\"exit_code\":129,\"phase\":\"not-started\""),
              std::string::npos)
        << auditText;
    EXPECT_NE(run.out.find("127.0.7.5"), std::string::npos) << "the summary lists it: " << run.out;
    const std::string report = sim.StopAndReport();
    EXPECT_LE(Count(report, "\"method\""), 1u) << "at most the probe that was under way";
    EXPECT_EQ(Count(report, "/config"), 0u);
}

// Once the command has gone, Ctrl-C does not stop the upgrade: the device may be erasing.
TEST(Signals, CtrlCDuringTheEraseLetsTheUpgradeFinish) {
    const std::uint16_t tftp = FreeUdpPort();
    DevSim sim("tolva22", "127.0.7.3", tftp, {"--erase-seconds", "3"});
    const std::string audit = AuditPath("interrupted-erase");
    CliProcess cli(UpgradeArgs(sim, tftp, {"--yes", "--audit-log", audit}), CliProcess::Terminal::Pseudo);
    ASSERT_TRUE(cli.WaitForErr("Step 4 of 5")) << cli.Err();
    cli.Type(kCtrlC);
    EXPECT_TRUE(cli.WaitForErr("the device may be erasing its flash. Skelvo will finish serving it"))
        << cli.Err();
    CliRun run = cli.Wait();
    EXPECT_EQ(run.status, 0) << Diagnose(run) << sim.Log();
    EXPECT_NE(run.err.find("successfully upgraded"), std::string::npos) << run.err;
    EXPECT_NE(ReadText(audit).find("\"result\":\"complete\",\"exit_code\":0}"), std::string::npos)
        << ReadText(audit);
    EXPECT_NE(sim.StopAndReport().find("\"final_version\": \"1.0.9\""), std::string::npos);
}

// A second Ctrl-C abandons the device in the middle of its erase. It is left without firmware and
// its boot loader asks for the image; the command printed for it brings it back.
TEST(Signals, TwoCtrlCAbandonTheDeviceAndThePrintedRescueCommandRecoversIt) {
    const std::uint16_t tftp = FreeUdpPort();
    DevSim sim("tolva22", "127.0.7.4", tftp,
               {"--erase-seconds", "5", "--tftp-retries", "2", "--bootloader-retry-seconds", "1"});
    const std::string audit = AuditPath("abandoned");
    CliProcess cli(UpgradeArgs(sim, tftp, {"--yes", "--audit-log", audit}), CliProcess::Terminal::Pseudo);
    ASSERT_TRUE(cli.WaitForErr("Step 4 of 5")) << cli.Err();
    cli.Type(kCtrlC);
    ASSERT_TRUE(cli.WaitForErr("A second Ctrl-C (or signal) abandons it.")) << cli.Err();
    cli.Type(kCtrlC);
    CliRun run = cli.Wait();
    EXPECT_EQ(run.status, 130) << Diagnose(run);

    const std::string expected =
        "skelvo-cli rescue 127.0.7.4 --builtin tolva22 --tftp-port " + std::to_string(tftp);
    const std::string printed = LineStartingWith(run.err, "skelvo-cli rescue ");
    EXPECT_EQ(printed, expected) << run.err;
    EXPECT_NE(run.err.find("abandoned (SIGINT)"), std::string::npos) << run.err;
    const std::string auditText = ReadText(audit);
    EXPECT_NE(auditText.find(
                  "\"result\":\"abandoned\",\"exit_code\":130,\"phase\":\"erase\",\"rescue_command\":\"" +
                  expected + "\"}"),
              std::string::npos)
        << auditText;

    ASSERT_TRUE(sim.WaitForReport("\"state\": \"bricked\"", std::chrono::seconds(120))) << sim.Log();
    std::vector<std::string> words = Words(printed);
    ASSERT_GE(words.size(), 3u);
    words.erase(words.begin()); // the program, which the test runs from the build
    words.insert(words.end(), {"--quiet-end", "2"});
    CliRun rescue = RunCli(words);
    EXPECT_EQ(rescue.status, 0) << Diagnose(rescue) << sim.Log();
    EXPECT_NE(rescue.err.find("served 1 complete download"), std::string::npos) << rescue.err;

    ASSERT_TRUE(sim.WaitForReport("\"state\": \"rescued\"", std::chrono::seconds(120))) << sim.Log();
    const std::string report = sim.StopAndReport();
    const std::size_t bricked = report.find("\"event\": \"bricked\"");
    EXPECT_NE(bricked, std::string::npos) << report;
    EXPECT_NE(report.find("\"event\": \"rescued\"", bricked), std::string::npos) << report;
    EXPECT_NE(report.find("\"final_version\": \"1.0.9\""), std::string::npos) << report;
}
