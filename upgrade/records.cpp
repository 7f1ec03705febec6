#include "upgrade/records.h"

#include "engine/trace.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <mutex>
#include <system_error>

#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

namespace skelvo::upgrade {

std::string JsonText(const nlohmann::ordered_json& value) {
    const std::string text = value.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
    // JSON leaves DEL and the C1 controls (U+0080 to U+009F, two bytes in UTF-8) unescaped, but a
    // terminal obeys them. They occur only inside strings, where an escape is valid too.
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        const auto next = i + 1 < text.size() ? static_cast<unsigned char>(text[i + 1]) : 0u;
        unsigned control = 0;
        if (c == 0x7F)
            control = c;
        else if (c == 0xC2 && next >= 0x80 && next <= 0x9F)
            control = next;
        if (control == 0) {
            out += text[i];
            continue;
        }
        char escape[8];
        std::snprintf(escape, sizeof escape, "\\u%04x", control);
        out += escape;
        i += c == 0xC2 ? 1 : 0;
    }
    return out;
}

JsonLine& JsonLine::Add(std::string_view key, std::string_view value) {
    m_object[std::string(key)] = std::string(value);
    return *this;
}

JsonLine& JsonLine::Add(std::string_view key, const char* value) {
    if (value == nullptr)
        return AddNull(key);
    return Add(key, std::string_view(value));
}

JsonLine& JsonLine::Add(std::string_view key, long long value) {
    m_object[std::string(key)] = value;
    return *this;
}

JsonLine& JsonLine::Add(std::string_view key, bool value) {
    m_object[std::string(key)] = value;
    return *this;
}

JsonLine& JsonLine::AddNull(std::string_view key) {
    m_object[std::string(key)] = nullptr;
    return *this;
}

JsonLine& JsonLine::Add(std::string_view key, const std::optional<std::string>& value) {
    if (!value)
        return AddNull(key);
    return Add(key, std::string_view(*value));
}

JsonLine& JsonLine::Add(std::string_view key, const std::optional<long long>& value) {
    if (!value)
        return AddNull(key);
    return Add(key, *value);
}

std::string JsonLine::Text() const {
    return JsonText(m_object);
}

void JsonLine::Write(std::FILE* out) const {
    nlohmann::ordered_json stamped = nlohmann::ordered_json::object();
    stamped["time"] = UtcTimestamp();
    for (const auto& [key, value] : m_object.items())
        stamped[key] = value;
    std::string line = JsonText(stamped) + "\n";
    std::fwrite(line.data(), 1, line.size(), out);
    std::fflush(out);
}

std::string UtcTimestamp(std::chrono::system_clock::time_point when) {
    const auto ms = std::chrono::time_point_cast<std::chrono::milliseconds>(when);
    const std::time_t seconds = std::chrono::system_clock::to_time_t(ms);
    const long long millis = (ms.time_since_epoch() % std::chrono::seconds(1)).count();
    std::tm parts{};
#if defined(_WIN32)
    gmtime_s(&parts, &seconds);
#else
    gmtime_r(&seconds, &parts);
#endif
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &parts);
    // Room for any long long, though the value is always below 1000.
    char fraction[32];
    std::snprintf(fraction, sizeof fraction, ".%03lldZ", millis < 0 ? 0 : millis);
    return std::string(text) + fraction;
}

void AddPassFields(JsonLine& line, const HostResult& r) {
    auto add = [&line](const char* key, const std::optional<long long>& ms) {
        if (ms)
            line.Add(key, *ms);
        else
            line.AddNull(key);
    };
    add("verify_ms", r.verifyMs);
    add("erase_ms", r.eraseMs);
    add("program_ms", r.programMs);
}

void AddOutcomeFields(JsonLine& line, const HostResult& r) {
    if (r.queuedMs)
        line.Add("queued_ms", *r.queuedMs);
    if (!r.reason.empty())
        line.Add("reason", r.reason);
    if (r.note)
        line.Add("note", *r.note);
    line.Add("result", r.result).Add("exit_code", r.exitCode);
    if (r.commandStatus)
        line.Add("command_status", *r.commandStatus);
    if (r.phase)
        line.Add("phase", *r.phase);
    if (r.rescue)
        line.Add("rescue_command", *r.rescue);
    if (r.attempt > 1 || r.retryInMs)
        line.Add("attempt", r.attempt);
    if (r.retryInMs)
        line.Add("retry_in_ms", *r.retryInMs);
}

std::string AuditRecord(const HostResult& r) {
    JsonLine line;
    line.Add("time", r.startTime.empty() ? UtcTimestamp() : r.startTime)
        .Add("duration_ms", r.durationMs)
        .Add("tool_version", SKELVO_VERSION)
        .Add("host", r.host)
        .Add("address", r.address)
        .Add("model", r.model)
        .Add("image_source", r.imageSource)
        .Add("image_sha256", r.imageSha256)
        .Add("old_version", r.oldVersion)
        .Add("new_version", r.newVersion)
        .Add("version_after_reboot", r.versionAfterReboot);
    AddPassFields(line, r);
    AddOutcomeFields(line, r);
    return line.Text();
}

DurableLog::~DurableLog() {
    if (m_fd < 0)
        return;
#if defined(_WIN32)
    _close(m_fd);
#else
    ::close(m_fd);
#endif
}

bool DurableLog::Open(const std::string& path, std::string& error, std::string_view what) {
#if defined(_WIN32)
    m_fd = _open(path.c_str(), _O_WRONLY | _O_CREAT | _O_APPEND | _O_BINARY, _S_IREAD | _S_IWRITE);
#else
    std::error_code ignored;
    const bool existed = std::filesystem::exists(path, ignored);
    m_fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
#endif
    if (m_fd < 0) {
        error = "cannot open " + std::string(what) + (what.empty() ? "" : " ") + "\"" + PrintableText(path) +
                "\" for appending: " + std::strerror(errno);
        return false;
    }
    m_path = path;
#if !defined(_WIN32)
    // A new file's name lives in its folder: without the folder's flush a crash can lose the file
    // with everything in it.
    if (!existed) {
        std::filesystem::path folder = std::filesystem::path(path).parent_path();
        if (folder.empty())
            folder = ".";
        const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (dir >= 0) {
            ::fsync(dir);
            ::close(dir);
        }
    }
#endif
    return true;
}

bool DurableLog::Append(std::string_view line) {
    return Append(std::vector<std::string>{std::string(line)});
}

bool DurableLog::Append(const std::vector<std::string>& lines) {
    if (m_fd < 0)
        return false;
    std::string text;
    for (const std::string& line : lines)
        text += line + '\n';
#if defined(_WIN32)
    const long long written = _write(m_fd, text.data(), static_cast<unsigned>(text.size()));
    const bool synced = _commit(m_fd) == 0;
#else
    const long long written = ::write(m_fd, text.data(), text.size());
    const bool synced = ::fsync(m_fd) == 0;
#endif
    return written == static_cast<long long>(text.size()) && synced;
}

void AuditLog::Write(const HostResult& r) {
    if (!m_log.IsOpen())
        return;
    if (!m_log.Append(AuditRecord(r)))
        std::fprintf(stderr, "skelvo-cli upgrade: cannot write the audit log \"%s\"\n",
                     PrintableText(m_log.path()).c_str());
}

} // namespace skelvo::upgrade
