#include "tftp/tftp_server.h"

#if defined(_WIN32)
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <netinet/in.h>
#include <sys/socket.h>
#endif

#include "engine/events.h"
#include "engine/trace.h"
#include "tftp/tftp_callbacks.h"
#include "tftp/tftp_session.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <optional>
#include <system_error>
#include <thread>

const char* const TftpErrorMessages[kTftpErrorMessageCount] = {
    "Undefined error code",
    "File not found",
    "Access violation",
    "Disk full or allocation exceeded",
    "Illegal TFTP operation",
    "Unknown transfer ID",
    "File already exists",
    "No such user",
    "Terminate transfer due to option negotiation",
};

namespace {

// How often a worker with a stop looks at it while nothing arrives.
constexpr std::chrono::milliseconds kStopPollInterval{20};

bool StopRequested(const TftpServerOptions& options) {
    return options.stop != nullptr && options.stop->Requested();
}

std::size_t BuildErrorPacket(std::array<std::uint8_t, kTftpPacketSize>& packet, int code) {
    const char* message = TftpErrorMessages[(code >= 0 && code < kTftpErrorMessageCount) ? code : 0];
    const std::size_t length = std::strlen(message);
    packet.fill(0);
    packet[1] = TFTP_ERROR;
    packet[2] = static_cast<std::uint8_t>((code >> 8) & 0xFF);
    packet[3] = static_cast<std::uint8_t>(code & 0xFF);
    std::memcpy(packet.data() + kTftpHeaderSize, message, length);
    return kTftpHeaderSize + length + 1; // the NUL is already there
}

class SocketLink final : public TftpLink {
  public:
    explicit SocketLink(TftpSocket& socket) : m_socket(socket) {}
    long Send(std::span<const std::uint8_t> packet, const net::Endpoint& to) override {
        return m_socket.socket().SendTo(packet, to);
    }
    net::RecvResult TakeQueued(std::span<std::uint8_t> buffer) override {
        if (m_socket.socket().BytesAvailable() <= 0) {
            net::RecvResult none;
            none.status = net::RecvStatus::TimedOut;
            return none;
        }
        return m_socket.socket().RecvFrom(buffer);
    }
    void Release() override { m_socket.Release(); }

  private:
    TftpSocket& m_socket;
};

// A link that leaves the socket open when a session ends, for a server that runs one session
// after another on it.
class KeptSocketLink final : public TftpLink {
  public:
    explicit KeptSocketLink(TftpSocket& socket) : m_link(socket) {}
    long Send(std::span<const std::uint8_t> packet, const net::Endpoint& to) override {
        return m_link.Send(packet, to);
    }
    net::RecvResult TakeQueued(std::span<std::uint8_t> buffer) override { return m_link.TakeQueued(buffer); }
    void Release() override {}

  private:
    SocketLink m_link;
};

enum class RunEnd { Finished, Stopped, Quiet };

// The worker's event loop: one receive at a time, bounded by the session's timer, each outcome
// handed to the state machine as an event. `quietUntil`, if set, ends the loop when it passes
// while the session waits for a request.
RunEnd RunSession(TftpSocket& socket, TftpLink& link, TftpSession& session, const TftpServerOptions& options,
                  std::optional<TftpClock::time_point> quietUntil = std::nullopt) {
    std::array<std::uint8_t, kTftpPacketSize> buffer{};
    while (session.state != TftpState::Finished) {
        TftpEvent event;
        if (StopRequested(options)) {
            event.kind = TftpEventKind::Stop;
            TftpStateMachine(session, link, event, TftpClock::now());
            return RunEnd::Stopped;
        }
        std::optional<TftpClock::time_point> deadline = session.deadline;
        if (quietUntil && session.state == TftpState::AwaitingRequest)
            deadline = std::min(deadline.value_or(*quietUntil), *quietUntil);
        std::optional<std::chrono::milliseconds> wait;
        if (deadline) {
            auto left = std::chrono::ceil<std::chrono::milliseconds>(*deadline - TftpClock::now());
            wait = std::max(left, std::chrono::milliseconds(0));
        }
        if (options.stop != nullptr)
            wait = std::min(wait.value_or(kStopPollInterval), kStopPollInterval);
        buffer.fill(0);
        const net::RecvResult r =
            wait ? socket.socket().RecvFromFor(buffer, *wait) : socket.socket().RecvFrom(buffer);
        const TftpClock::time_point now = TftpClock::now();
        if (StopRequested(options)) {
            event.kind = TftpEventKind::Stop;
        } else if (r.status == net::RecvStatus::Data) {
            event.bytes = std::span<const std::uint8_t>(buffer.data(), r.size);
            event.from = r.from;
        } else if (r.status == net::RecvStatus::TimedOut) {
            if (quietUntil && session.state == TftpState::AwaitingRequest && now >= *quietUntil)
                return RunEnd::Quiet;
            if (!session.deadline || now < *session.deadline)
                continue;
            event.kind = TftpEventKind::Timeout;
            event.error = r.error;
        } else {
            event.kind = TftpEventKind::ReceiveFailed;
            event.error = r.error;
        }
        TftpStateMachine(session, link, event, now);
        if (event.kind == TftpEventKind::Stop)
            return RunEnd::Stopped;
    }
    return RunEnd::Finished;
}

int Serve(int firstPass, TftpSocket socket, const TftpServerOptions& options) {
    if (options.onBound)
        options.onBound(socket.port());
    SocketLink link(socket);
    TftpSession session = StartTftpSession(firstPass, options);
    RunSession(socket, link, session, options);
    return session.result;
}

} // namespace

std::uint16_t TftpSocket::port() const {
    auto local = m_socket.LocalEndpoint();
    return local ? local->port : 0;
}

void TftpSocket::Release() {
    if (!m_socket.valid())
        return;
    m_socket.Close();
    net::Cleanup();
}

TftpSocket OpenTftpSocket(const TftpServerOptions& options) {
    net::StartupGuard startup;
    if (!startup.ok()) {
        RaiseError(ERR_SOCKETS_SETUP);
        TraceMessage("Error in WSAStartup() call [errno=%d]\n", startup.error());
        return {};
    }
    net::Socket socket = net::Socket::Udp();
    if (!socket) {
        int error = net::LastError();
        RaiseError(ERR_TFTP_SOCKET);
        TraceMessage("Error in socket() call [errno=%d]\n", error);
        return {};
    }
    if (!socket.Bind(net::Endpoint{net::kAnyAddress, options.port})) {
        int error = net::LastError();
        RaiseError(ERR_TFTP_BIND);
        TraceMessage("Error in bind() call [errno=%d]\n", error);
        socket.Close();
        return {};
    }
    startup.release();
    return TftpSocket(std::move(socket));
}

int CheckTftpPort(const TftpServerOptions& options) {
    return OpenTftpSocket(options) ? 1 : 0;
}

int StartTftpServer(int firstPass, TftpSocket socket, const TftpServerOptions& options) {
    try {
        std::thread([firstPass, options, socket = std::move(socket)]() mutable {
            TftpServerThread(firstPass, std::move(socket), options);
        }).detach();
    } catch (const std::system_error& e) {
        TraceMessage("Error in CreateThread() call [errno=%d]\n", e.code().value());
        return 0;
    }
    return 1;
}

void SendTftpError(net::Socket& socket, const net::Endpoint& client, int code) {
    std::array<std::uint8_t, kTftpPacketSize> packet{};
    const std::size_t total = BuildErrorPacket(packet, code);
    if (socket.SendTo(std::span<const std::uint8_t>(packet.data(), total), client) !=
        static_cast<long>(total))
        TraceMessage("ERROR: nak errno=%d.", net::LastError());
}

void SendTftpError(TftpLink& link, const net::Endpoint& client, int code) {
    std::array<std::uint8_t, kTftpPacketSize> packet{};
    const std::size_t total = BuildErrorPacket(packet, code);
    if (link.Send(std::span<const std::uint8_t>(packet.data(), total), client) != static_cast<long>(total))
        TraceMessage("ERROR: nak errno=%d.", net::LastError());
}

unsigned TftpPathBlockSize(const net::Endpoint& to) {
    // The route's MTU as the kernel knows it, read from a UDP socket connected to the client
    // (connecting a UDP socket sends nothing).
    net::StartupGuard startup;
    if (!startup.ok())
        return kTftpEthernetBlockSize;
    net::Socket probe = net::Socket::Udp();
    if (!probe || !probe.Connect(to))
        return kTftpEthernetBlockSize;
    int mtu = 0;
#if defined(_WIN32)
    int length = sizeof(mtu);
    const bool read =
        getsockopt(probe.native(), IPPROTO_IP, IP_MTU, reinterpret_cast<char*>(&mtu), &length) == 0;
#else
    socklen_t length = sizeof(mtu);
    const bool read = getsockopt(probe.native(), IPPROTO_IP, IP_MTU, &mtu, &length) == 0;
#endif
    if (!read || mtu <= static_cast<int>(kTftpBlockOverhead + kTftpMinBlockSize))
        return kTftpEthernetBlockSize;
    return std::min(static_cast<unsigned>(mtu) - kTftpBlockOverhead, kTftpMaxBlockSize);
}

int TftpServerThread(int firstPass, const TftpServerOptions& options) {
    TraceMessage("\ntftp server thread started...\n");
    TftpSocket socket = OpenTftpSocket(options);
    if (!socket)
        return 0;
    return Serve(firstPass, std::move(socket), options);
}

int TftpServerThread(int firstPass, TftpSocket socket, const TftpServerOptions& options) {
    TraceMessage("\ntftp server thread started...\n");
    if (!socket)
        return 0;
    return Serve(firstPass, std::move(socket), options);
}

int ServeRescue(TftpSocket socket, const TftpServerOptions& options, std::chrono::milliseconds quietEnd) {
    if (!socket)
        return 0;
    if (options.onBound)
        options.onBound(socket.port());
    KeptSocketLink link(socket);
    int complete = 0;
    std::optional<TftpClock::time_point> quietUntil;
    for (;;) {
        // Each download is a programming pass of its own: a boot loader that lost one asks again.
        TftpSession session = StartTftpSession(2, options);
        const RunEnd end = RunSession(socket, link, session, options, quietUntil);
        if (end != RunEnd::Finished)
            break;
        if (session.result == 1) {
            ++complete;
            quietUntil = TftpClock::now() + quietEnd;
        }
    }
    socket.Release();
    return complete;
}
