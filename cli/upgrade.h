// The upgrade command: its options (upgrade_options.cpp), the run over the shared upgrade flow
// (upgrade_run.cpp), and what it writes about each device (upgrade_report.cpp).
#pragma once

#include "cli/device_cli.h"

#include "engine/upgrade_record.h"
#include "engine/version_policy.h"
#include "http/device_http.h"
#include "tftp/tftp_server.h"
#include "upgrade/device_upgrade.h"
#include "upgrade/question.h"
#include "upgrade/records.h"

#include <CLI/CLI.hpp>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace skelvo::cli {

constexpr int kDefaultRebootWait = 180;
// Devices of a batch commanded and not yet finished at once, unless --parallel says otherwise.
constexpr int kDefaultParallel = 20;

struct UpgradeOptions {
    std::vector<std::string> hosts;
    std::string hostsFile; // "-" for standard input
    int parallel = kDefaultParallel;
    VersionPolicy policy;
    std::string login = kDefaultLogin;
    PasswordSource passwordSource;
    std::string image;
    bool downloadTrace = false;
    bool yes = false;
    bool dryRun = false;
    bool json = false;
    bool trace = false;
    std::string auditLog;
    std::string journal; // empty: the default journal
    bool noOptions = false;
    std::optional<int> verifyReboot;
    int fetchTimeout = 120;
    int idleTimeout = 120;
    int programmingWait = 120;
    std::uint16_t tftpPort = kTftpPort;
    std::uint16_t httpPort = kHttpPort;
    int retries = 0;
};

// Declares the upgrade subcommand on program, its options bound to o.
CLI::App* DeclareUpgrade(CLI::App& program, UpgradeOptions& o);

// "--verify-reboot N", N a whole number, as "--verify-reboot=N": the option's value is optional,
// and a number after it is its value, never a host.
std::vector<std::string> AttachRebootSeconds(std::vector<std::string> args);

// Upgrades every host as one batch (one host is a batch of one); the exit code of the first host
// that failed.
int RunUpgrade(UpgradeOptions& o);

// The step (2 to 5) a status code begins; 0 for the others.
int StepNumber(int statusCode);

// Which STATUS_PROGRESS events of one device get a line: at most one an interval (a JSON line a
// second; a batch's text line every few seconds), and the last block of each pass.
class ProgressThrottle {
  public:
    explicit ProgressThrottle(std::chrono::seconds interval = std::chrono::seconds(1))
        : m_interval(interval) {}
    bool Due(const DeviceEvent& e) {
        if (e.sent < e.total && m_last && e.at - *m_last < m_interval)
            return false;
        m_last = e.sent < e.total ? std::optional(e.at) : std::nullopt;
        return true;
    }

  private:
    std::chrono::seconds m_interval;
    std::optional<std::chrono::steady_clock::time_point> m_last;
};

// The JSON lines of --json, each written when it happens (docs/cli-json.md).
void WriteStepOneLine(const std::string& host);
// imageToUse names the version in step titles; login goes into the text of ERR_LOGIN.
void WriteEventLine(const std::string& host, const DeviceEvent& e, int imageToUse, const std::string& login);
void WriteConfirmLine(const std::string& host, const ConfirmQuestion& q, bool yes);
void WriteInterruptLine(const std::string& host, int signal, int count, Phase phase);
void WriteRebootLine(const std::string& host, const std::optional<std::string>& version,
                     const std::optional<std::string>& expected, bool ok);
void WriteRetryLine(const HostResult& r, int retries, std::chrono::milliseconds delay);
void WriteResultLine(const HostResult& r);
// The table that ends a run over several hosts.
void PrintSummary(const std::vector<HostResult>& results);

} // namespace skelvo::cli
