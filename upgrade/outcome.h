// What one device's upgrade came to: the result classes (the command line's exit codes), how far
// the upgrade had come, and the record of a device that every front end and log is written from.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace skelvo::upgrade {

// One code per class of outcome; the command line exits with them. With several devices the
// first failure's code is the result.
enum ExitCode : int {
    kExitComplete = 0, // the upgrade is complete; for the other commands, success
    kExitOther = 1,
    kExitBadUsage = 2,    // a wrong command line, or input that cannot be used
    kExitPort = 3,        // the TFTP port cannot be bound
    kExitUnreachable = 4, // name resolution, connection, or the HTTP exchange failed
    kExitUnknownType = 5, // the device named no known server
    kExitLogin = 6,       // the device rejected the login
    kExitNotFetched = 7,  // the device never asked for the image
    kExitTransfer = 8,    // the TFTP transfer failed
    kExitReboot = 9,      // the device did not come back with the new version
    kExitNotConfirmed = 10,
    // The device verified the image but did not ask for it again: it rejected it or failed while
    // erasing, so unlike a failed transfer its flash may well be intact.
    kExitNoProgrammingRequest = 11,
    // The same, but the device still answers with its old version: it rejected the image and its
    // flash is intact.
    kExitImageRejected = 12,
    // The device answered the upgrade command with a 4xx or 5xx status other than a login failure.
    kExitCommandRefused = 13,
    // The version policy left the device alone: its firmware is newer than the image (without
    // --allow-older), or its version cannot be read (without --allow-reinstall or --force).
    kExitRefusedNewer = 14,
    kExitRefusedUnreadable = 15,
    // The journal holds an upgrade of the device that did not end: it may be half-way, and is not
    // commanded again until 'skelvo-cli recover' has settled it (or --force is given).
    kExitUnended = 16,
    // A signal ended the command: 128 + its number (130 SIGINT, 143 SIGTERM, 129 SIGHUP).
};

// The POSIX numbers, also on Windows, so that exit codes agree: 128 + the number.
inline constexpr int kSignalHangUp = 1;
inline constexpr int kSignalInterrupt = 2;
inline constexpr int kSignalTerminate = 15;
// "SIGINT", "SIGTERM", "SIGHUP", or "signal".
const char* SignalName(int signal);

// The result word of an exit code ("complete", "login-rejected", ...).
const char* ResultName(int exitCode);

// How far a device's upgrade has come, for what a signal does and for the record of an end.
enum class Phase { NotStarted, Probe, Confirmation, Command, Verify, Erase, Program, RebootCheck };
const char* PhaseName(Phase phase);

struct HostResult {
    std::string host;
    // Where its web server was reached, which is where its requests come from; once probed.
    std::optional<std::string> address;
    std::string model;
    std::optional<std::string> oldVersion;
    std::optional<std::string> newVersion;
    std::optional<std::string> imageSha256;
    std::optional<std::string> versionAfterReboot; // after a reboot check only
    std::string result;                            // "complete", "dry-run" or the failure class
    int exitCode = kExitOther;
    // Why it ended so, in the words told to the user; empty for a plain success.
    std::string reason;
    std::optional<std::string> phase;         // interrupted or abandoned: how far the upgrade had come
    std::optional<std::string> rescue;        // the command that serves the device its image again
    std::optional<std::string> commandStatus; // command-refused: the reply's status line
    std::optional<std::string> note;          // a success with something to add (an unconfirmed end)
    std::string startTime;                    // UTC, RFC 3339 with milliseconds
    long long durationMs = 0;
    std::string imageSource; // "built-in" or the image file's path
    // The passes as they happened: verify download, wait while the device erased, programming
    // download; in milliseconds.
    std::optional<long long> verifyMs, eraseMs, programMs;
    // How long the device's read requests waited for the TFTP server to take them.
    std::optional<long long> queuedMs;
    // The device took the upgrade command: from here on it is never commanded again by this run.
    bool commanded = false;
    int attempt = 1;                    // 1, then 2, ... with retries
    std::optional<long long> retryInMs; // a failed attempt that will be retried after this wait
};

// Whether a failed attempt may be tried again: only a device that never took the upgrade command
// (it could not be reached or read, the command could not be sent, or the device refused it with
// a 5xx status).
bool Retryable(const HostResult& r);
// The wait after failed attempt number attempt (from 1): 1 s, doubling each time, at most 60 s.
std::chrono::milliseconds RetryDelay(int attempt);

// "Tolva 21xx", "Dravenholt II", ...; "unknown" for SERVER_UNKNOWN, "user file" for a file.
const char* ModelName(int serverType);

// The --builtin names: "tolva21" (the Tolva 21xx image, also served to a Tolva of another model),
// "tolva22", "dravenholt"; null for a type that selects no built-in image.
const char* BuiltinImageName(int serverType);
// The image type a --builtin name selects.
std::optional<int> BuiltinImageType(std::string_view name);

// One word for the shell, quoted only when it needs to be.
std::string ShellQuote(std::string_view word);

// The command that serves a device its image again: "skelvo-cli rescue HOST --builtin NAME", or
// "--image FILE" (made absolute) for a user file, with "--tftp-port N" when N is not 69 and
// "--tftp-no-options" when the upgrade ran without option negotiation.
std::string RescueCommandLine(std::string_view host, int imageToUse, std::string_view imageFile,
                              std::uint16_t tftpPort, bool noOptions = false);

// The help of --tftp-no-options, the same for every command that serves by TFTP.
inline constexpr char kTftpNoOptionsHelp[] =
    "answer no TFTP options (RFC 2347 blksize, tsize, timeout,\n"
    "windowsize): plain 512-byte blocks, one at a time, for a device\n"
    "that mishandles option negotiation";

} // namespace skelvo::upgrade
