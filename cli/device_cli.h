// What the probe and upgrade commands share: the exit codes' help, JSON lines, the password sources
// and the adapter that receives the engine's events.
#pragma once

#include "cli/cli.h"

#include <nlohmann/json.hpp>

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

// The help text's table of exit codes.
extern const char kExitCodeHelp[];

// "Tolva 21xx", "Dravenholt II", ...; "unknown" for SERVER_UNKNOWN, "user file" for a file.
const char* ModelName(int serverType);

// One JSON object, built field by field (in that order) and written as one line.
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
    std::string Text() const;
    // Writes the line, with the time now as its first field "time", and a newline in one call,
    // and flushes.
    void Write(std::FILE* out) const;

  private:
    nlohmann::ordered_json m_object = nlohmann::ordered_json::object();
};

// JSON text on one line, in UTF-8. Whatever bytes a text holds, the line is valid JSON and safe on
// a terminal: a byte that is not part of valid UTF-8 becomes U+FFFD, and control characters (C0,
// DEL and C1) are escaped.
std::string JsonText(const nlohmann::ordered_json& value);

// A time in UTC as RFC 3339 with milliseconds, "2026-12-08T05:50:00.123Z"; the time now by default.
std::string UtcTimestamp(std::chrono::system_clock::time_point when = std::chrono::system_clock::now());

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
    // When the front end received it.
    std::chrono::steady_clock::time_point at{};
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

// While it lives, the events raised on the thread that made it come here instead of to the
// EventMonitor (which must exist, for the handler table): several devices probed at once, each on
// a thread of its own, keep their events apart. It also names that thread's host.
class ThreadEvents {
  public:
    explicit ThreadEvents(std::string host);
    ~ThreadEvents();
    ThreadEvents(const ThreadEvents&) = delete;
    ThreadEvents& operator=(const ThreadEvents&) = delete;

    void Add(const CliEvent& e);
    std::optional<CliEvent> FirstError() const;
    // The host of the calling thread's ThreadEvents; empty on a thread without one.
    static std::string CurrentHost();

  private:
    std::string m_host;
    std::vector<CliEvent> m_events;
    ThreadEvents* m_outer;
};

// The trace lines: silenced, or on standard output (as text or, with json, as JSON lines). hostOf,
// when given, names the host a JSON trace line belongs to (empty for none).
void RouteTrace(bool show, bool json, std::function<std::string(std::string_view)> hostOf = {});

// Text on one line: each run of line breaks becomes one space.
std::string OneLineText(std::string_view text);

// What to do about a TFTP port that could not be bound with this socket error: run with privilege,
// or find the program that holds it. Empty for other errors.
std::string TftpPortHint(std::uint16_t port, int error);
// "the TFTP port N cannot be bound", with the hint when the error number gives one.
std::string PortFailure(std::uint16_t port, int error);

} // namespace skelvo::cli
