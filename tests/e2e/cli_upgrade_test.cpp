// skelvo-cli against skelvo-devsim, each device on its own loopback address.
#include "tests/e2e/e2e_support.h"
#include "tests/support/event_recorder.h"

#include "net/net.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <future>

using namespace skelvo::e2e;
using Names = std::vector<std::string>;

namespace {

const Names kWholeUpgrade{"STATUS_COMMAND_ACCEPTED", "STATUS_VERIFYING", "STATUS_ERASING",
                          "STATUS_PROGRAMMING", "STATUS_COMPLETE"};

std::vector<std::string> UpgradeArgs(const DevSim& sim, std::uint16_t tftpPort,
                                     std::vector<std::string> more = {}) {
    std::vector<std::string> args{"upgrade",     sim.address(),
                                  "--http-port", std::to_string(sim.httpPort()),
                                  "--tftp-port", std::to_string(tftpPort)};
    args.insert(args.end(), more.begin(), more.end());
    return args;
}

std::string Tail(const std::string& text) {
    return text.substr(text.size() - std::min<std::size_t>(text.size(), 1500));
}

std::string Diagnose(const CliRun& run) {
    return "status " + std::to_string(run.status) + "\n--- stdout\n" + run.out.substr(0, 6000) +
           "\n--- stderr\n" + run.err.substr(0, 6000);
}

} // namespace

TEST(CliProbe, ClassifiesEveryServerPattern) {
    struct Case {
        const char* model;
        const char* expected;
    };
    const Case cases[] = {
        {"tolva21", "Tolva 21xx, firmware 1.0.8"},         {"tolva22", "Tolva 22xx, firmware 1.0.8"},
        {"tolva", "Tolva (other model), firmware 1.0.8"},  {"dravenholt", "Dravenholt II, firmware 6.2.0"},
        {"vintrosphere", "Dravenholt II, firmware 6.2.0"},
    };
    int n = 10;
    for (const auto& c : cases) {
        const std::string address = "127.0.3." + std::to_string(n++);
        DevSim sim(c.model, address, FreeUdpPort());
        CliRun run = RunCli({"probe", address, "--http-port", std::to_string(sim.httpPort())});
        EXPECT_EQ(run.status, 0) << c.model << Diagnose(run);
        EXPECT_EQ(run.out, address + ": " + c.expected + "\n") << c.model;
        // A probe sends no command.
        EXPECT_EQ(Count(sim.StopAndReport(), "/config"), 0u) << c.model;
    }
}

TEST(CliProbe, LowerCaseServerHeaderMatchesNothing) {
    DevSim sim("tolva21", "127.0.3.20", FreeUdpPort(), {"--fault", "lowercase-server-header"});
    CliRun run = RunCli({"probe", sim.address(), "--http-port", std::to_string(sim.httpPort()), "--json"});
    EXPECT_EQ(run.status, 5) << Diagnose(run);
    EXPECT_NE(run.out.find("\"type\":0"), std::string::npos) << run.out;
    EXPECT_TRUE(run.EventNames().empty()) << run.out;
}

TEST(CliUpgrade, CompletesAndAuditsWithoutThePassword) {
    const std::string password = "Tr0ub4dor-secret";
    const std::uint16_t tftp = FreeUdpPort();
    DevSim sim("tolva22", "127.0.3.30", tftp, {"--login", "root", "--password", password});
    const std::string audit = testing::TempDir() + "/audit-complete.jsonl";
    std::remove(audit.c_str());
    CliRun run = RunCli(UpgradeArgs(sim, tftp,
                                    {"--yes", "--json", "--trace", "--password-stdin", "--audit-log", audit,
                                     "--verify-reboot=60"}),
                        CliOptions{password + "\n", {}, std::chrono::seconds(180)});
    ASSERT_EQ(run.status, 0) << Diagnose(run) << sim.Log();
    EXPECT_EQ(run.EventNames(), kWholeUpgrade);
    EXPECT_NE(run.out.find("\"final_ack\":true"), std::string::npos) << Tail(run.out);
    const std::string report = sim.StopAndReport();
    const std::string imageSha =
        Sha256Hex(skelvo::test::ReadFileBytes(skelvo::test::ImagePath("tolva22.bin")));
    EXPECT_EQ(Count(report, imageSha), 2u) << "both downloads are the built-in image";
    EXPECT_NE(report.find("\"final_version\": \"1.0.9\""), std::string::npos) << report.substr(0, 400);

    const std::string auditText = ReadText(audit);
    EXPECT_EQ(Count(auditText, "\n"), 1u);
    EXPECT_NE(auditText.find("\"host\":\"127.0.3.30\""), std::string::npos) << auditText;
    EXPECT_NE(auditText.find("\"old_version\":\"1.0.8\""), std::string::npos) << auditText;
    EXPECT_NE(auditText.find("\"new_version\":\"1.0.9\""), std::string::npos) << auditText;
    EXPECT_NE(auditText.find("\"image_sha256\":\"" + imageSha + "\""), std::string::npos) << auditText;
    EXPECT_NE(auditText.find("\"version_after_reboot\":\"1.0.9\""), std::string::npos) << auditText;
    EXPECT_NE(auditText.find("\"result\":\"complete\""), std::string::npos) << auditText;

    // The trace masks the password whatever its length; it reaches no output in any form.
    EXPECT_NE(run.out.find("127.0.3.30:root:********\\n"), std::string::npos);
    for (const std::string& text : std::vector<std::string>{run.out, run.err, auditText, report}) {
        EXPECT_EQ(text.find(password), std::string::npos);
        EXPECT_EQ(text.find("cm9vdDpUcjB1YjRkb3Itc2VjcmV0"), std::string::npos) << "its Base64 form either";
    }
}

TEST(CliUpgrade, RejectedLoginIsToldAndEndsWithItsCode) {
    const std::uint16_t tftp = FreeUdpPort();
    DevSim sim("tolva21", "127.0.3.31", tftp, {"--fault", "refuse-login"});
    CliRun run = RunCli(UpgradeArgs(sim, tftp, {"--yes", "--json", "--trace"}),
                        {"", {{"SKELVO_PASSWORD", "wrong"}}, std::chrono::seconds(180)});
    EXPECT_EQ(run.status, 6) << Diagnose(run);
    EXPECT_EQ(run.EventNames(), Names{"ERR_LOGIN"});
    EXPECT_NE(run.out.find("ERROR: Invalid Username ( root ) or Password Entered"), std::string::npos);
    EXPECT_NE(run.out.find("tftp server started"), std::string::npos) << "it listened before the command";
    EXPECT_LT(run.elapsed, std::chrono::seconds(30)) << "the device is no longer served once it refused";
}

TEST(CliUpgrade, SilentDeviceFailsAfterTheFiveSecondProbe) {
    const std::uint16_t tftp = FreeUdpPort();
    DevSim sim("tolva21", "127.0.3.32", tftp, {"--fault", "silent"});
    CliRun run = RunCli(UpgradeArgs(sim, tftp, {"--yes", "--json"}));
    EXPECT_EQ(run.status, 4) << Diagnose(run);
    EXPECT_EQ(run.EventNames(), Names{"ERR_RECEIVE"});
    EXPECT_GE(run.elapsed, std::chrono::milliseconds(4900));
    EXPECT_EQ(Count(sim.StopAndReport(), "/config"), 0u);
}

TEST(CliUpgrade, RefusedConnectionAndUnresolvableName) {
    const std::uint16_t tftp = FreeUdpPort();
    CliRun refused = RunCli({"upgrade", "127.0.3.33", "--http-port", "9", "--tftp-port", std::to_string(tftp),
                             "--yes", "--json"});
    EXPECT_EQ(refused.status, 4) << Diagnose(refused);
    EXPECT_EQ(refused.EventNames(), Names{"ERR_CONNECT"});

    CliRun unresolved =
        RunCli({"upgrade", "no-such-device.invalid", "--tftp-port", std::to_string(tftp), "--yes", "--json"});
    EXPECT_EQ(unresolved.status, 4) << Diagnose(unresolved);
    EXPECT_EQ(unresolved.EventNames(), Names{"ERR_RESOLVE"});
    EXPECT_LT(unresolved.elapsed, std::chrono::seconds(5)) << "a name under .invalid fails at once";
}

TEST(CliUpgrade, ServesAUserFileUnchanged) {
    skelvo::test::TempDir dir;
    const auto bytes = skelvo::test::PatternBytes(70000, 7);
    const std::string file = dir.Write("custom.bin", bytes);
    const std::uint16_t tftp = FreeUdpPort();
    DevSim sim("dravenholt", "127.0.3.34", tftp, {"--accept-any-image"});
    CliRun run = RunCli(UpgradeArgs(sim, tftp, {"--yes", "--json", "--trace", "--image", file}));
    ASSERT_EQ(run.status, 0) << Diagnose(run);
    EXPECT_EQ(run.EventNames(), kWholeUpgrade);
    EXPECT_NE(run.out.find("Using a file....\\n"), std::string::npos);
    EXPECT_NE(run.out.find("\"new_version\":\"(Using-File...No Version Info)\""), std::string::npos);
    EXPECT_NE(run.out.find("upgrade to version  ----\""), std::string::npos);
    const std::string report = sim.StopAndReport();
    EXPECT_EQ(Count(report, Sha256Hex(bytes)), 2u);
    // Only the version query: a user file needs no classification.
    EXPECT_EQ(Count(report, "\"target\": \"/\""), 1u) << report.substr(0, 800);
}

TEST(CliUpgrade, DownloadTraceAddsIdToTheCommand) {
    const std::uint16_t tftp = FreeUdpPort();
    DevSim sim("tolva21", "127.0.3.35", tftp);
    CliRun run = RunCli(UpgradeArgs(sim, tftp, {"--yes", "--download-trace"}));
    ASSERT_EQ(run.status, 0) << Diagnose(run);
    const std::string report = sim.StopAndReport();
    EXPECT_NE(report.find("&id=1 HTTP/1.0\\r\\nAuthorization: Basic [credentials]"), std::string::npos)
        << report.substr(0, 1500);
    EXPECT_NE(report.find("\"download_trace\": true"), std::string::npos);
}

// A reset instead of the reply may hide a command the device took: the image is served all the
// same, and the failed reply is a warning, not the outcome. The reset may also reach the PC only
// after the device has begun its download.
TEST(CliUpgrade, ResetAfterTheCommandStillServesTheDevice) {
    const std::pair<const char*, const char*> cases[] = {{"127.0.3.36", "reset-after-command"},
                                                         {"127.0.3.52", "reset-after-command=1000"}};
    for (const auto& [address, fault] : cases) {
        SCOPED_TRACE(fault);
        const std::uint16_t tftp = FreeUdpPort();
        DevSim sim("tolva21", address, tftp, {"--fault", fault});
        CliRun run = RunCli(UpgradeArgs(sim, tftp, {"--yes", "--json"}));
        EXPECT_EQ(run.status, 0) << Diagnose(run) << sim.Log();
        Names expected{"ERR_RECEIVE"};
        expected.insert(expected.end(), kWholeUpgrade.begin(), kWholeUpgrade.end());
        EXPECT_EQ(run.EventNames(), expected);
        EXPECT_NE(run.out.find("\"name\":\"ERR_RECEIVE\",\"text\":\"ERROR: An Error has occured"),
                  std::string::npos);
        EXPECT_NE(run.out.find("\"warning\":true}"), std::string::npos) << run.out.substr(0, 3000);
        EXPECT_NE(run.err.find("warning: receiving the reply to the upgrade command failed"),
                  std::string::npos)
            << run.err;
        EXPECT_EQ(run.err.find("Server Type info"), std::string::npos) << "not the classification's text";
        EXPECT_NE(sim.StopAndReport().find("\"final_version\": \"1.0.9\""), std::string::npos);
    }
}

TEST(CliUpgrade, ARefusedCommandFailsAtOnceNamingTheStatus) {
    const std::uint16_t tftp = FreeUdpPort();
    DevSim sim("tolva22", "127.0.3.46", tftp, {"--fault", "command-status=503"});
    CliRun run = RunCli(UpgradeArgs(sim, tftp, {"--yes", "--json"}));
    EXPECT_EQ(run.status, 13) << Diagnose(run);
    EXPECT_EQ(run.EventNames(), Names{"STATUS_COMMAND_ACCEPTED"});
    EXPECT_NE(run.out.find("\"result\":\"command-refused\",\"exit_code\":13,"
                           "\"command_status\":\"503 Service Unavailable\""),
              std::string::npos)
        << run.out;
    EXPECT_NE(run.err.find("refused the upgrade command: 503 Service Unavailable"), std::string::npos)
        << run.err;
    // The worker was stopped at once: the port is free for the next host.
    net::Socket port = net::Socket::Udp();
    EXPECT_TRUE(port.Bind(net::Endpoint{net::kAnyAddress, tftp}));
    EXPECT_EQ(Count(sim.StopAndReport(), "\"sha256\""), 0u) << "nothing was fetched";
}

// Neither device asks for the image again after verifying it. One rejected the image and still
// answers with its old version; the other stopped answering while it erased and may be left
// without firmware: only that one is given the rescue command.
TEST(CliUpgrade, ARejectedImageIsToldApartFromADeviceThatWentAwayWhileErasing) {
    const std::uint16_t tftpRejected = FreeUdpPort();
    const std::uint16_t tftpGone = FreeUdpPort();
    // A Dravenholt image for a Tolva: the device turns it down after the verify download.
    const std::string otherFamily = skelvo::test::ImagePath("dravenholt.bin");
    DevSim rejecting("tolva21", "127.0.3.43", tftpRejected);
    DevSim gone("tolva22", "127.0.3.47", tftpGone, {"--erase-seconds", "60"});
    CliProcess goneRun(UpgradeArgs(gone, tftpGone, {"--yes", "--json", "--programming-wait", "15"}),
                       CliProcess::Terminal::None);
    ASSERT_TRUE(goneRun.WaitForErr("Step 4 of 5")) << goneRun.Err();
    gone.StopAndReport();

    // The erase wait outlasts the idle time: only the programming wait may end it.
    CliRun run = RunCli(UpgradeArgs(
        rejecting, tftpRejected,
        {"--yes", "--json", "--image", otherFamily, "--idle-timeout", "3", "--programming-wait", "5"}));
    EXPECT_EQ(run.status, 12) << Diagnose(run) << rejecting.Log();
    EXPECT_EQ(run.EventNames(), (Names{"STATUS_COMMAND_ACCEPTED", "STATUS_VERIFYING", "STATUS_ERASING",
                                       "ERR_NO_PROGRAMMING_REQUEST"}));
    EXPECT_NE(run.out.find("\"result\":\"image-rejected\",\"exit_code\":12}"), std::string::npos) << run.out;
    EXPECT_NE(run.err.find("--idle-timeout 3 s is shorter than the 47 s"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("still answers with its old version 1.0.8: it rejected the image"),
              std::string::npos)
        << run.err;
    EXPECT_EQ(run.err.find("skelvo-cli rescue"), std::string::npos);
    EXPECT_NE(rejecting.StopAndReport().find("\"state\": \"intact\""), std::string::npos);

    CliRun gave = goneRun.Wait();
    EXPECT_EQ(gave.status, 11) << Diagnose(gave);
    EXPECT_NE(gave.out.find("\"result\":\"no-programming-request\",\"exit_code\":11,\"rescue_command\":"
                            "\"skelvo-cli rescue 127.0.3.47 --builtin tolva22 --tftp-port " +
                            std::to_string(tftpGone) + "\"}"),
              std::string::npos)
        << gave.out;
    EXPECT_NE(gave.err.find("may have failed while erasing its flash and be left without firmware"),
              std::string::npos)
        << gave.err;
}

// The device stops acknowledging the programming download; the server resends for its whole
// give-up time. The command line says what happened in its own words, not with the text of the
// HTTP error that shares the code, and gives the command that serves the erased device again.
TEST(CliUpgrade, ADeviceThatStopsAcknowledgingWhileProgrammingIsGivenItsRescueCommand) {
    const std::uint16_t tftp = FreeUdpPort();
    // Its boot loader asks again at once and then not for a long time, so that the server's
    // resends of the restarted download run out.
    DevSim sim("tolva21", "127.0.3.48", tftp,
               {"--fault", "drop-ack=1.0@2", "--bootloader-retry-seconds", "600"});
    CliRun run = RunCli(UpgradeArgs(sim, tftp, {"--yes", "--json"}));
    EXPECT_EQ(run.status, 8) << Diagnose(run);
    EXPECT_EQ(run.EventNames(), (Names{"STATUS_COMMAND_ACCEPTED", "STATUS_VERIFYING", "STATUS_ERASING",
                                       "STATUS_PROGRAMMING", "ERR_RECEIVE", "ERR_READ_REQUEST"}));
    EXPECT_NE(
        run.out.find("\"detail\":\"the device stopped acknowledging blocks of the programming download"),
        std::string::npos)
        << Tail(run.out);
    EXPECT_NE(
        run.err.find("the device stopped acknowledging blocks of the programming download: nothing came "
                     "back for 47 s"),
        std::string::npos)
        << run.err;
    EXPECT_EQ(run.err.find("Server Type info"), std::string::npos) << run.err;
    EXPECT_EQ(run.err.find("The TFTP Read Request has failed"), std::string::npos)
        << "told once: " << run.err;
    EXPECT_NE(run.out.find("\"result\":\"transfer-failed\",\"exit_code\":8,\"rescue_command\":"
                           "\"skelvo-cli rescue 127.0.3.48 --builtin tolva21 --tftp-port " +
                           std::to_string(tftp) + "\"}"),
              std::string::npos)
        << Tail(run.out);
    EXPECT_NE(sim.StopAndReport().find("\"state\": \"bricked\""), std::string::npos);
}

// The device takes the last block of the programming download but its ACK never arrives. Whether
// that ends in success depends only on the device coming back with the new version, which the
// command checks without being asked to.
TEST(CliUpgrade, AnUnacknowledgedLastBlockIsDecidedByTheRestart) {
    const std::uint16_t tftpBack = FreeUdpPort();
    const std::uint16_t tftpGone = FreeUdpPort();
    DevSim back("tolva21", "127.0.3.44", tftpBack, {"--fault", "drop-final-ack@2"});
    DevSim gone("tolva21", "127.0.3.45", tftpGone,
                {"--fault", "drop-final-ack@2", "--reboot-seconds", "600"});
    // The server resends the last block for its whole give-up time first, so both run at once.
    auto goneRun = std::async(std::launch::async, [&] {
        return RunCli(UpgradeArgs(gone, tftpGone, {"--yes", "--json", "--verify-reboot=3"}));
    });
    CliRun run = RunCli(UpgradeArgs(back, tftpBack, {"--yes", "--json"}));
    CliRun gave = goneRun.get();

    EXPECT_EQ(run.status, 0) << Diagnose(run) << back.Log();
    EXPECT_EQ(run.EventNames(), kWholeUpgrade);
    EXPECT_NE(run.out.find("\"final_ack\":false,\"note\":\"The server did not acknowledge the last block."),
              std::string::npos)
        << Tail(run.out);
    EXPECT_NE(run.out.find("\"event\":\"reboot\",\"host\":\"127.0.3.44\",\"version\":\"1.0.9\""),
              std::string::npos)
        << Tail(run.out);
    EXPECT_NE(run.out.find("\"result\":\"complete\",\"exit_code\":0"), std::string::npos);
    EXPECT_NE(run.err.find("did not acknowledge the last block"), std::string::npos) << run.err;

    EXPECT_EQ(gave.status, 9) << Diagnose(gave) << gone.Log();
    EXPECT_EQ(gave.EventNames(), kWholeUpgrade);
    EXPECT_NE(gave.out.find("\"result\":\"reboot-check-failed\",\"exit_code\":9"), std::string::npos)
        << Tail(gave.out);
}

TEST(CliUpgrade, TenPercentLossStillCompletesByteIdentical) {
    skelvo::test::TempDir dir;
    const auto bytes = skelvo::test::PatternBytes(40 * 512 + 100, 3);
    const std::string file = dir.Write("lossy.bin", bytes);
    const std::uint16_t tftp = FreeUdpPort();
    DevSim sim("tolva22", "127.0.3.37", tftp,
               {"--accept-any-image", "--seed", "5", "--fault", "drop-data=0.1", "--fault", "drop-ack=0.1"});
    CliRun run = RunCli(UpgradeArgs(sim, tftp, {"--yes", "--json", "--image", file}));
    ASSERT_EQ(run.status, 0) << Diagnose(run) << sim.Log();
    EXPECT_EQ(run.EventNames(), kWholeUpgrade);
    const std::string report = sim.StopAndReport();
    EXPECT_EQ(Count(report, Sha256Hex(bytes)), 2u);
    EXPECT_NE(report.find("\"identical\": true"), std::string::npos) << report;
    EXPECT_EQ(report.find("\"dropped_data\": 0, \"dropped_acks\": 0,"), std::string::npos)
        << "both downloads lost packets";
}

TEST(CliUpgrade, DryRunShowsTheQuestionAndSendsNoCommand) {
    const std::uint16_t tftp = FreeUdpPort();
    DevSim sim("tolva", "127.0.3.38", tftp);
    CliRun run = RunCli(UpgradeArgs(sim, tftp, {"--dry-run"}));
    EXPECT_EQ(run.status, 0) << Diagnose(run);
    EXPECT_NE(run.out.find("Flash Upgrade Confirmation"), std::string::npos);
    EXPECT_NE(run.out.find("currently at Version-1.0.8\nThe new flash image is at Version-1.0.9.\n"),
              std::string::npos)
        << run.out;
    EXPECT_EQ(Count(sim.StopAndReport(), "/config"), 0u);
}

TEST(CliUpgrade, RefusesToFlashWithoutTerminalOrYes) {
    const std::uint16_t tftp = FreeUdpPort();
    DevSim sim("tolva21", "127.0.3.39", tftp);
    CliRun run = RunCli(UpgradeArgs(sim, tftp));
    EXPECT_EQ(run.status, 10) << Diagnose(run);
    EXPECT_NE(run.err.find("--yes"), std::string::npos);
    EXPECT_EQ(Count(sim.StopAndReport(), "\"method\""), 0u) << "not even a probe";
}

TEST(CliUpgrade, SeveralHostsOneAfterAnotherWithASummary) {
    const std::uint16_t tftp = FreeUdpPort();
    // One command line has one HTTP port, so the devices share it and differ by address.
    const std::uint16_t http = FreeTcpPort("127.0.3.40");
    DevSim first("tolva21", "127.0.3.40", tftp, {}, http);
    DevSim second("tolva21", "127.0.3.41", tftp, {"--fault", "refuse-login"}, http);
    DevSim third("dravenholt", "127.0.3.42", tftp, {}, http);
    const std::string audit = testing::TempDir() + "/audit-several.jsonl";
    std::remove(audit.c_str());
    CliRun run =
        RunCli({"upgrade", "127.0.3.40", "127.0.3.41", "127.0.3.42", "--http-port", std::to_string(http),
                "--tftp-port", std::to_string(tftp), "--yes", "--audit-log", audit});
    EXPECT_EQ(run.status, 6) << "the first failure's code" << Diagnose(run);
    const auto lines = run.OutLines();
    ASSERT_GE(lines.size(), 4u) << run.out;
    EXPECT_EQ(lines[lines.size() - 4].rfind("HOST", 0), 0u) << run.out;
    EXPECT_NE(lines[lines.size() - 3].find("127.0.3.40  Tolva 21xx"), std::string::npos) << run.out;
    EXPECT_NE(lines[lines.size() - 3].find("complete"), std::string::npos) << run.out;
    EXPECT_NE(lines[lines.size() - 2].find("login-rejected"), std::string::npos) << run.out;
    EXPECT_NE(lines[lines.size() - 1].find("127.0.3.42  Dravenholt II"), std::string::npos) << run.out;
    EXPECT_NE(lines[lines.size() - 1].find("6.2.0       6.2.1       complete"), std::string::npos) << run.out;
    EXPECT_EQ(Count(ReadText(audit), "\n"), 3u);
    EXPECT_NE(first.StopAndReport().find("\"final_version\": \"1.0.9\""), std::string::npos);
    EXPECT_NE(third.StopAndReport().find("\"final_version\": \"6.2.1\""), std::string::npos);
}

TEST(CliUpgrade, BadInputIsAUsageError) {
    const std::vector<std::vector<std::string>> cases{
        {"upgrade"},
        {"upgrade", "192.0.2.1", "--password", "secret"},
        {"upgrade", "192.0.2.1", "--tftp-port", "70000"},
        {"upgrade", "192.0.2.1", "--http-port", "8x"},
        {"upgrade", "192.0.2.1", "--image", "/nonexistent/file.bin"},
        {"upgrade", "192.0.2.1", "--login", std::string(80, 'L')},
        {"upgrade", std::string(128, 'h')},
        {"upgrade", "192.0.2.1", "--verify-reboot=soon"},
        {"upgrade", "192.0.2.1", "--programming-wait", "0"},
        {"upgrade", "192.0.2.1", "--bogus"},
        {"upgrade", "192.0.2.1", "--tftp-port=0x45"},
        {"upgrade", "192.0.2.1", "--password=secret"},
        {"bogus-command"},
        {"probe"},
        {"probe", "127.0.0.1", "--parallel", "0"},
        {"rescue", "192.0.2.1"},
        {"rescue", "--builtin", "tolva21"},
        {"rescue", "192.0.2.1", "--builtin", "tolva23"},
        {"rescue", "192.0.2.1", "--builtin", "tolva21", "--image", "x.bin"},
        {"rescue", "192.0.2.1", "--image", "/nonexistent/file.bin"},
        {"rescue", "192.0.2.1", "--builtin", "tolva21", "--quiet-end", "-1"},
    };
    for (const auto& args : cases) {
        CliRun run = RunCli(args);
        EXPECT_EQ(run.status, 2) << args.back() << Diagnose(run);
        EXPECT_FALSE(run.err.empty());
        EXPECT_EQ(run.err.find("secret"), std::string::npos);
    }
}

// Before CLI11, "--verify-reboot 30" made "30" a second host (0.0.0.30), which was contacted.
TEST(CliUpgrade, ANumberAfterVerifyRebootIsItsValueNotAHost) {
    const std::uint16_t tftp = FreeUdpPort();
    DevSim sim("tolva22", "127.0.3.50", tftp);
    CliRun run = RunCli(UpgradeArgs(sim, tftp, {"--dry-run", "--json", "--verify-reboot", "30"}));
    EXPECT_EQ(run.status, 0) << Diagnose(run);
    EXPECT_EQ(Count(run.out, "\"event\":\"result\""), 1u) << run.out;
    EXPECT_EQ(Count(run.out, "\"host\":\"30\""), 0u) << run.out;
}

// The core makes a device's bytes printable (\xNN); whatever they were, the line is valid JSON.
TEST(CliProbe, ADevicesBytesOutsideAsciiComeOutAsValidJson) {
    DevSim sim("tolva22", "127.0.3.51", FreeUdpPort(), {"--firmware", "1.0.8\xc3\xa9\xff"});
    CliRun run = RunCli({"probe", sim.address(), "--http-port", std::to_string(sim.httpPort()), "--json"});
    EXPECT_EQ(run.status, 0) << Diagnose(run);
    const auto lines = run.OutLines();
    ASSERT_EQ(lines.size(), 1u) << run.out;
    ASSERT_TRUE(nlohmann::json::accept(lines[0])) << lines[0];
    const auto probe = nlohmann::json::parse(lines[0]);
    EXPECT_EQ(probe["event"], "probe");
    EXPECT_EQ(probe["version"], "1.0.8\\xc3\\xa9\\xff");
    EXPECT_EQ(probe["exit_code"], 0);
}

TEST(CliUpgrade, HelpListsTheExitCodes) {
    CliRun run = RunCli({"upgrade", "--help"});
    EXPECT_EQ(run.status, 0);
    for (const char* code :
         {"   3  the TFTP port", "   6  the device rejected the login", "  10  the upgrade",
          "  11  the device verified the image", "  12  the device rejected the image",
          "  13  the device refused the upgrade command", " 130  interrupted", "--programming-wait S"})
        EXPECT_NE(run.out.find(code), std::string::npos) << code;
    CliRun top = RunCli({"--help"});
    EXPECT_NE(top.out.find("  rescue "), std::string::npos) << top.out;
    for (const char* command : {"serve", "probe", "images", "rescue"}) {
        CliRun help = RunCli({command, "--help"});
        EXPECT_EQ(help.status, 0) << command;
        EXPECT_NE(help.out.find("Usage: skelvo-cli " + std::string(command) + " [OPTIONS]"),
                  std::string::npos)
            << help.out;
    }
    CliRun version = RunCli({"--version"});
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out, "skelvo-cli " SKELVO_VERSION "\n");
}
