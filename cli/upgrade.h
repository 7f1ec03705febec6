// The upgrade command: its options (upgrade_options.cpp), the upgrade of each host
// (upgrade_run.cpp), and what it writes about them (upgrade_report.cpp).
#pragma once

#include "cli/device_cli.h"
#include "cli/rescue.h"

#include "engine/upgrade_record.h"
#include "engine/version_policy.h"
#include "http/continue_sequence.h"
#include "http/device_http.h"
#include "tftp/tftp_server.h"

#include <CLI/CLI.hpp>

#include <chrono>
#include <cstdint>
#include <functional>
#include <iosfwd>
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

// Upgrades every host (one alone as before, several as a batch); the exit code of the first
// host that failed.
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
    std::string startTime;                    // UTC, RFC 3339 with milliseconds
    long long durationMs = 0;
    std::string imageSource; // "built-in" or the image file's path
    // The passes as they happened: verify download, wait while the device erased, programming
    // download; in milliseconds.
    std::optional<long long> verifyMs, eraseMs, programMs;
    // The device took the upgrade command: from here on it is never commanded again by this run.
    bool commanded = false;
    int attempt = 1;                    // 1, then 2, ... with --retries
    std::optional<long long> retryInMs; // a failed attempt that will be retried after this wait
};

// The audit log, opened (created or appended to) before any device is contacted. Each record is
// one line, written whole with one write, then flushed to the disk.
class AuditLog {
  public:
    AuditLog() = default;
    ~AuditLog();
    AuditLog(const AuditLog&) = delete;
    AuditLog& operator=(const AuditLog&) = delete;
    // False, with the reason, when the file cannot be opened for appending.
    bool Open(const std::string& path, std::string& error);
    bool IsOpen() const { return m_fd >= 0; }
    void Write(const HostResult& r);

  private:
    std::string m_path;
    int m_fd = -1;
};

// How far a host's upgrade has come, for what a signal does and for the record of an interruption.
enum class Phase { NotStarted, Probe, Confirmation, Command, Verify, Erase, Program, RebootCheck };

const char* PhaseName(Phase phase);
// The version policy's decision for a device that reports deviceVersion and is to be served the
// image that imageToUse selects (a user's file has no version to compare).
PolicyDecision Decide(int imageToUse, const std::string& deviceVersion, const VersionPolicy& policy);
// The exit code of a decision, and in message what it means for the device.
int PolicyExit(PolicyDecision decision, const std::string& current, int imageToUse, bool userFile,
               std::string& message);
// The exit code of an engine error event; workerStarted once the image is being served.
int ExitForError(int code, bool workerStarted);
// ERR_RECEIVE during a transfer in words of the command line (the engine's text speaks of HTTP).
std::string TransferTimeoutText(Phase phase);
// The result word of an exit code ("complete", "login-rejected", ...).
const char* ResultName(int exitCode);
// The step (2 to 5) a status code begins; 0 for the others.
int StepNumber(int statusCode);
std::string TrimEnd(std::string text);

// Which STATUS_PROGRESS events of one device get a line: at most one an interval (a JSON line a
// second; a batch's text line every few seconds), and the last block of each pass.
class ProgressThrottle {
  public:
    explicit ProgressThrottle(std::chrono::seconds interval = std::chrono::seconds(1))
        : m_interval(interval) {}
    bool Due(const CliEvent& e) {
        const auto now = std::chrono::steady_clock::now();
        if (e.sent < e.total && m_last && now - *m_last < m_interval)
            return false;
        m_last = e.sent < e.total ? std::optional(now) : std::nullopt;
        return true;
    }

  private:
    std::chrono::seconds m_interval;
    std::optional<std::chrono::steady_clock::time_point> m_last;
};

// The JSON lines of --json, each written when it happens (docs/cli-json.md).
void WriteStepOneLine(const std::string& host);
// imageToUse names the version in step titles; login goes into the text of ERR_LOGIN.
void WriteEventLine(const std::string& host, const CliEvent& e, bool replyWarning, const std::string& detail,
                    int imageToUse, const std::string& login);
void WriteConfirmLine(const std::string& host, const ConfirmQuestion& q, bool yes);
void WriteInterruptLine(const std::string& host, int signal, int count, Phase phase);
void WriteRebootLine(const std::string& host, const std::optional<std::string>& version,
                     const std::optional<std::string>& expected, bool ok);
void WriteResultLine(const HostResult& r);
// The audit record of a host: one JSON object, without a line end.
std::string AuditRecord(const HostResult& r);
// The table that ends a run over several hosts.
void PrintSummary(const std::vector<HostResult>& results);

// --retries: whether a failed host may be tried again. Only a device that never took the upgrade
// command: it could not be reached or read, the command could not be sent, or the device
// refused it with a 5xx status.
bool Retryable(const HostResult& r);
// The wait after failed attempt number attempt (from 1): 1 s, doubling each time, at most 60 s.
std::chrono::milliseconds RetryDelay(int attempt);
// Records a failed attempt that will be retried: an audit record (with retry_in_ms), a JSON
// retry line, and a message through say.
void ReportRetry(const HostResult& r, int retries, std::chrono::milliseconds delay, AuditLog& audit,
                 bool json, const std::function<void(const std::string&)>& say);

// After a device verified its image and never asked for it again: its version is queried at
// contact for up to 10 s (events muted; giveUp ends it early). kExitImageRejected when it still
// answers with oldVersion (it rejected the image; its flash is intact), else
// kExitNoProgrammingRequest. say tells what was found.
int CheckImageRejected(const std::string& contact, const std::string& oldVersion, EventMonitor& monitor,
                       const std::function<bool()>& giveUp,
                       const std::function<void(const std::string&)>& say);

class InterruptWatch;
// Upgrades the hosts as one batch: every device probed in turn, one question for all, then the
// commands one at a time and the images served to up to o.parallel devices at once from one
// TFTP socket. The exit code of the first host (in the given order) that failed.
int RunBatch(const UpgradeOptions& o, const std::string& password, InterruptWatch& interrupts,
             AuditLog& audit);

} // namespace skelvo::cli
