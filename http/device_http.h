// Device control over HTTP: short HTTP/1.0 exchanges with the device's built-in web server, each on
// its own TCP connection with its own counted socket start-up. The answers are never parsed as
// HTTP; each received chunk is searched on its own for a fixed text.
#pragma once

#include "net/net.h"

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

inline constexpr std::uint16_t kHttpPort = 80;

// The product always speaks to port 80; tests and the command line may choose another.
void SetHttpPort(std::uint16_t port);
std::uint16_t GetHttpPort();

// The probe's receive and send time-out (ConnectToServer with wantTimeouts 1).
inline constexpr std::chrono::milliseconds kProbeTimeout{5000};

// Bounds on each single receive of the version query and of the upgrade command, whose
// connections carry no socket time-outs. An expired wait takes the receive-failure path.
struct HttpWaitBounds {
    std::chrono::milliseconds versionReceive{10000};
    std::chrono::milliseconds commandReceive{60000};
};
void SetHttpWaitBounds(const HttpWaitBounds& bounds);
HttpWaitBounds GetHttpWaitBounds();

// One connected TCP socket to the device together with the counted start-up that goes with it.
// Closing order on every path: the socket first, then the clean-up.
class DeviceConnection {
  public:
    DeviceConnection() = default;
    DeviceConnection(net::Socket socket, net::Ipv4 peer);
    ~DeviceConnection();
    DeviceConnection(DeviceConnection&& other) noexcept;
    DeviceConnection& operator=(DeviceConnection&& other) noexcept;
    DeviceConnection(const DeviceConnection&) = delete;
    DeviceConnection& operator=(const DeviceConnection&) = delete;

    explicit operator bool() const { return m_socket.valid(); }
    net::Socket& socket() { return m_socket; }
    net::Ipv4 peer() const { return m_peer; }
    // Closes the socket and performs the clean-up now.
    void Close();

  private:
    net::Socket m_socket;
    net::Ipv4 m_peer;
    bool m_ownsStartup = false;
};

// Starts the sockets, resolves host (dotted IPv4 first, else the first address of the name) and
// connects to GetHttpPort(). wantTimeouts == 1 sets 5000 ms receive and send time-outs. On failure
// the event has been raised and the trace written, and an empty connection comes back.
DeviceConnection ConnectToServer(const char* host, unsigned char wantTimeouts);

// The device kind named by the Server header: SERVER_UNKNOWN (0) on any failure or when no
// known text is found, else SERVER_TOLVA, SERVER_DRAVENHOLT, SERVER_TOLVA_21XX, SERVER_TOLVA_22XX.
int DetectServerType(const char* host);
// The same, with the IPv4 address that the connection reached (the device's, as the TFTP server
// will see its requests come), when one was made.
struct ServerDetection {
    int type = 0;
    std::optional<net::Ipv4> reached;
};
ServerDetection DetectServer(const char* host);
// The probe's exchange on a connection made with wantTimeouts 1.
int ProbeServerType(DeviceConnection& connection);

// The first detection pattern found in one chunk (its bytes up to the first NUL), or 0.
int ClassifyChunk(std::string_view chunk);

// The device's firmware version from its Server header; "Not-Known" when none could be read;
// nothing when no connection could be made.
std::optional<std::string> QueryServerVersion(const char* host);
// The same, with the IPv4 address that the connection reached, when one was made.
struct VersionAnswer {
    std::optional<std::string> version;
    std::optional<net::Ipv4> reached;
};
VersionAnswer AskServerVersion(const char* host);
// The version query's exchange on a connection made with wantTimeouts 0: the version, or
// "Not-Known".
std::string ReadServerVersion(DeviceConnection& connection);

// The version in one chunk (its bytes up to the first NUL), or nothing when the chunk holds no
// "Server:". After the match: from just past the first "/" to the line's end (CR, else LF, else
// the chunk's end), one trailing ASCII letter dropped; no "/" before the line's end gives
// "Not-Known".
std::optional<std::string> ExtractVersion(std::string_view chunk);

inline constexpr char kNotKnown[] = "Not-Known";

// The two command formats, chosen by DownloadTrace. The first "%s" takes the PC's address as the
// device sees it, the second the Base64 credentials.
inline constexpr char kCommandFormat[] =
    "GET /config?if=image&ih=%s HTTP/1.0\r\nAuthorization: Basic %s\r\n\r\n";
inline constexpr char kCommandFormatTrace[] =
    "GET /config?if=image&ih=%s&id=1 HTTP/1.0\r\nAuthorization: Basic %s\r\n\r\n";

// The status line of an HTTP reply: "HTTP/1.0 503 Service Unavailable" is 503 and "Service
// Unavailable".
struct HttpStatusLine {
    int code = 0;
    std::string reason;       // as the device sent it, made safe for a terminal (PrintableText)
    std::string Text() const; // "503 Service Unavailable"
    bool operator==(const HttpStatusLine&) const = default;
};

// The status line at the start of a reply, up to its CR or LF or the end of `head`: "HTTP/", a
// version, a space, a code of three digits from 100 to 599, and optionally a space and the reason
// phrase. Nothing when `head` does not start so.
std::optional<HttpStatusLine> ParseStatusLine(std::string_view head);

// What the upgrade command came to: SendServerCommand's result, and the status line of the
// device's reply when one arrived (also with a rejected login, or when the connection then broke).
struct CommandReply {
    int result = 0;
    std::optional<HttpStatusLine> status;
    // The device's IPv4 address as the command's connection reached it: the TFTP server expects
    // the device's requests from there.
    std::optional<net::Ipv4> reached;
};

// Sends the upgrade command for HostName, LoginName, Password and DownloadTrace of
// g_TftpConfigData. The result of SendServerCommand.
int StartFlashUpgrade();
// The same command, with the status line of the reply.
CommandReply SendFlashUpgradeCommand();

// 1 once the command was sent and the device closed (or the connection failed) before the word
// "unauthorized" arrived, in any letter case; 0 when no connection could be made, the command
// could not be sent or the login was rejected. Only that word counts: a reply of any other status
// is still 1.
int SendServerCommand(const char* host, const char* login, const char* password, const char* format);
// The same exchange, with the status line of the reply.
CommandReply SendUpgradeCommand(const char* host, const char* login, const char* password,
                                const char* format);

// Base64 (RFC 4648, standard alphabet, padded, no line breaks) of "login:password".
std::string EncodeCredentials(std::string_view login, std::string_view password);
std::string EncodeBase64(std::string_view bytes);
