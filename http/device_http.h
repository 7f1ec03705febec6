// Device control over HTTP: short HTTP/1.0 exchanges with the device's built-in web server, each on
// its own TCP connection with its own counted socket start-up. The answers are never parsed as
// HTTP; the bytes gathered so far are searched for a fixed text.
//
// Every exchange is bounded three ways: a deadline for the exchange as a whole, a cap on the bytes
// read while the text is looked for, and a cancel that ends it at once. What an exchange needs
// (the address, the port, its bounds, where its events and trace lines go) it takes in an
// HttpCall; the functions that take only a host name use the defaults: port 80, the handler
// table, untagged trace lines.
#pragma once

#include "net/net.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

inline constexpr std::uint16_t kHttpPort = 80;

// The probe's receive and send time-out (ConnectToServer with wantTimeouts 1).
inline constexpr std::chrono::milliseconds kProbeTimeout{5000};

struct HttpBounds {
    std::chrono::milliseconds connect{5000};
    // Each exchange as a whole, from the start of its connect to its last byte.
    std::chrono::milliseconds probe{15000};
    std::chrono::milliseconds version{15000};
    std::chrono::milliseconds command{60000};
    // What is read while the Server line, or the word "unauthorized", is looked for.
    std::size_t readCap = 64 * 1024;
};

// Ends the exchanges that hold it at once, from any thread: their sockets are shut down, which
// wakes their waits, and an exchange that starts later ends before it connects.
class HttpCancel {
  public:
    HttpCancel() = default;
    HttpCancel(const HttpCancel&) = delete;
    HttpCancel& operator=(const HttpCancel&) = delete;
    void Request();
    bool Requested() const;

  private:
    friend class CancelScope;
    mutable std::mutex m_lock;
    bool m_requested = false;
    std::vector<net::Socket*> m_open;
};

// One exchange's value: whom it talks to and where its events go.
struct HttpCall {
    std::string host;
    std::uint16_t port = kHttpPort;
    HttpBounds bounds;
    HttpCancel* cancel = nullptr;
    // The exchange's events; empty: the handler table (RaiseError, RaiseStatus).
    std::function<void(bool error, int code)> events;
    // Put before each of the exchange's trace lines ("192.0.2.7: "); empty: none.
    std::string traceTag;
};

// Why an exchange ended without its answer, beyond what its events say.
enum class HttpFailure {
    None,
    Setup,     // the socket start-up failed
    Resolve,   // the name cannot be resolved
    Socket,    // no socket, or its options could not be set
    Connect,   // refused, unreachable, or no connection within the connect bound
    Send,      // the request could not be sent
    Receive,   // a receive failed (a reset, a receive time-out)
    Deadline,  // the exchange outlived its deadline
    Overflow,  // the read cap was reached before the text
    Cancelled, // HttpCancel::Request()
};

enum class HttpExchange { Probe, Version, Command };

// What a bound that broke means, in words for the user: "no complete answer within 15 s", "the
// device's web server sent 64 KiB without a Server line". Empty for the other failures.
std::string BoundText(HttpFailure failure, HttpExchange exchange, const HttpBounds& bounds);

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
// connects to the call's port within its connect bound. wantTimeouts == 1 sets 5000 ms receive and
// send time-outs. On failure the event has been raised and the trace written, and an empty
// connection comes back.
DeviceConnection ConnectToServer(const char* host, unsigned char wantTimeouts);
DeviceConnection ConnectToServer(const HttpCall& call, unsigned char wantTimeouts,
                                 HttpFailure* failure = nullptr);

// The device kind named by the Server header: SERVER_UNKNOWN (0) on any failure or when no
// known text is found, else SERVER_TOLVA, SERVER_DRAVENHOLT, SERVER_TOLVA_21XX, SERVER_TOLVA_22XX.
int DetectServerType(const char* host);
// The same, with the IPv4 address that the connection reached (the device's, as the TFTP server
// will see its requests come) and why it failed.
struct ServerDetection {
    int type = 0;
    std::optional<net::Ipv4> reached;
    HttpFailure failure = HttpFailure::None;
};
ServerDetection DetectServer(const HttpCall& call);

// The first detection pattern found in a text (up to its first NUL), or 0.
int ClassifyChunk(std::string_view chunk);

// The device's firmware version from its Server header; "Not-Known" when none could be read;
// nothing when no connection could be made.
std::optional<std::string> QueryServerVersion(const char* host);
struct VersionAnswer {
    std::optional<std::string> version;
    std::optional<net::Ipv4> reached;
    HttpFailure failure = HttpFailure::None;
};
VersionAnswer AskServerVersion(const HttpCall& call);

// The version in a text (up to its first NUL), or nothing when it holds no "Server:", or nothing
// yet when the Server line has not ended (no CR after it) and `complete` is false. After the
// match: from just past the first "/" to the first CR (the text's end when the answer is
// complete), one trailing ASCII letter dropped; no "/" before that end gives "Not-Known".
std::optional<std::string> ExtractVersion(std::string_view chunk, bool complete = true);

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
    HttpFailure failure = HttpFailure::None;
};

// Sends the upgrade command for HostName, LoginName, Password and DownloadTrace of
// g_TftpConfigData. The result of SendServerCommand.
int StartFlashUpgrade();
// The same command, as `call` says (its host replaced by HostName), with the status line.
CommandReply SendFlashUpgradeCommand(HttpCall call);

// 1 once the command was sent and the device closed (or the connection failed) before the word
// "unauthorized" arrived, in any letter case; 0 when no connection could be made, the command
// could not be sent or the login was rejected. Only that word counts: a reply of any other status
// is still 1. A reply that outlives the deadline, or runs past the read cap, ends as a failed
// receive: ERR_RECEIVE, then STATUS_COMMAND_ACCEPTED, and 1, with the failure named.
int SendServerCommand(const char* host, const char* login, const char* password, const char* format);
CommandReply SendUpgradeCommand(const HttpCall& call, const char* login, const char* password,
                                const char* format);

// Base64 (RFC 4648, standard alphabet, padded, no line breaks) of "login:password".
std::string EncodeCredentials(std::string_view login, std::string_view password);
std::string EncodeBase64(std::string_view bytes);
