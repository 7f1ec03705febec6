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

namespace {

std::atomic<std::uint16_t> g_httpPort{kHttpPort};

std::mutex g_stateLock;
HttpWaitBounds g_waitBounds;

constexpr std::string_view kProbeRequest = "GET / HTTP/1.0\r\n\r\n";
constexpr std::size_t kProbeChunkSize = 16384;
constexpr std::size_t kCommandChunkSize = 1024;
constexpr std::size_t kCommandBufferSize = 1024;
// Enough for any status line worth reading; a longer first line is cut there.
constexpr std::size_t kStatusLineRoom = 256;

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

// A chunk is read as C text: it ends at its first NUL.
std::string_view AsText(std::span<const std::uint8_t> bytes) {
    std::string_view all(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    std::size_t nul = all.find('\0');
    return nul == std::string_view::npos ? all : all.substr(0, nul);
}

// A receive on a connection without socket time-outs, bounded all the same so that a silent
// device cannot hold the caller for ever. Expiry is reported as a failed receive.
net::RecvResult BoundedRecv(net::Socket& socket, std::span<std::uint8_t> buffer,
                            std::chrono::milliseconds bound) {
    if (!socket.WaitReadable(bound)) {
        net::RecvResult r;
        r.error = net::LastError();
        if (r.error == 0)
            r.error = net::TimeoutError();
        r.status = r.error == net::TimeoutError() ? net::RecvStatus::TimedOut : net::RecvStatus::Failed;
        return r;
    }
    return socket.Recv(buffer);
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

} // namespace

void SetHttpPort(std::uint16_t port) {
    g_httpPort.store(port);
}

std::uint16_t GetHttpPort() {
    return g_httpPort.load();
}

void SetHttpWaitBounds(const HttpWaitBounds& bounds) {
    std::lock_guard lock(g_stateLock);
    g_waitBounds = bounds;
}

HttpWaitBounds GetHttpWaitBounds() {
    std::lock_guard lock(g_stateLock);
    return g_waitBounds;
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
    net::StartupGuard startup;
    if (!startup.ok()) {
        RaiseError(ERR_SOCKETS_SETUP);
        TraceMessage("Error in WSAStartup() call [errno=%d]\n", startup.error());
        return {};
    }
    const std::string hostText = host != nullptr ? host : "";
    const std::string shown = PrintableText(hostText);
    TraceMessage("Resolving Varnek server %s.\n", shown.c_str());

    std::optional<net::Ipv4> address = net::ParseIpv4(hostText);
    if (!address)
        address = net::ResolveFirstIpv4(hostText);
    if (!address) {
        RaiseError(ERR_RESOLVE);
        TraceMessage("ERROR: invalid network name %s.\n", shown.c_str());
        return {};
    }

    net::Socket socket = net::Socket::Tcp();
    if (!socket) {
        TraceMessage("Error in socket() call [errno=%d]\n", net::LastError());
        return {};
    }
    if (wantTimeouts == 1) {
        if (!socket.SetRecvTimeout(kProbeTimeout) || !socket.SetSendTimeout(kProbeTimeout)) {
            int error = net::LastError();
            RaiseError(ERR_TFTP_SOCKET);
            TraceMessage("Failed to set recv timeout: %d\n", error);
            return {};
        }
    }
    if (!socket.Connect(net::Endpoint{*address, GetHttpPort()})) {
        int error = net::LastError();
        RaiseError(ERR_CONNECT);
        TraceMessage("Error in connect() call [errno=%d]\n", error);
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
    return DetectServer(host).type;
}

ServerDetection DetectServer(const char* host) {
    ServerDetection detection;
    DeviceConnection connection = ConnectToServer(host, 1);
    if (!connection)
        return detection;
    detection.reached = connection.peer();
    detection.type = ProbeServerType(connection);
    return detection;
}

int ProbeServerType(DeviceConnection& connection) {
    TraceMessage("Trying to determing the server type.\n");
    if (connection.socket().Send(kProbeRequest) < 0) {
        int error = net::LastError();
        RaiseError(ERR_SEND);
        TraceMessage("Error in send() call [errno=%d]\n", error);
        return SERVER_UNKNOWN;
    }
    std::vector<std::uint8_t> buffer(kProbeChunkSize);
    for (;;) {
        net::RecvResult r = connection.socket().Recv(buffer);
        if (r.status == net::RecvStatus::Closed)
            return SERVER_UNKNOWN;
        if (r.status != net::RecvStatus::Data) {
            RaiseError(ERR_RECEIVE);
            TraceMessage("Error in recv() call [errno=%d]\n", r.error);
            return SERVER_UNKNOWN;
        }
        int type = ClassifyChunk(AsText(std::span(buffer).first(r.size)));
        if (type != SERVER_UNKNOWN)
            return type;
    }
}

std::optional<std::string> ExtractVersion(std::string_view chunk) {
    std::size_t nul = chunk.find('\0');
    if (nul != std::string_view::npos)
        chunk = chunk.substr(0, nul);
    std::size_t match = chunk.find("Server:");
    if (match == std::string_view::npos)
        return std::nullopt;
    std::size_t lineEnd = chunk.find_first_of("\r\n", match);
    if (lineEnd == std::string_view::npos)
        lineEnd = chunk.size();
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
    return AskServerVersion(host).version;
}

VersionAnswer AskServerVersion(const char* host) {
    VersionAnswer answer;
    DeviceConnection connection = ConnectToServer(host, 0);
    if (!connection)
        return answer;
    answer.reached = connection.peer();
    answer.version = ReadServerVersion(connection);
    return answer;
}

std::string ReadServerVersion(DeviceConnection& connection) {
    TraceMessage("Trying to determing the server version info.\n");
    if (connection.socket().Send(kProbeRequest) < 0) {
        TraceMessage("Error in send() call [errno=%d]\n", net::LastError());
        return std::string(kNotKnown);
    }
    const auto bound = GetHttpWaitBounds().versionReceive;
    std::vector<std::uint8_t> buffer(kProbeChunkSize);
    for (;;) {
        net::RecvResult r = BoundedRecv(connection.socket(), buffer, bound);
        if (r.status == net::RecvStatus::Closed)
            return std::string(kNotKnown);
        if (r.status != net::RecvStatus::Data) {
            TraceMessage("Error in recv() call [errno=%d]\n", r.error);
            return std::string(kNotKnown);
        }
        std::optional<std::string> version = ExtractVersion(AsText(std::span(buffer).first(r.size)));
        if (version)
            return PrintableText(*version);
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
    return SendFlashUpgradeCommand().result;
}

CommandReply SendFlashUpgradeCommand() {
    char format[256] = {};
    const char* chosen = g_TftpConfigData.DownloadTrace != 0 ? kCommandFormatTrace : kCommandFormat;
    std::strncpy(format, chosen, sizeof format - 1);
    return SendUpgradeCommand(g_TftpConfigData.HostName, g_TftpConfigData.LoginName,
                              g_TftpConfigData.Password, format);
}

int SendServerCommand(const char* host, const char* login, const char* password, const char* format) {
    return SendUpgradeCommand(host, login, password, format).result;
}

CommandReply SendUpgradeCommand(const char* host, const char* login, const char* password,
                                const char* format) {
    CommandReply reply;
    DeviceConnection connection = ConnectToServer(host, 0);
    if (!connection)
        return reply;
    reply.reached = connection.peer();
    const std::string credentials =
        EncodeCredentials(login != nullptr ? login : "", password != nullptr ? password : "");
    // A failed getsockname leaves the address at 0.0.0.0.
    net::Ipv4 local = net::kAnyAddress;
    if (auto ep = connection.socket().LocalEndpoint())
        local = ep->ip;
    std::string command = FillFormat(format != nullptr ? format : "", local.ToString(), credentials);
    if (command.size() >= kCommandBufferSize)
        command.resize(kCommandBufferSize - 1);

    TraceMessage("Sending TFTP request.\n");
    if (connection.socket().Send(command) < 0) {
        int error = net::LastError();
        RaiseError(ERR_SEND);
        TraceMessage("Error in send() call [errno=%d]\n", error);
        return reply;
    }
    const auto bound = GetHttpWaitBounds().commandReceive;
    std::array<std::uint8_t, kCommandChunkSize> buffer{};
    // The reply's first line, gathered across receives. Only the status line is read as HTTP; the
    // login check still searches each chunk on its own.
    std::string head;
    for (;;) {
        net::RecvResult r = BoundedRecv(connection.socket(), buffer, bound);
        if (r.status == net::RecvStatus::Data) {
            std::string chunk(AsText(std::span(buffer).first(r.size)));
            if (head.size() < kStatusLineRoom && head.find('\n') == std::string::npos)
                head += chunk.substr(0, kStatusLineRoom - head.size());
            std::transform(chunk.begin(), chunk.end(), chunk.begin(), [](char c) {
                return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
            });
            if (chunk.find("unauthorized") != std::string::npos) {
                RaiseError(ERR_LOGIN);
                TraceMessage("ERROR: server user name or password invalid\n");
                reply.status = ParseStatusLine(head);
                return reply;
            }
            continue;
        }
        if (r.status != net::RecvStatus::Closed) {
            RaiseError(ERR_RECEIVE);
            TraceMessage("Error in recv() call [errno=%d]\n", r.error);
        }
        RaiseStatus(STATUS_COMMAND_ACCEPTED);
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
