#include "cli/device_cli.h"

#include "engine/trace.h"
#include "engine/upgrade_record.h"
#include "tftp/tftp_callbacks.h"
#include "tftp/tftp_server.h"

#if defined(_WIN32)
#include <winsock2.h>
#endif

#include <cerrno>
#include <ctime>
#include <fstream>
#include <iostream>

namespace skelvo::cli {

const char kExitCodeHelp[] = "exit codes:\n"
                             "   0  the upgrade is complete (probe: the device type is known)\n"
                             "   1  another failure\n"
                             "   2  usage error or bad input\n"
                             "   3  the TFTP port cannot be bound\n"
                             "   4  the device cannot be resolved, reached or read over HTTP\n"
                             "   5  the device names no known server type\n"
                             "   6  the device rejected the login\n"
                             "   7  the device never asked for the image\n"
                             "   8  the image transfer failed\n"
                             "   9  the device did not come back with the new version (--verify-reboot,\n"
                             "      or after a programming download whose end it never acknowledged)\n"
                             "  10  the upgrade was not confirmed\n"
                             "  11  the device verified the image but did not ask for it again, and\n"
                             "      no longer answers: it may have failed while erasing\n"
                             "  12  the device rejected the image: it did not ask for it again and still\n"
                             "      answers with its old version (its flash is intact)\n"
                             "  13  the device refused the upgrade command (an HTTP status 4xx or 5xx)\n"
                             "  14  the device runs a newer version than the image (see --allow-older)\n"
                             "  15  the device's version cannot be read (see --allow-reinstall, --force)\n"
                             " 130  interrupted (SIGINT; 143 SIGTERM, 129 SIGHUP): before the upgrade\n"
                             "      command nothing more is sent; after it, the first signal lets the\n"
                             "      upgrade finish and a second abandons the device\n"
                             "A device already at the image's version is left alone, and that counts\n"
                             "as success. With several hosts the code is that of the first host (in\n"
                             "the order given) that failed; 0 when every one is complete or up to date.\n";

const char* ModelName(int serverType) {
    switch (serverType) {
    case SERVER_TOLVA:
        return "Tolva (other model)";
    case SERVER_DRAVENHOLT:
        return "Dravenholt II";
    case SERVER_TOLVA_21XX:
        return "Tolva 21xx";
    case SERVER_TOLVA_22XX:
        return "Tolva 22xx";
    case SERVER_USER_FILE:
        return "user file";
    default:
        return "unknown";
    }
}

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

namespace {

std::string FirstLine(std::istream& in) {
    std::string line;
    std::getline(in, line);
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    return line;
}

} // namespace

std::optional<std::string> ReadPassword(const PasswordSource& source, std::string& error) {
    std::string password;
    if (source.fromStdin && !source.file.empty()) {
        error = "--password-stdin and --password-file exclude each other";
        return std::nullopt;
    }
    if (source.fromStdin) {
        if (!std::cin.good()) {
            error = "no password on standard input";
            return std::nullopt;
        }
        password = FirstLine(std::cin);
    } else if (!source.file.empty()) {
        std::ifstream in(source.file, std::ios::binary);
        if (!in) {
            error = "cannot read the password file \"" + source.file + "\"";
            return std::nullopt;
        }
        password = FirstLine(in);
    } else if (const char* env = std::getenv("SKELVO_PASSWORD")) {
        password = env;
    } else {
        password = kDefaultPassword;
    }
    if (password.size() >= kPasswordSize) {
        error = "the password is longer than " + std::to_string(kPasswordSize - 1) + " characters";
        return std::nullopt;
    }
    return password;
}

namespace {

EventMonitor* g_monitor = nullptr;
thread_local ThreadEvents* t_events = nullptr;

void Deliver(const CliEvent& e) {
    if (t_events != nullptr)
        t_events->Add(e);
    else if (g_monitor != nullptr)
        g_monitor->Add(e);
}

int OnError(int code, void*) {
    Deliver(CliEvent{CliEvent::Error, code});
    return 1;
}

int OnStatus(int code, void* info) {
    CliEvent e{CliEvent::Status, code};
    if (code == STATUS_PROGRESS && info != nullptr) {
        const auto* p = static_cast<const ProgressInfo*>(info);
        e.sent = p->Sent;
        e.total = p->Total;
    } else if (code == STATUS_COMPLETE && info != nullptr) {
        e.unconfirmed = static_cast<const CompletionInfo*>(info)->FinalAckReceived == 0;
    }
    Deliver(e);
    return 1;
}

} // namespace

ThreadEvents::ThreadEvents(std::string host) : m_host(std::move(host)), m_outer(t_events) {
    t_events = this;
}

ThreadEvents::~ThreadEvents() {
    t_events = m_outer;
}

void ThreadEvents::Add(const CliEvent& e) {
    m_events.push_back(e);
    m_events.back().at = std::chrono::steady_clock::now();
}

std::optional<CliEvent> ThreadEvents::FirstError() const {
    for (const CliEvent& e : m_events)
        if (e.kind == CliEvent::Error)
            return e;
    return std::nullopt;
}

std::string ThreadEvents::CurrentHost() {
    return t_events != nullptr ? t_events->m_host : std::string();
}

EventMonitor::EventMonitor() : m_lastEvent(std::chrono::steady_clock::now()) {
    g_monitor = this;
    RegisterTftpCallbacks(&CheckFilename, &ReadImageBlock, nullptr, &OnError, &OnStatus);
}

EventMonitor::~EventMonitor() {
    g_TftpCallbacks.ErrorHandler = nullptr;
    g_TftpCallbacks.StatusHandler = nullptr;
    g_monitor = nullptr;
}

void EventMonitor::SetListener(Listener listener) {
    std::lock_guard lock(m_lock);
    m_listener = std::move(listener);
}

void EventMonitor::SetMuted(bool muted) {
    std::lock_guard lock(m_lock);
    m_muted = muted;
}

void EventMonitor::Clear() {
    std::lock_guard lock(m_lock);
    m_events.clear();
    m_workerEnded = false;
    m_lastEvent = std::chrono::steady_clock::now();
}

std::vector<CliEvent> EventMonitor::Events() const {
    std::lock_guard lock(m_lock);
    return m_events;
}

std::optional<CliEvent> EventMonitor::FirstError() const {
    std::lock_guard lock(m_lock);
    for (const auto& e : m_events)
        if (e.kind == CliEvent::Error)
            return e;
    return std::nullopt;
}

bool EventMonitor::Has(CliEvent::Kind kind, int code) const {
    std::lock_guard lock(m_lock);
    for (const auto& e : m_events)
        if (e.kind == kind && e.code == code)
            return true;
    return false;
}

bool EventMonitor::WaitUntil(const std::function<bool(const std::vector<CliEvent>&)>& pred,
                             std::chrono::steady_clock::time_point deadline) const {
    std::unique_lock lock(m_lock);
    m_changed.wait_until(lock, deadline, [&] { return m_workerEnded || pred(m_events); });
    return pred(m_events);
}

std::chrono::steady_clock::time_point EventMonitor::LastEventTime() const {
    std::lock_guard lock(m_lock);
    return m_lastEvent;
}

void EventMonitor::Add(const CliEvent& event) {
    CliEvent e = event;
    e.at = std::chrono::steady_clock::now();
    Listener listener;
    {
        std::lock_guard lock(m_lock);
        if (m_muted)
            return;
        listener = m_listener;
    }
    // The listener prints on the raising thread before the event counts as seen, so a waiting
    // thread never reports an end before the step that led to it is on screen.
    if (listener)
        listener(e);
    {
        std::lock_guard lock(m_lock);
        m_events.push_back(e);
        m_lastEvent = e.at;
    }
    m_changed.notify_all();
}

void EventMonitor::WorkerEnded(int) {
    {
        std::lock_guard lock(m_lock);
        m_workerEnded = true;
    }
    m_changed.notify_all();
}

void EventMonitor::Wake() {
    // Taking the lock orders the waker's change before the waiter's next look.
    { std::lock_guard lock(m_lock); }
    m_changed.notify_all();
}

bool EventMonitor::HasWorkerEnded() const {
    std::lock_guard lock(m_lock);
    return m_workerEnded;
}

std::string OneLineText(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\n') {
            out += text[i];
        } else if (i == 0 || text[i - 1] != '\n') {
            out += ' ';
        }
    }
    return out;
}

std::string TftpPortHint(std::uint16_t port, int error) {
#if defined(_WIN32)
    const bool denied = error == WSAEACCES;
    const bool taken = error == WSAEADDRINUSE;
#else
    const bool denied = error == EACCES;
    const bool taken = error == EADDRINUSE;
#endif
    const std::string number = std::to_string(port);
    if (denied)
        return "UDP port " + number +
               " needs privilege: run as root, or grant it once with\n"
               "  setcap cap_net_bind_service=+ep <path of skelvo-cli>";
    if (taken)
        return "another program holds UDP port " + number;
    return {};
}

std::string PortFailure(std::uint16_t port, int error) {
    std::string text = "the TFTP port " + std::to_string(port) + " cannot be bound";
    if (std::string hint = TftpPortHint(port, error); !hint.empty())
        text += ": " + hint;
    return text;
}

void RouteTrace(bool show, bool json, std::function<std::string(std::string_view)> hostOf) {
    if (!show) {
        SetTraceSink([](std::string_view) {});
    } else if (json) {
        SetTraceSink([hostOf = std::move(hostOf)](std::string_view text) {
            JsonLine line;
            line.Add("event", "trace");
            if (const std::string host = hostOf ? hostOf(text) : std::string(); !host.empty())
                line.Add("host", host);
            line.Add("text", text).Write(stdout);
        });
    } else {
        ResetTraceSink();
    }
}

} // namespace skelvo::cli
