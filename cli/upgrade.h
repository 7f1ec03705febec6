// The upgrade command: its options (upgrade_options.cpp), the upgrade of each host
// (upgrade_run.cpp), and what it writes about them (upgrade_report.cpp).
#pragma once

#include "cli/device_cli.h"
#include "cli/rescue.h"

#include "engine/upgrade_record.h"
#include "http/continue_sequence.h"
#include "http/device_http.h"
#include "tftp/tftp_server.h"

#include <CLI/CLI.hpp>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace skelvo::cli {

constexpr int kDefaultRebootWait = 180;

struct UpgradeOptions {
    std::vector<std::string> hosts;
    std::string login = kDefaultLogin;
    PasswordSource passwordSource;
    std::string image;
    bool downloadTrace = false;
    bool yes = false;
    bool dryRun = false;
    bool json = false;
    bool trace = false;
    std::string auditLog;
    std::optional<int> verifyReboot;
    int fetchTimeout = 120;
    int idleTimeout = 120;
    int programmingWait = 120;
    std::uint16_t tftpPort = kTftpPort;
    std::uint16_t httpPort = kHttpPort;
};

// Declares the upgrade subcommand on program, its options bound to o.
CLI::App* DeclareUpgrade(CLI::App& program, UpgradeOptions& o);

// "--verify-reboot N", N a whole number, as "--verify-reboot=N": the option's value is optional,
// and a number after it is its value, never a host.
std::vector<std::string> AttachRebootSeconds(std::vector<std::string> args);

// Upgrades every host in turn; the exit code of the first host that failed.
int RunUpgrade(UpgradeOptions& o);

struct HostResult {
    std::string host;
    std::string model;
    std::optional<std::string> oldVersion;
    std::optional<std::string> newVersion;
    std::optional<std::string> imageSha256;
    std::optional<std::string> versionAfterReboot; // --verify-reboot only
    std::string result;                            // "complete", "dry-run" or the failure class
    int exitCode = kExitOther;
    std::optional<std::string> phase;         // interrupted or abandoned: how far the upgrade had come
    std::optional<std::string> rescue;        // the command that serves the device its image again
    std::optional<std::string> commandStatus; // command-refused: the reply's status line
};

// How far a host's upgrade has come, for what a signal does and for the record of an interruption.
enum class Phase { NotStarted, Probe, Confirmation, Command, Verify, Erase, Program, RebootCheck };

const char* PhaseName(Phase phase);
// The result word of an exit code ("complete", "login-rejected", ...).
const char* ResultName(int exitCode);
// The step (2 to 5) a status code begins; 0 for the others.
int StepNumber(int statusCode);
std::string TrimEnd(std::string text);

// The JSON lines of --json, each written when it happens (docs/cli-json.md).
void WriteStepOneLine(const std::string& host);
void WriteEventLine(const std::string& host, const CliEvent& e, bool replyWarning, const std::string& detail);
void WriteConfirmLine(const std::string& host, const ConfirmQuestion& q, bool yes);
void WriteInterruptLine(const std::string& host, int signal, int count, Phase phase);
void WriteRebootLine(const std::string& host, const std::optional<std::string>& version,
                     const std::optional<std::string>& expected, bool ok);
void WriteResultLine(const HostResult& r);
// Appends the host's record to the audit log, one write per line.
void WriteAudit(const std::string& path, const HostResult& r);
// The table that ends a run over several hosts.
void PrintSummary(const std::vector<HostResult>& results);

} // namespace skelvo::cli
