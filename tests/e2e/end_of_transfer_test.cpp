// The ends of a download that a real device gets wrong, each in a whole upgrade of skelvo-devsim
// by skelvo-cli: the final ACK lost with no dally, a request sent once and at once, the final ACK
// repeated late, twice, or only late. RFC 1350 lets the last ACK be lost, and the device then
// carries on as if the download had completed, so each of these must end with the device
// programmed, and the command line must say so. The other way round, a device left erased must
// make the command line fail.
#include "tests/e2e/device_report.h"
#include "tests/support/event_recorder.h"

#include <gtest/gtest.h>

using namespace skelvo::e2e;

namespace {

struct Scenario {
    const char* name;
    int host; // each on its own loopback address, so that ctest may run them side by side
    const char* model;
    const char* image;
    std::vector<std::string> simArgs;
    std::vector<std::string> cliArgs = {};
};

void PrintTo(const Scenario& s, std::ostream* os) {
    *os << s.name;
}

class EndOfTransfer : public ::testing::TestWithParam<Scenario> {};

TEST_P(EndOfTransfer, DeviceEndsProgrammedAndTheExitStatusSaysSo) {
    const Scenario& s = GetParam();
    const std::string sha = Sha256Hex(skelvo::test::ReadFileBytes(skelvo::test::ImagePath(s.image)));
    UpgradeRun run = UpgradeOnce(s.model, "127.0.6." + std::to_string(s.host), s.simArgs, s.cliArgs);
    EXPECT_TRUE(ExitAgreesWithDevice(run)) << "exit " << run.cli.status << ", device: " << run.device.outcome;
    EXPECT_EQ(CheckProgrammed(run, sha, "1.0.9"), "");
}

// The erase wait of 1 s lets a late ACK of the verify download land between the downloads.
INSTANTIATE_TEST_SUITE_P(
    Faults, EndOfTransfer,
    ::testing::Values(
        Scenario{"FinalAckOfVerifyLost", 10, "tolva22", "tolva22.bin", {"--fault", "drop-final-ack@1"}},
        Scenario{"FinalAckOfProgramLost", 11, "tolva22", "tolva22.bin", {"--fault", "drop-final-ack@2"}},
        Scenario{"RequestSentOnceAtOnce", 12, "tolva22", "tolva22.bin", {"--fault", "request-once"}},
        Scenario{"LateFinalAckBetweenDownloads",
                 13,
                 "tolva22",
                 "tolva22.bin",
                 {"--erase-seconds", "1", "--fault", "late-final-ack=300@1"}},
        Scenario{
            "LateFinalAckAfterProgramming", 14, "tolva22", "tolva22.bin", {"--fault", "late-final-ack@2"}},
        Scenario{"OnlyALateFinalAckBetweenDownloads",
                 15,
                 "tolva22",
                 "tolva22.bin",
                 {"--erase-seconds", "1", "--fault", "drop-final-ack@1,late-final-ack=300@1"}},
        Scenario{"AllOfThemWithoutDally",
                 16,
                 "tolva22",
                 "tolva22.bin",
                 {"--tftp-dally-ms", "0", "--fault", "request-once,drop-final-ack,late-final-ack=200"}},
        // The ACK of the last block of tolva21's verify download (1456 blocks) goes out twice.
        Scenario{
            "DuplicateFinalAckOfVerify", 17, "tolva21", "tolva21.bin", {"--fault", "duplicate-ack=1456@1"}}),
    [](const auto& p) { return std::string(p.param.name); });

// A device left erased and unprogrammed must never be reported as upgraded.
class Stranded : public ::testing::TestWithParam<Scenario> {};

TEST_P(Stranded, ExitStatusIsAFailure) {
    const Scenario& s = GetParam();
    UpgradeRun run = UpgradeOnce(s.model, "127.0.6." + std::to_string(s.host), s.simArgs, s.cliArgs);
    EXPECT_TRUE(run.device.erased) << run.device.outcome << "\n" << run.deviceLog;
    EXPECT_FALSE(run.device.programmed);
    EXPECT_NE(run.cli.status, 0) << run.cli.out.substr(run.cli.out.size() > 3000 ? run.cli.out.size() - 3000
                                                                                 : 0);
    EXPECT_EQ(run.device.finalVersion, "1.0.8");
}

INSTANTIATE_TEST_SUITE_P(Faults, Stranded,
                         ::testing::Values(Scenario{"NoSecondRequest",
                                                    20,
                                                    "tolva22",
                                                    "tolva22.bin",
                                                    {"--fault", "no-second-request"},
                                                    {"--programming-wait", "3"}},
                                           Scenario{"ErrorInTheProgramDownload",
                                                    21,
                                                    "tolva22",
                                                    "tolva22.bin",
                                                    {"--fault", "error-mid-transfer=20@2"}}),
                         [](const auto& p) { return std::string(p.param.name); });

} // namespace
