#include "upgrade/journal.h"

#include "engine/events.h"
#include "engine/trace.h"
#include "engine/upgrade_record.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <random>
#include <set>
#include <sstream>
#include <system_error>

#if defined(_WIN32)
#include <io.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

namespace skelvo::upgrade {
namespace {

std::string NewId() {
    // Unique enough to tell the attempts of one journal apart: 64 random bits.
    std::random_device random;
    std::uniform_int_distribution<unsigned long long> bits;
    std::mt19937_64 mix(
        static_cast<unsigned long long>(random()) << 32 ^ random() ^
        static_cast<unsigned long long>(std::chrono::steady_clock::now().time_since_epoch().count()));
    char text[17];
    std::snprintf(text, sizeof text, "%016llx", bits(mix));
    return text;
}

// Seconds since the epoch of an RFC 3339 time in UTC as UtcTimestamp writes it; nothing when it
// is not one.
std::optional<long long> EpochSeconds(const std::string& text) {
    std::tm parts{};
    std::istringstream in(text.substr(0, 19));
    in >> std::get_time(&parts, "%Y-%m-%dT%H:%M:%S");
    if (in.fail())
        return std::nullopt;
#if defined(_WIN32)
    return static_cast<long long>(_mkgmtime(&parts));
#else
    return static_cast<long long>(timegm(&parts));
#endif
}

} // namespace

std::string DefaultJournalPath() {
#if defined(_WIN32)
    if (const char* local = std::getenv("LOCALAPPDATA"); local != nullptr && *local != '\0')
        return std::string(local) + "\\Skelvo\\journal.jsonl";
    return {};
#else
    if (const char* state = std::getenv("XDG_STATE_HOME"); state != nullptr && *state == '/')
        return std::string(state) + "/skelvo/journal.jsonl";
    if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0')
        return std::string(home) + "/.local/state/skelvo/journal.jsonl";
    return {};
#endif
}

Journal::~Journal() {
    {
        std::lock_guard lock(m_lock);
        m_stop = true;
    }
    m_changed.notify_all();
    if (m_writer.joinable())
        m_writer.join();
}

bool Journal::Open(const std::string& path, std::string& error) {
    if (path.empty()) {
        error = "no place for the journal is known (set XDG_STATE_HOME or HOME, or give --journal FILE)";
        return false;
    }
    std::error_code made;
    const std::filesystem::path folder = std::filesystem::path(path).parent_path();
    if (!folder.empty())
        std::filesystem::create_directories(folder, made);
    if (!m_log.Open(path, error, "the journal"))
        return false;
    m_writer = std::thread([this] { Write(); });
    return true;
}

std::uint64_t Journal::Enqueue(const nlohmann::ordered_json& record) {
    std::lock_guard lock(m_lock);
    m_pending.push_back(JsonText(record));
    return ++m_queued;
}

bool Journal::Record(const nlohmann::ordered_json& record) {
    if (!IsOpen())
        return false;
    const std::uint64_t mine = Enqueue(record);
    m_changed.notify_all();
    std::unique_lock lock(m_lock);
    m_changed.wait(lock, [&] { return m_written >= mine || m_stop; });
    return m_written >= mine && mine < m_failedAfter;
}

void Journal::Post(const nlohmann::ordered_json& record) {
    if (!IsOpen())
        return;
    Enqueue(record);
    m_changed.notify_all();
}

void Journal::Write() {
    std::unique_lock lock(m_lock);
    for (;;) {
        m_changed.wait(lock, [this] { return m_stop || !m_pending.empty(); });
        if (m_pending.empty() && m_stop)
            return;
        std::vector<std::string> batch = std::exchange(m_pending, {});
        const std::uint64_t upTo = m_queued;
        lock.unlock();
        const bool ok = m_log.Append(batch);
        lock.lock();
        if (!ok) {
            m_failedAfter = std::min(m_failedAfter, upTo - batch.size() + 1);
            TraceMessage("Error: the journal \"%s\" cannot be written\n",
                         PrintableText(m_log.path()).c_str());
        }
        m_written = upTo;
        m_changed.notify_all();
    }
}

bool JournalEntry::Reached(std::string_view which) const {
    return std::find(states.begin(), states.end(), which) != states.end();
}

JournalRead ReadJournal(const std::string& path) {
    JournalRead read;
    std::error_code missing;
    if (!std::filesystem::exists(path, missing))
        return read;
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        read.readable = false;
        return read;
    }
    std::map<std::string, std::size_t> byId;
    std::string line;
    std::size_t number = 0;
    while (std::getline(in, line)) {
        ++number;
        if (line.empty())
            continue;
        nlohmann::json record = nlohmann::json::parse(line, nullptr, false);
        if (record.is_discarded() || !record.is_object() || !record.contains("id") ||
            !record.contains("state") || !record["id"].is_string() || !record["state"].is_string()) {
            read.warnings.push_back(
                "line " + std::to_string(number) + " of the journal \"" + PrintableText(path) +
                "\" is not a whole record (a write cut short by a crash?); it is skipped");
            continue;
        }
        const std::string id = record["id"];
        const std::string recorded = record["state"];
        auto it = byId.find(id);
        if (it == byId.end()) {
            if (recorded != kStateCommanding) {
                read.warnings.push_back("line " + std::to_string(number) + " continues an attempt (" + id +
                                        ") that the journal does not begin; it is skipped");
                continue;
            }
            it = byId.emplace(id, read.entries.size()).first;
            JournalEntry entry;
            entry.id = id;
            entry.first = record;
            read.entries.push_back(std::move(entry));
        }
        JournalEntry& entry = read.entries[it->second];
        entry.state = recorded;
        entry.states.push_back(recorded);
        entry.lastTime = record.value("time", "");
        if (recorded == kStateEnd)
            entry.end = record;
    }
    return read;
}

std::optional<std::size_t> PruneJournal(const std::string& path, int days, std::string& error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = "cannot read the journal \"" + PrintableText(path) + "\": " + std::strerror(errno);
        return std::nullopt;
    }
    std::vector<std::string> lines;
    std::map<std::string, std::optional<long long>> endedAt; // id -> the end's time
    std::string line;
    while (std::getline(in, line)) {
        lines.push_back(line);
        const nlohmann::json record = nlohmann::json::parse(line, nullptr, false);
        if (record.is_object() && record.value("state", "") == kStateEnd && record.contains("id"))
            endedAt[record.value("id", "")] = EpochSeconds(record.value("time", ""));
    }
    in.close();
    const long long now = static_cast<long long>(std::time(nullptr));
    const long long oldest = now - static_cast<long long>(days) * 86400;
    std::set<std::string> dropped;
    for (const auto& [id, at] : endedAt)
        if (at && *at < oldest)
            dropped.insert(id);
    std::string kept;
    for (const std::string& l : lines) {
        const nlohmann::json record = nlohmann::json::parse(l, nullptr, false);
        // A line that is not a record is kept as it is: pruning judges only what it can read.
        if (record.is_object() && dropped.count(record.value("id", "")) != 0)
            continue;
        kept += l + "\n";
    }
    const std::string temporary = path + ".prune";
    {
        DurableLog out;
        std::filesystem::remove(temporary);
        if (!out.Open(temporary, error, "the journal's new copy"))
            return std::nullopt;
        if (!kept.empty()) {
            kept.pop_back();
            if (!out.Append(std::vector<std::string>{kept})) {
                error = "cannot write \"" + PrintableText(temporary) + "\"";
                return std::nullopt;
            }
        }
    }
    std::error_code failed;
    std::filesystem::rename(temporary, path, failed);
    if (failed) {
        error = "cannot replace the journal \"" + PrintableText(path) + "\": " + failed.message();
        return std::nullopt;
    }
    return dropped.size();
}

nlohmann::ordered_json JournalRecord(const std::string& id, const std::string& host, std::string_view state) {
    nlohmann::ordered_json record = nlohmann::ordered_json::object();
    record["time"] = UtcTimestamp();
    record["id"] = id;
    record["host"] = host;
    record["state"] = std::string(state);
    return record;
}

nlohmann::ordered_json JournalEnd(const std::string& id, const std::string& host, const std::string& result,
                                  int exitCode, const std::string& reason) {
    nlohmann::ordered_json record = JournalRecord(id, host, kStateEnd);
    record["result"] = result;
    record["exit_code"] = exitCode;
    if (!reason.empty())
        record["reason"] = reason;
    return record;
}

std::optional<std::string> JournalSink::IdOf(const DeviceUpgrade& d) {
    std::lock_guard lock(m_lock);
    if (auto it = m_ids.find(&d); it != m_ids.end())
        return it->second;
    return std::nullopt;
}

bool JournalSink::Commanding(const DeviceUpgrade& d) {
    const HostResult r = d.result();
    const std::string id = NewId();
    nlohmann::ordered_json record = JournalRecord(id, d.host(), kStateCommanding);
    record["address"] = d.address() ? d.address()->ToString() : std::string();
    record["http_port"] = d.target().httpPort;
    record["tftp_port"] = m_settings.tftpPort;
    record["model"] = r.model;
    record["type"] = d.type();
    record["old_version"] = d.currentVersion();
    record["new_version"] = r.newVersion.value_or("");
    record["image_source"] = r.imageSource;
    if (const char* builtin = BuiltinImageName(d.type());
        builtin != nullptr && m_settings.userImage == nullptr)
        record["image_name"] = builtin;
    record["image_sha256"] = r.imageSha256.value_or("");
    record["rescue_command"] = RescueCommandLine(d.host(), d.type(), m_settings.imagePath,
                                                 m_settings.tftpPort, !m_settings.tftp.negotiateOptions);
    record["tool_version"] = SKELVO_VERSION;
    if (!m_journal.Record(record))
        return false;
    {
        std::lock_guard lock(m_lock);
        m_ids[&d] = id;
    }
    return m_inner.Commanding(d);
}

void JournalSink::Event(const DeviceUpgrade& d, const DeviceEvent& e) {
    if (!e.error && e.code == STATUS_COMMAND_ACCEPTED)
        if (const auto id = IdOf(d))
            m_journal.Post(JournalRecord(*id, d.host(), kStateCommanded));
    m_inner.Event(d, e);
}

void JournalSink::Reached(const DeviceUpgrade& d, Phase phase) {
    if (const auto id = IdOf(d)) {
        switch (phase) {
        case Phase::Verify:
            m_journal.Post(JournalRecord(*id, d.host(), kStateVerifying));
            break;
        case Phase::Erase:
            m_journal.Post(JournalRecord(*id, d.host(), kStateVerified));
            m_journal.Post(JournalRecord(*id, d.host(), kStateErasing));
            break;
        case Phase::Program:
            m_journal.Post(JournalRecord(*id, d.host(), kStateProgramming));
            break;
        default:
            break;
        }
    }
    m_inner.Reached(d, phase);
}

void JournalSink::End(const DeviceUpgrade& d, const HostResult& r) {
    std::optional<std::string> id;
    {
        std::lock_guard lock(m_lock);
        if (auto it = m_ids.find(&d); it != m_ids.end()) {
            id = it->second;
            m_ids.erase(it);
        }
    }
    if (!id)
        return;
    if (r.rescue) {
        // The device may be left without firmware: its record stays open for recover to settle.
        nlohmann::ordered_json record = JournalRecord(*id, d.host(), kStateStranded);
        record["result"] = r.result;
        record["exit_code"] = r.exitCode;
        record["reason"] = r.reason;
        m_journal.Record(record);
        return;
    }
    m_journal.Record(JournalEnd(*id, d.host(), r.result, r.exitCode, r.reason));
}

void JournalSink::Retrying(const DeviceUpgrade& d, const HostResult& failed,
                           std::chrono::milliseconds delay) {
    End(d, failed);
    m_inner.Retrying(d, failed, delay);
}

void JournalSink::Finished(const DeviceUpgrade& d, const HostResult& r) {
    End(d, r);
    m_inner.Finished(d, r);
}

} // namespace skelvo::upgrade
