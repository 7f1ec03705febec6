// What the probe and upgrade commands share: exit codes, option parsing helpers, JSON lines, the
// password sources and the adapter that receives the engine's events.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace skelvo::cli {

// One code per class of failure; with several hosts the first failure's code is the result.
enum DeviceExit : int {
    kExitComplete = 0,
    kExitOther = 1,
    kExitBadUsage = 2,
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
    // A signal ended the command: 128 + its number (130 SIGINT, 143 SIGTERM, 129 SIGHUP).
};

// The help text's table of exit codes.
extern const char kExitCodeHelp[];

// "Tolva 21xx", "Dravenholt II", ...; "unknown" for SERVER_UNKNOWN, "user file" for a file.
const char* ModelName(int serverType);

// Port numbers 1 to 65535, read with from_chars.
std::optional<std::uint16_t> ParsePort(std::string_view text);
std::optional<int> ParseSeconds(std::string_view text);

// One JSON object, built field by field and written as one line.
class JsonLine {
  public:
    JsonLine& Add(std::string_view key, std::string_view value);
    JsonLine& Add(std::string_view key, const char* value);
    JsonLine& Add(std::string_view key, const std::string& value) {
        return Add(key, std::string_view(value));
    }
    JsonLine& Add(std::string_view key, long long value);
    JsonLine& Add(std::string_view key, int value) { return Add(key, static_cast<long long>(value)); }
    JsonLine& Add(std::string_view key, bool value);
    JsonLine& AddNull(std::string_view key);
    JsonLine& Add(std::string_view key, const std::optional<std::string>& value);
    std::string Text() const { return "{" + m_body + "}"; }
    // Writes the line and a newline in one call and flushes.
    void Write(std::FILE* out) const;

  private:
    void Key(std::string_view key);
    std::string m_body;
};

std::string JsonEscape(std::string_view text);

// The time now as "2026-12-08T05:50:00Z".
std::string UtcTimestamp();

// Where the password comes from; never the command line.
struct PasswordSource {
    bool fromStdin = false;
    std::string file;
};
// The password, or nothing after printing why; the product's default when no source is given.
std::optional<std::string> ReadPassword(const PasswordSource& source, std::string& error);

// An engine event as the front end received it.
struct CliEvent {
    enum Kind { Status, Error } kind;
    int code;
    int sent = 0;
    int total = 0;
    // STATUS_COMPLETE: the device never acknowledged the last block of the programming download.
    bool unconfirmed = false;
};

// Takes slots 4 and 5 of the handler table for as long as it lives (only one at a time) and keeps
// slots 1 to 3 with the TFTP server's own handlers. Every event goes to the listener on the thread
// that raised it, and is recorded for the waiting thread.
class EventMonitor {
  public:
    using Listener = std::function<void(const CliEvent&)>;
    EventMonitor();
    ~EventMonitor();
    EventMonitor(const EventMonitor&) = delete;
    EventMonitor& operator=(const EventMonitor&) = delete;

    void SetListener(Listener listener);
    // While muted, events are neither recorded nor passed on (reboot polling).
    void SetMuted(bool muted);
    void Clear();
    std::vector<CliEvent> Events() const;
    std::optional<CliEvent> FirstError() const;
    bool Has(CliEvent::Kind kind, int code) const;

    // Waits until pred(events) holds, the worker has ended, or the deadline passes. Returns pred's
    // value at the end.
    bool WaitUntil(const std::function<bool(const std::vector<CliEvent>&)>& pred,
                   std::chrono::steady_clock::time_point deadline) const;
    std::chrono::steady_clock::time_point LastEventTime() const;

    void Add(const CliEvent& e);
    void WorkerEnded(int result);
    // Wakes every WaitUntil, to look at a condition outside the events (a signal).
    void Wake();
    bool HasWorkerEnded() const;

  private:
    mutable std::mutex m_lock;
    mutable std::condition_variable m_changed;
    std::vector<CliEvent> m_events;
    Listener m_listener;
    bool m_muted = false;
    bool m_workerEnded = false;
    std::chrono::steady_clock::time_point m_lastEvent;
};

// The trace lines: silenced, or on standard output (as text or, with json, as JSON lines).
void RouteTrace(bool show, bool json);

// Text on one line: each run of line breaks becomes one space.
std::string OneLineText(std::string_view text);

// What to do about a TFTP port that could not be bound with this socket error: run with privilege,
// or find the program that holds it. Empty for other errors.
std::string TftpPortHint(std::uint16_t port, int error);

} // namespace skelvo::cli
