// What outlives a run: JSON lines (the command line's output, the audit log) and a log file that
// gets one whole line per record, each made durable before the caller goes on.
#pragma once

#include "upgrade/outcome.h"

#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace skelvo::upgrade {

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
    JsonLine& Add(std::string_view key, const std::optional<long long>& value);
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

// A file opened for appending (created when missing) that takes one line at a time: each line is
// written whole with one write, so that concurrent writers never interleave inside a line, and is
// flushed to the disk (with the folder's entry, when the file was new) before Append returns.
class DurableLog {
  public:
    DurableLog() = default;
    ~DurableLog();
    DurableLog(const DurableLog&) = delete;
    DurableLog& operator=(const DurableLog&) = delete;
    // False, with the reason, when the file cannot be opened for appending; `what` names the file
    // in it ("the audit log").
    bool Open(const std::string& path, std::string& error, std::string_view what = {});
    bool IsOpen() const { return m_fd >= 0; }
    const std::string& path() const { return m_path; }
    // False when the line could not be written whole or made durable. Safe from any thread.
    bool Append(std::string_view line);
    // Several lines with one write and one flush.
    bool Append(const std::vector<std::string>& lines);

  private:
    std::string m_path;
    int m_fd = -1;
};

// The fields that a result line and an audit record share: the passes' durations, and the
// outcome (result, exit code, reason, ...).
void AddPassFields(JsonLine& line, const HostResult& r);
void AddOutcomeFields(JsonLine& line, const HostResult& r);

// The audit record of a device: one JSON object, without a line end.
std::string AuditRecord(const HostResult& r);

// The audit log: one durable record per device outcome (and per failed attempt that is retried).
class AuditLog {
  public:
    bool Open(const std::string& path, std::string& error) {
        return m_log.Open(path, error, "the audit log");
    }
    bool IsOpen() const { return m_log.IsOpen(); }
    // A record that cannot be written is told on standard error; the run goes on.
    void Write(const HostResult& r);

  private:
    DurableLog m_log;
};

} // namespace skelvo::upgrade
