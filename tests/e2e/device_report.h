// Whole upgrades of a skelvo-devsim process by skelvo-cli, judged by what the device itself
// recorded: whether it holds the image, and whether the command line's exit status says the same.
#pragma once

#include "tests/e2e/e2e_support.h"

#include <chrono>
#include <string>
#include <vector>

namespace skelvo::e2e {

// The parts of the simulator's --report that say whether the device holds a new image.
struct DeviceOutcome {
    int upgrades = 0; // commands that started an upgrade
    bool verified = false;
    bool identical = false;
    bool erased = false;
    bool programmed = false;
    std::string finalVersion;
    std::string outcome;
    std::vector<std::string> passSha256; // one per download that started
};

// Reads the report of a simulator that ran at most one upgrade.
DeviceOutcome ReadDeviceReport(const std::string& json);

// Pattern bytes followed by the 36-byte trailer that the simulator checks (family, version digits,
// CRC-32 of everything before it), so that a small image programs and changes the version.
std::vector<unsigned char> ImageWithTrailer(std::size_t size, const std::string& family,
                                            const std::string& versionDigits, unsigned seed);

struct UpgradeRun {
    CliRun cli;
    DeviceOutcome device;
    std::string report;
    std::string deviceLog;
};

// Starts the simulator (erase and reboot waits of 0 unless simArgs say otherwise), runs
// `skelvo-cli upgrade ADDRESS --yes --json` with cliArgs against it, lets a commanded device end
// its upgrade, and stops it.
UpgradeRun UpgradeOnce(const std::string& model, const std::string& address,
                       const std::vector<std::string>& simArgs, const std::vector<std::string>& cliArgs,
                       std::chrono::seconds bound = std::chrono::seconds(240));

// Empty when the device holds the image (both downloads identical with `imageSha`, verified,
// programmed, showing `version`) and the command line exited with 0; otherwise what is wrong,
// with the command line's output and the device's log.
std::string CheckProgrammed(const UpgradeRun& run, const std::string& imageSha, const std::string& version);

// True when the command line's exit status says what the device's report says: 0 exactly when
// the device was programmed.
bool ExitAgreesWithDevice(const UpgradeRun& run);

} // namespace skelvo::e2e
