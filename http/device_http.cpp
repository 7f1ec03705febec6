#include "http/device_http.h"

#include "engine/trace.h"
#include "engine/upgrade_record.h"
#include "tftp/tftp_callbacks.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <charconv>
#include <cstring>
#include <mutex>
#include <vector>

namespace {

constexpr std::string_view kProbeRequest = "GET / HTTP/1.0\r\n\r\n";
constexpr std::size_t kProbeChunkSize = 16384;
constexpr std::size_t kCommandChunkSize = 1024;
constexpr std::size_t kCommandBufferSize = 1024;
// Enough for any status line worth reading; a longer first line is cut there.
constexpr std::size_t kStatusLineRoom = 256;
// How long one wait lasts at most before the cancel is looked at again, where a shut-down socket
// does not wake it (a connect under Windows).
constexpr std::chrono::milliseconds kCancelLook{250};

using Clock = std::chrono::steady_clock;

struct Pattern {
    std::string_view text;
    int type;
};

// Order decides, not position: "Server: Tolva" is the leading part of the two model patterns and
// must come after them.
constexpr std::array<Pattern, 5> kPatterns{{
    {"Server: Dravenholt II", SERVER_DRAVENHOLT},
    {"Server: Vintrosphere", SERVER_DRAVENHOLT},
    {"Server: Tolva 21", SERVER_TOLVA_21XX},
    {"Server: Tolva 22", SERVER_TOLVA_22XX},
    {"Server: Tolva", SERVER_TOLVA},
}};
constexpr std::string_view kGenericTolva = "Server: Tolva";

// A chunk is read as C text: it ends at its first NUL.
std::string_view AsText(std::span<const std::uint8_t> bytes) {
    std::string_view all(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    std::size_t nul = all.find('\0');
    return nul == std::string_view::npos ? all : all.substr(0, nul);
}

// Appends a chunk's text to what was gathered before. A chunk that holds a NUL ends its text there,
// and the gathered text ends a line there too: nothing is matched across the cut.
void AppendText(std::string& gathered, std::span<const std::uint8_t> bytes) {
    const std::string_view text = AsText(bytes);
    gathered += text;
    if (text.size() < bytes.size())
        gathered += '\r';
}

bool IsAsciiLetter(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

// Fills the two "%s" places of a command format in order; any other character is copied as it is.
std::string FillFormat(std::string_view format, std::string_view first, std::string_view second) {
    std::string out;
    out.reserve(format.size() + first.size() + second.size());
    int filled = 0;
    for (std::size_t i = 0; i < format.size(); ++i) {
        if (format[i] == '%' && i + 1 < format.size() && format[i + 1] == 's' && filled < 2) {
            out += filled == 0 ? first : second;
            ++filled;
            ++i;
        } else {
            out += format[i];
        }
    }
    return out;
}

HttpCall DefaultCall(const char* host) {
    HttpCall call;
    call.host = host != nullptr ? host : "";
    return call;
}

// The exchange's events: to the call's own receiver, or to the handler table.
class Events {
  public:
    explicit Events(const HttpCall& call) : m_call(call) {}
    void Error(int code) const {
        if (m_call.events)
            m_call.events(true, code);
        else
            RaiseError(code);
    }
    void Status(int code) const {
        if (m_call.events)
            m_call.events(false, code);
        else
            RaiseStatus(code);
    }

  private:
    const HttpCall& m_call;
};

// How one receive of an exchange ended.
struct Received {
    net::RecvResult r;
    HttpFailure failure = HttpFailure::None; // Deadline, Cancelled, or Receive for r's failure
};

// A receive that ends at the exchange's deadline, or at once on its cancel, whatever socket
// time-outs the connection has.
Received BoundedRecv(net::Socket& socket, std::span<std::uint8_t> buffer, Clock::time_point deadline,
                     const HttpCancel* cancel, std::optional<std::chrono::milliseconds> receiveTimeout = {}) {
    Received out;
    // SO_RCVTIMEO bounds each receive of a connection that has it; the poll below must too.
    const auto receiveEnd = receiveTimeout ? Clock::now() + *receiveTimeout : Clock::time_point::max();
    for (;;) {
        if (cancel != nullptr && cancel->Requested()) {
            out.failure = HttpFailure::Cancelled;
            out.r.status = net::RecvStatus::Failed;
            out.r.error = net::TimeoutError();
            return out;
        }
        const auto now = Clock::now();
        if (now >= deadline || now >= receiveEnd) {
            out.failure = now >= deadline ? HttpFailure::Deadline : HttpFailure::Receive;
            out.r.status = net::RecvStatus::TimedOut;
            out.r.error = net::TimeoutError();
            return out;
        }
        const auto left = std::min(
            std::chrono::ceil<std::chrono::milliseconds>(std::min(deadline, receiveEnd) - now), kCancelLook);
        if (socket.WaitReadable(left))
            break;
        const int error = net::LastError();
        if (error != 0 && error != net::TimeoutError()) {
            out.failure = HttpFailure::Receive;
            out.r.status = net::RecvStatus::Failed;
            out.r.error = error;
            return out;
        }
    }
    out.r = socket.Recv(buffer);
    if (cancel != nullptr && cancel->Requested()) {
        out.failure = HttpFailure::Cancelled;
        out.r.status = net::RecvStatus::Failed;
    } else if (out.r.status == net::RecvStatus::TimedOut || out.r.status == net::RecvStatus::Failed) {
        out.failure = HttpFailure::Receive;
    }
    return out;
}

// Whether the gathered answer may still turn a generic Tolva into a model: the text after its
// last "Server: Tolva" is too short to tell " 21" or " 22" from anything else.
bool ModelMayFollow(std::string_view gathered) {
    const std::size_t at = gathered.rfind(kGenericTolva);
    return at != std::string_view::npos && gathered.size() - (at + kGenericTolva.size()) < 3;
}

} // namespace

// Registers a connection's socket with a cancel for as long as the exchange lasts.
class CancelScope {
  public:
    CancelScope(HttpCancel* cancel, net::Socket& socket) : m_cancel(cancel), m_socket(&socket) {
        if (m_cancel == nullptr)
            return;
        std::lock_guard lock(m_cancel->m_lock);
        if (m_cancel->m_requested)
            m_socket->Shutdown();
        m_cancel->m_open.push_back(m_socket);
    }
    ~CancelScope() {
        if (m_cancel == nullptr)
            return;
        std::lock_guard lock(m_cancel->m_lock);
        auto& open = m_cancel->m_open;
        open.erase(std::remove(open.begin(), open.end(), m_socket), open.end());
    }
    CancelScope(const CancelScope&) = delete;
    CancelScope& operator=(const CancelScope&) = delete;

  private:
    HttpCancel* m_cancel;
    net::Socket* m_socket;
};

void HttpCancel::Request() {
    std::lock_guard lock(m_lock);
    m_requested = true;
    for (net::Socket* socket : m_open)
        socket->Shutdown();
}

bool HttpCancel::Requested() const {
    std::lock_guard lock(m_lock);
    return m_requested;
}

std::string BoundText(HttpFailure failure, HttpExchange exchange, const HttpBounds& bounds) {
    const auto seconds = [](std::chrono::milliseconds ms) {
        return std::to_string(std::chrono::ceil<std::chrono::seconds>(ms).count());
    };
    const std::string kib = std::to_string(bounds.readCap / 1024);
    switch (failure) {
    case HttpFailure::Deadline:
        switch (exchange) {
        case HttpExchange::Probe:
            return "no complete answer within " + seconds(bounds.probe) + " s";
        case HttpExchange::Version:
            return "no complete answer to the version query within " + seconds(bounds.version) + " s";
        case HttpExchange::Command:
            return "no complete answer to the upgrade command within " + seconds(bounds.command) + " s";
        }
        break;
    case HttpFailure::Overflow:
        if (exchange == HttpExchange::Command)
            return "the device's web server sent " + kib +
                   " KiB in reply to the upgrade command without ending it";
        return "the device's web server sent " + kib + " KiB without a Server line";
    default:
        break;
    }
    return {};
}

DeviceConnection::DeviceConnection(net::Socket socket, net::Ipv4 peer)
    : m_socket(std::move(socket)), m_peer(peer), m_ownsStartup(true) {}

DeviceConnection::~DeviceConnection() {
    Close();
}

DeviceConnection::DeviceConnection(DeviceConnection&& other) noexcept
    : m_socket(std::move(other.m_socket)), m_peer(other.m_peer), m_ownsStartup(other.m_ownsStartup) {
    other.m_ownsStartup = false;
}

DeviceConnection& DeviceConnection::operator=(DeviceConnection&& other) noexcept {
    if (this != &other) {
        Close();
        m_socket = std::move(other.m_socket);
        m_peer = other.m_peer;
        m_ownsStartup = other.m_ownsStartup;
        other.m_ownsStartup = false;
    }
    return *this;
}

void DeviceConnection::Close() {
    m_socket.Close();
    if (m_ownsStartup) {
        m_ownsStartup = false;
        net::Cleanup();
    }
}

DeviceConnection ConnectToServer(const char* host, unsigned char wantTimeouts) {
    return ConnectToServer(DefaultCall(host), wantTimeouts);
}

DeviceConnection ConnectToServer(const HttpCall& call, unsigned char wantTimeouts, HttpFailure* failure) {
    HttpFailure ignored;
    HttpFailure& why = failure != nullptr ? *failure : ignored;
    why = HttpFailure::None;
    const Events events(call);
    if (call.cancel != nullptr && call.cancel->Requested()) {
        why = HttpFailure::Cancelled;
        return {};
    }
    net::StartupGuard startup;
    if (!startup.ok()) {
        events.Error(ERR_SOCKETS_SETUP);
        TraceTagged(call.traceTag, "Error in WSAStartup() call [errno=%d]\n", startup.error());
        why = HttpFailure::Setup;
        return {};
    }
    const std::string shown = PrintableText(call.host);
    TraceTagged(call.traceTag, "Resolving Varnek server %s.\n", shown.c_str());

    std::optional<net::Ipv4> address = net::ParseIpv4(call.host);
    if (!address)
        address = net::ResolveFirstIpv4(call.host);
    if (!address) {
        events.Error(ERR_RESOLVE);
        TraceTagged(call.traceTag, "ERROR: invalid network name %s.\n", shown.c_str());
        why = HttpFailure::Resolve;
        return {};
    }

    net::Socket socket = net::Socket::Tcp();
    if (!socket) {
        TraceTagged(call.traceTag, "Error in socket() call [errno=%d]\n", net::LastError());
        why = HttpFailure::Socket;
        return {};
    }
    if (wantTimeouts == 1) {
        if (!socket.SetRecvTimeout(kProbeTimeout) || !socket.SetSendTimeout(kProbeTimeout)) {
            int error = net::LastError();
            events.Error(ERR_TFTP_SOCKET);
            TraceTagged(call.traceTag, "Failed to set recv timeout: %d\n", error);
            why = HttpFailure::Socket;
            return {};
        }
    }
    bool connected;
    {
        CancelScope scope(call.cancel, socket);
        connected = socket.ConnectWithin(net::Endpoint{*address, call.port}, call.bounds.connect);
    }
    if (call.cancel != nullptr && call.cancel->Requested()) {
        why = HttpFailure::Cancelled;
        return {};
    }
    if (!connected) {
        int error = net::LastError();
        events.Error(ERR_CONNECT);
        TraceTagged(call.traceTag, "Error in connect() call [errno=%d]\n", error);
        why = HttpFailure::Connect;
        return {};
    }
    startup.release();
    return DeviceConnection(std::move(socket), *address);
}

int ClassifyChunk(std::string_view chunk) {
    std::size_t nul = chunk.find('\0');
    if (nul != std::string_view::npos)
        chunk = chunk.substr(0, nul);
    for (const auto& p : kPatterns)
        if (chunk.find(p.text) != std::string_view::npos)
            return p.type;
    return SERVER_UNKNOWN;
}

int DetectServerType(const char* host) {
    return DetectServer(DefaultCall(host)).type;
}

ServerDetection DetectServer(const HttpCall& call) {
    ServerDetection detection;
    const auto deadline = Clock::now() + call.bounds.probe;
    DeviceConnection connection = ConnectToServer(call, 1, &detection.failure);
    if (!connection)
        return detection;
    detection.reached = connection.peer();
    CancelScope scope(call.cancel, connection.socket());
    const Events events(call);

    TraceTagged(call.traceTag, "Trying to determing the server type.\n");
    if (connection.socket().Send(kProbeRequest) < 0) {
        int error = net::LastError();
        events.Error(ERR_SEND);
        TraceTagged(call.traceTag, "Error in send() call [errno=%d]\n", error);
        detection.failure = HttpFailure::Send;
        return detection;
    }
    // The answer as gathered so far, each chunk up to its first NUL: a header split between two
    // receives is still found.
    std::string gathered;
    std::vector<std::uint8_t> buffer(kProbeChunkSize);
    for (;;) {
        const Received got = BoundedRecv(connection.socket(), buffer, deadline, call.cancel, kProbeTimeout);
        if (got.failure == HttpFailure::Cancelled) {
            detection.failure = HttpFailure::Cancelled;
            return detection;
        }
        if (got.r.status == net::RecvStatus::Closed)
            return detection.type = ClassifyChunk(gathered), detection;
        if (got.r.status != net::RecvStatus::Data) {
            events.Error(ERR_RECEIVE);
            TraceTagged(call.traceTag, "Error in recv() call [errno=%d]\n", got.r.error);
            detection.failure = got.failure;
            return detection;
        }
        AppendText(gathered, std::span(buffer).first(got.r.size));
        const int type = ClassifyChunk(gathered);
        if (type != SERVER_UNKNOWN && !(type == SERVER_TOLVA && ModelMayFollow(gathered)))
            return detection.type = type, detection;
        if (gathered.size() >= call.bounds.readCap) {
            events.Error(ERR_RECEIVE);
            TraceTagged(call.traceTag, "Error: %lu bytes without a Server line\n",
                        static_cast<unsigned long>(gathered.size()));
            detection.type = type;
            detection.failure = HttpFailure::Overflow;
            return detection;
        }
    }
}

std::optional<std::string> ExtractVersion(std::string_view chunk, bool complete) {
    std::size_t nul = chunk.find('\0');
    if (nul != std::string_view::npos)
        chunk = chunk.substr(0, nul);
    std::size_t match = chunk.find("Server:");
    if (match == std::string_view::npos)
        return std::nullopt;
    std::size_t lineEnd = chunk.find('\r', match);
    if (lineEnd == std::string_view::npos) {
        if (!complete)
            return std::nullopt;
        lineEnd = chunk.size();
    }
    std::size_t slash = chunk.find('/', match);
    if (slash == std::string_view::npos || slash >= lineEnd)
        return std::string(kNotKnown);
    std::size_t begin = slash + 1;
    std::size_t end = lineEnd;
    // The device may append one build letter to its version ("6.2.1b"); only one is dropped.
    if (end > begin && IsAsciiLetter(chunk[end - 1]))
        --end;
    return std::string(chunk.substr(begin, end - begin));
}

std::optional<std::string> QueryServerVersion(const char* host) {
    return AskServerVersion(DefaultCall(host)).version;
}

VersionAnswer AskServerVersion(const HttpCall& call) {
    VersionAnswer answer;
    const auto deadline = Clock::now() + call.bounds.version;
    DeviceConnection connection = ConnectToServer(call, 0, &answer.failure);
    if (!connection)
        return answer;
    answer.reached = connection.peer();
    CancelScope scope(call.cancel, connection.socket());

    TraceTagged(call.traceTag, "Trying to determing the server version info.\n");
    if (connection.socket().Send(kProbeRequest) < 0) {
        TraceTagged(call.traceTag, "Error in send() call [errno=%d]\n", net::LastError());
        answer.version = kNotKnown;
        answer.failure = HttpFailure::Send;
        return answer;
    }
    std::string gathered;
    std::vector<std::uint8_t> buffer(kProbeChunkSize);
    for (;;) {
        const Received got = BoundedRecv(connection.socket(), buffer, deadline, call.cancel);
        if (got.r.status == net::RecvStatus::Closed) {
            const std::optional<std::string> version = ExtractVersion(gathered, true);
            answer.version = version ? PrintableText(*version) : std::string(kNotKnown);
            return answer;
        }
        if (got.r.status != net::RecvStatus::Data) {
            if (got.failure != HttpFailure::Cancelled)
                TraceTagged(call.traceTag, "Error in recv() call [errno=%d]\n", got.r.error);
            answer.version = kNotKnown;
            answer.failure = got.failure;
            return answer;
        }
        AppendText(gathered, std::span(buffer).first(got.r.size));
        if (std::optional<std::string> version = ExtractVersion(gathered, false)) {
            answer.version = PrintableText(*version);
            return answer;
        }
        if (gathered.size() >= call.bounds.readCap) {
            TraceTagged(call.traceTag, "Error: %lu bytes without a Server line\n",
                        static_cast<unsigned long>(gathered.size()));
            answer.version = kNotKnown;
            answer.failure = HttpFailure::Overflow;
            return answer;
        }
    }
}

std::string HttpStatusLine::Text() const {
    std::string text = std::to_string(code);
    if (!reason.empty())
        text += " " + reason;
    return text;
}

std::optional<HttpStatusLine> ParseStatusLine(std::string_view head) {
    std::string_view line = head.substr(0, std::min(head.find_first_of("\r\n"), head.size()));
    constexpr std::string_view kPrefix = "HTTP/";
    if (!line.starts_with(kPrefix))
        return std::nullopt;
    const std::size_t space = line.find(' ');
    if (space == std::string_view::npos || space == kPrefix.size())
        return std::nullopt;
    std::string_view rest = line.substr(space + 1);
    if (rest.size() < 3 || (rest.size() > 3 && rest[3] != ' '))
        return std::nullopt;
    int code = 0;
    auto [end, ec] = std::from_chars(rest.data(), rest.data() + 3, code);
    if (ec != std::errc() || end != rest.data() + 3 || code < 100 || code > 599)
        return std::nullopt;
    HttpStatusLine status;
    status.code = code;
    std::string_view reason = rest.size() > 4 ? rest.substr(4) : std::string_view();
    while (!reason.empty() && reason.back() == ' ')
        reason.remove_suffix(1);
    status.reason = PrintableText(reason);
    return status;
}

int StartFlashUpgrade() {
    return SendFlashUpgradeCommand(DefaultCall(g_TftpConfigData.HostName)).result;
}

CommandReply SendFlashUpgradeCommand(HttpCall call) {
    char format[256] = {};
    const char* chosen = g_TftpConfigData.DownloadTrace != 0 ? kCommandFormatTrace : kCommandFormat;
    std::strncpy(format, chosen, sizeof format - 1);
    call.host = g_TftpConfigData.HostName;
    return SendUpgradeCommand(call, g_TftpConfigData.LoginName, g_TftpConfigData.Password, format);
}

int SendServerCommand(const char* host, const char* login, const char* password, const char* format) {
    return SendUpgradeCommand(DefaultCall(host), login, password, format).result;
}

CommandReply SendUpgradeCommand(const HttpCall& call, const char* login, const char* password,
                                const char* format) {
    CommandReply reply;
    const auto deadline = Clock::now() + call.bounds.command;
    DeviceConnection connection = ConnectToServer(call, 0, &reply.failure);
    if (!connection)
        return reply;
    reply.reached = connection.peer();
    CancelScope scope(call.cancel, connection.socket());
    const Events events(call);
    const std::string credentials =
        EncodeCredentials(login != nullptr ? login : "", password != nullptr ? password : "");
    // A failed getsockname leaves the address at 0.0.0.0.
    net::Ipv4 local = net::kAnyAddress;
    if (auto ep = connection.socket().LocalEndpoint())
        local = ep->ip;
    std::string command = FillFormat(format != nullptr ? format : "", local.ToString(), credentials);
    if (command.size() >= kCommandBufferSize)
        command.resize(kCommandBufferSize - 1);

    TraceTagged(call.traceTag, "Sending TFTP request.\n");
    if (connection.socket().Send(command) < 0) {
        int error = net::LastError();
        events.Error(ERR_SEND);
        TraceTagged(call.traceTag, "Error in send() call [errno=%d]\n", error);
        reply.failure = HttpFailure::Send;
        return reply;
    }
    std::array<std::uint8_t, kCommandChunkSize> buffer{};
    // The reply as gathered so far, in lower case, so that a word split between two receives is
    // still found; and its first line, for the status.
    std::string gathered;
    std::string head;
    for (;;) {
        const Received got = BoundedRecv(connection.socket(), buffer, deadline, call.cancel);
        if (got.failure == HttpFailure::Cancelled) {
            // The command may have been taken: the caller decides what a stop means now.
            reply.result = 1;
            reply.status = ParseStatusLine(head);
            reply.failure = HttpFailure::Cancelled;
            return reply;
        }
        if (got.r.status == net::RecvStatus::Data) {
            std::string chunk;
            AppendText(chunk, std::span(buffer).first(got.r.size));
            if (head.size() < kStatusLineRoom && head.find('\n') == std::string::npos)
                head += chunk.substr(0, kStatusLineRoom - head.size());
            std::transform(chunk.begin(), chunk.end(), chunk.begin(), [](char c) {
                return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
            });
            gathered += chunk;
            if (gathered.find("unauthorized") != std::string::npos) {
                events.Error(ERR_LOGIN);
                TraceTagged(call.traceTag, "ERROR: server user name or password invalid\n");
                reply.status = ParseStatusLine(head);
                return reply;
            }
            if (gathered.size() < call.bounds.readCap)
                continue;
            reply.failure = HttpFailure::Overflow;
        } else if (got.r.status != net::RecvStatus::Closed) {
            reply.failure = got.failure;
        }
        if (reply.failure == HttpFailure::Overflow) {
            events.Error(ERR_RECEIVE);
            TraceTagged(call.traceTag, "Error: %lu bytes in reply to the upgrade command\n",
                        static_cast<unsigned long>(gathered.size()));
        } else if (reply.failure != HttpFailure::None) {
            events.Error(ERR_RECEIVE);
            TraceTagged(call.traceTag, "Error in recv() call [errno=%d]\n", got.r.error);
        }
        events.Status(STATUS_COMMAND_ACCEPTED);
        reply.result = 1;
        reply.status = ParseStatusLine(head);
        return reply;
    }
}

std::string EncodeBase64(std::string_view bytes) {
    static constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    std::size_t i = 0;
    for (; i + 3 <= bytes.size(); i += 3) {
        std::uint32_t v = (std::uint32_t{static_cast<unsigned char>(bytes[i])} << 16) |
                          (std::uint32_t{static_cast<unsigned char>(bytes[i + 1])} << 8) |
                          std::uint32_t{static_cast<unsigned char>(bytes[i + 2])};
        out += kAlphabet[(v >> 18) & 63];
        out += kAlphabet[(v >> 12) & 63];
        out += kAlphabet[(v >> 6) & 63];
        out += kAlphabet[v & 63];
    }
    std::size_t rest = bytes.size() - i;
    if (rest == 1) {
        std::uint32_t v = std::uint32_t{static_cast<unsigned char>(bytes[i])} << 16;
        out += kAlphabet[(v >> 18) & 63];
        out += kAlphabet[(v >> 12) & 63];
        out += "==";
    } else if (rest == 2) {
        std::uint32_t v = (std::uint32_t{static_cast<unsigned char>(bytes[i])} << 16) |
                          (std::uint32_t{static_cast<unsigned char>(bytes[i + 1])} << 8);
        out += kAlphabet[(v >> 18) & 63];
        out += kAlphabet[(v >> 12) & 63];
        out += kAlphabet[(v >> 6) & 63];
        out += '=';
    }
    return out;
}

std::string EncodeCredentials(std::string_view login, std::string_view password) {
    std::string text;
    text.reserve(login.size() + 1 + password.size());
    text += login;
    text += ':';
    text += password;
    return EncodeBase64(text);
}
