// skelvo-cli rescue against a real TFTP client.
#include "tests/e2e/e2e_support.h"
#include "tests/support/event_recorder.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>

using namespace skelvo::e2e;

namespace {

std::string Diagnose(const CliRun& run) {
    return "status " + std::to_string(run.status) + "\n--- stdout\n" + run.out + "\n--- stderr\n" + run.err;
}

} // namespace

// The rescue serves the host as often as it asks, and ends once a download is complete and the
// host has been quiet.
TEST(Rescue, ServesARealClientAsOftenAsItAsksThenEndsWhenQuiet) {
    const std::uint16_t tftp = FreeUdpPort();
    skelvo::test::TempDir dir;
    CliProcess cli({"rescue", "127.0.0.1", "--builtin", "tolva21", "--tftp-port", std::to_string(tftp),
                    "--quiet-end", "3"},
                   CliProcess::Terminal::None);
    ASSERT_TRUE(cli.WaitForErr("waiting for the device to ask for its image")) << cli.Err();
    const auto image = skelvo::test::ReadFileBytes(skelvo::test::ImagePath("tolva21.bin"));
    for (const char* name : {"first.bin", "second.bin"}) {
        const std::string file = dir.path() + "/" + name;
        const std::string fetch =
            "curl -s --max-time 60 -o " + file + " tftp://127.0.0.1:" + std::to_string(tftp) + "/image";
        ASSERT_EQ(std::system(fetch.c_str()), 0) << fetch;
        EXPECT_EQ(skelvo::test::ReadFileBytes(file), image) << name;
    }
    CliRun run = cli.Wait();
    EXPECT_EQ(run.status, 0) << Diagnose(run);
    EXPECT_NE(run.err.find("served 2 complete downloads"), std::string::npos) << run.err;
}

TEST(Rescue, ASignalBeforeAnyDownloadAndAnUnknownHostFail) {
    CliProcess cli(
        {"rescue", "127.0.0.1", "--builtin", "dravenholt", "--tftp-port", std::to_string(FreeUdpPort())},
        CliProcess::Terminal::None);
    ASSERT_TRUE(cli.WaitForErr("waiting for the device to ask for its image")) << cli.Err();
    cli.Signal(SIGTERM);
    CliRun run = cli.Wait();
    EXPECT_EQ(run.status, 143) << Diagnose(run);
    EXPECT_NE(run.err.find("no download completed"), std::string::npos) << run.err;

    CliRun unknown = RunCli({"rescue", "no-such-device.invalid", "--builtin", "tolva21", "--tftp-port",
                             std::to_string(FreeUdpPort())});
    EXPECT_EQ(unknown.status, 4) << Diagnose(unknown);
}
