#include "net/net.h"

// winsock2.h must come before windows.h, which would otherwise pull in the old winsock.h.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <windows.h>

#include <algorithm>
#include <climits>
#include <cstring>

// Not in every SDK's headers: makes recvfrom() on a UDP socket ignore ICMP port-unreachable
// reports instead of failing with WSAECONNRESET.
#ifndef SIO_UDP_CONNRESET
#define SIO_UDP_CONNRESET _WSAIOW(IOC_VENDOR, 12)
#endif

namespace net {
namespace {

sockaddr_in ToSockaddr(Endpoint ep) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(ep.port);
    sa.sin_addr.s_addr = htonl(ep.ip.addr);
    return sa;
}

Endpoint FromSockaddr(const sockaddr_in& sa) {
    return Endpoint{Ipv4{ntohl(sa.sin_addr.s_addr)}, ntohs(sa.sin_port)};
}

int ClampLength(std::size_t size) {
    return static_cast<int>(std::min<std::size_t>(size, INT_MAX));
}

// Winsock sockets are inheritable by default; a child process must not keep the TFTP port open.
void MakeNotInheritable(SOCKET s) {
    if (s != INVALID_SOCKET)
        ::SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
}

bool IsDatagram(SOCKET s) {
    int type = 0;
    int len = sizeof type;
    if (::getsockopt(s, SOL_SOCKET, SO_TYPE, reinterpret_cast<char*>(&type), &len) != 0)
        return false;
    return type == SOCK_DGRAM;
}

RecvResult Classify(int n, bool stream, std::size_t capacity) {
    RecvResult r;
    if (n > 0 || (n == 0 && !stream)) {
        r.status = RecvStatus::Data;
        r.size = static_cast<std::size_t>(n);
        return r;
    }
    if (n == 0) {
        r.status = RecvStatus::Closed;
        return r;
    }
    r.error = ::WSAGetLastError();
    if (!stream && r.error == WSAEMSGSIZE) {
        // A datagram longer than the buffer: Winsock fills the buffer and reports an error,
        // where POSIX returns the truncated datagram. Keep the POSIX meaning.
        r.status = RecvStatus::Data;
        r.size = capacity;
        r.error = 0;
        return r;
    }
    r.status =
        (r.error == WSAETIMEDOUT || r.error == WSAEWOULDBLOCK) ? RecvStatus::TimedOut : RecvStatus::Failed;
    return r;
}

} // namespace

int LastError() {
    return ::WSAGetLastError();
}

int TimeoutError() {
    return WSAETIMEDOUT;
}

int Startup() {
    WSADATA data{};
    return ::WSAStartup(MAKEWORD(1, 1), &data);
}

void Cleanup() {
    int saved = ::WSAGetLastError();
    ::WSACleanup();
    ::WSASetLastError(saved);
}

std::string Ipv4::ToString() const {
    // inet_ntoa's dotted decimal, formatted here so that no start-up is needed.
    std::string text;
    for (int shift = 24; shift >= 0; shift -= 8) {
        text += std::to_string((addr >> shift) & 0xFFu);
        if (shift != 0)
            text += '.';
    }
    return text;
}

std::string Endpoint::ToString() const {
    return ip.ToString() + ":" + std::to_string(port);
}

std::optional<Ipv4> ParseIpv4(std::string_view text) {
    // Old Winsock versions answer INADDR_ANY for an empty text; POSIX and newer ones reject it.
    if (text.empty())
        return std::nullopt;
    std::string s(text);
    unsigned long a = ::inet_addr(s.c_str());
    if (a == INADDR_NONE)
        return std::nullopt;
    return Ipv4{ntohl(a)};
}

std::optional<Ipv4> ResolveFirstIpv4(const std::string& host) {
    if (IsReservedInvalidName(host)) {
        ::WSASetLastError(WSAHOST_NOT_FOUND);
        return std::nullopt;
    }
    StartupGuard guard; // name resolution needs a start-up of its own if the caller has none
    if (!guard.ok()) {
        ::WSASetLastError(guard.error());
        return std::nullopt;
    }
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* res = nullptr;
    int rc = ::getaddrinfo(host.c_str(), nullptr, &hints, &res);
    if (rc != 0 || res == nullptr) {
        ::WSASetLastError(rc != 0 ? rc : WSAHOST_NOT_FOUND);
        return std::nullopt;
    }
    std::optional<Ipv4> out;
    for (addrinfo* p = res; p != nullptr; p = p->ai_next) {
        if (p->ai_family == AF_INET && p->ai_addrlen >= sizeof(sockaddr_in)) {
            sockaddr_in sa{};
            std::memcpy(&sa, p->ai_addr, sizeof sa);
            out = Ipv4{ntohl(sa.sin_addr.s_addr)};
            break;
        }
    }
    ::freeaddrinfo(res);
    if (!out)
        ::WSASetLastError(WSAHOST_NOT_FOUND);
    return out;
}

Socket::~Socket() {
    Close();
}

Socket::Socket(Socket&& other) noexcept : m_fd(other.m_fd) {
    other.m_fd = kInvalid;
}

Socket& Socket::operator=(Socket&& other) noexcept {
    if (this != &other) {
        Close();
        m_fd = other.m_fd;
        other.m_fd = kInvalid;
    }
    return *this;
}

Socket Socket::Udp() {
    SOCKET s = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (s == INVALID_SOCKET)
        return Socket();
    MakeNotInheritable(s);
    // A TFTP server answers many clients on one socket; one client's closed port must not make
    // the next recvfrom() fail. Where the control is not offered the socket is still usable.
    BOOL off = FALSE;
    DWORD returned = 0;
    int saved = ::WSAGetLastError();
    ::WSAIoctl(s, SIO_UDP_CONNRESET, &off, sizeof off, nullptr, 0, &returned, nullptr, nullptr);
    ::WSASetLastError(saved);
    return Socket(static_cast<NativeSocket>(s));
}

Socket Socket::Tcp() {
    SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET)
        return Socket();
    MakeNotInheritable(s);
    return Socket(static_cast<NativeSocket>(s));
}

bool Socket::valid() const {
    return m_fd != kInvalid;
}

void Socket::Close() {
    if (m_fd != kInvalid) {
        int saved = ::WSAGetLastError(); // closing must not disturb the error a caller will trace
        ::closesocket(static_cast<SOCKET>(m_fd));
        ::WSASetLastError(saved);
        m_fd = kInvalid;
    }
}

bool Socket::Bind(Endpoint local) {
    sockaddr_in sa = ToSockaddr(local);
    return ::bind(static_cast<SOCKET>(m_fd), reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0;
}

bool Socket::Connect(Endpoint remote) {
    sockaddr_in sa = ToSockaddr(remote);
    return ::connect(static_cast<SOCKET>(m_fd), reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0;
}

bool Socket::ConnectWithin(Endpoint remote, std::chrono::milliseconds timeout) {
    SOCKET s = static_cast<SOCKET>(m_fd);
    u_long on = 1;
    if (::ioctlsocket(s, FIONBIO, &on) != 0)
        return false;
    sockaddr_in sa = ToSockaddr(remote);
    int error = 0;
    if (::connect(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
        error = ::WSAGetLastError();
        if (error == WSAEWOULDBLOCK) {
            fd_set writable;
            fd_set failed;
            FD_ZERO(&writable);
            FD_ZERO(&failed);
            FD_SET(s, &writable);
            FD_SET(s, &failed);
            timeval tv{};
            tv.tv_sec = static_cast<long>(timeout.count() / 1000);
            tv.tv_usec = static_cast<long>((timeout.count() % 1000) * 1000);
            const int rc = ::select(0, nullptr, &writable, &failed, &tv);
            if (rc == 0) {
                error = WSAETIMEDOUT;
            } else if (rc < 0) {
                error = ::WSAGetLastError();
            } else {
                int len = sizeof error;
                error = 0;
                if (::getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &len) != 0)
                    error = ::WSAGetLastError();
                else if (error == 0 && FD_ISSET(s, &failed))
                    error = WSAECONNREFUSED;
            }
        }
    }
    u_long off = 0;
    ::ioctlsocket(s, FIONBIO, &off);
    ::WSASetLastError(error);
    return error == 0;
}

bool Socket::Listen(int backlog) {
    return ::listen(static_cast<SOCKET>(m_fd), backlog) == 0;
}

Socket Socket::Accept(Endpoint* peer) {
    sockaddr_in sa{};
    int len = sizeof sa;
    SOCKET s = ::accept(static_cast<SOCKET>(m_fd), reinterpret_cast<sockaddr*>(&sa), &len);
    if (s == INVALID_SOCKET)
        return Socket();
    MakeNotInheritable(s);
    if (peer != nullptr)
        *peer = FromSockaddr(sa);
    return Socket(static_cast<NativeSocket>(s));
}

bool Socket::SetReuseAddress() {
    // Windows already lets a listener rebind a port whose old connections linger, which is what
    // SO_REUSEADDR buys on POSIX. Its own SO_REUSEADDR would instead let a second socket bind a
    // port that is in use, so a busy port would no longer be detected. Nothing to set.
    return valid();
}

bool Socket::SetRecvTimeout(std::chrono::milliseconds timeout) {
    DWORD ms = static_cast<DWORD>(std::clamp<long long>(timeout.count(), 0, LONG_MAX));
    return ::setsockopt(static_cast<SOCKET>(m_fd), SOL_SOCKET, SO_RCVTIMEO,
                        reinterpret_cast<const char*>(&ms), sizeof ms) == 0;
}

bool Socket::SetSendTimeout(std::chrono::milliseconds timeout) {
    DWORD ms = static_cast<DWORD>(std::clamp<long long>(timeout.count(), 0, LONG_MAX));
    return ::setsockopt(static_cast<SOCKET>(m_fd), SOL_SOCKET, SO_SNDTIMEO,
                        reinterpret_cast<const char*>(&ms), sizeof ms) == 0;
}

bool Socket::SetReceiveBuffer(int bytes) {
    return ::setsockopt(static_cast<SOCKET>(m_fd), SOL_SOCKET, SO_RCVBUF,
                        reinterpret_cast<const char*>(&bytes), sizeof bytes) == 0;
}

void Socket::Shutdown() {
    if (m_fd == kInvalid)
        return;
    SOCKET s = static_cast<SOCKET>(m_fd);
    int saved = ::WSAGetLastError();
    ::shutdown(s, SD_BOTH);
    if (IsDatagram(s)) {
        // Unlike POSIX, shutdown() does not wake a thread blocked in recvfrom() on a UDP socket.
        // An empty datagram to the socket itself does, and reads as the same empty result.
        if (auto local = LocalEndpoint()) {
            if (local->ip == kAnyAddress)
                local->ip = kLoopback;
            SOCKET poke = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
            if (poke != INVALID_SOCKET) {
                sockaddr_in sa = ToSockaddr(*local);
                char none = 0;
                ::sendto(poke, &none, 0, 0, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
                ::closesocket(poke);
            }
        }
    }
    ::WSASetLastError(saved);
}

std::optional<Endpoint> Socket::LocalEndpoint() const {
    sockaddr_in sa{};
    int len = sizeof sa;
    if (::getsockname(static_cast<SOCKET>(m_fd), reinterpret_cast<sockaddr*>(&sa), &len) != 0)
        return std::nullopt;
    return FromSockaddr(sa);
}

long Socket::Send(std::span<const std::uint8_t> data) {
    return ::send(static_cast<SOCKET>(m_fd), reinterpret_cast<const char*>(data.data()),
                  ClampLength(data.size()), 0);
}

long Socket::Send(std::string_view text) {
    return Send(
        std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
}

RecvResult Socket::Recv(std::span<std::uint8_t> buffer) {
    int n = ::recv(static_cast<SOCKET>(m_fd), reinterpret_cast<char*>(buffer.data()),
                   ClampLength(buffer.size()), 0);
    return Classify(n, true, buffer.size());
}

long Socket::SendTo(std::span<const std::uint8_t> data, Endpoint to) {
    sockaddr_in sa = ToSockaddr(to);
    return ::sendto(static_cast<SOCKET>(m_fd), reinterpret_cast<const char*>(data.data()),
                    ClampLength(data.size()), 0, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
}

RecvResult Socket::RecvFrom(std::span<std::uint8_t> buffer) {
    sockaddr_in sa{};
    int n;
    for (;;) {
        int len = sizeof sa;
        n = ::recvfrom(static_cast<SOCKET>(m_fd), reinterpret_cast<char*>(buffer.data()),
                       ClampLength(buffer.size()), 0, reinterpret_cast<sockaddr*>(&sa), &len);
        // Should SIO_UDP_CONNRESET be unavailable, an earlier send's ICMP port-unreachable is
        // reported here. It says nothing about the next datagram, so wait for that instead.
        if (n < 0 && ::WSAGetLastError() == WSAECONNRESET && IsDatagram(static_cast<SOCKET>(m_fd)))
            continue;
        break;
    }
    bool truncated = n < 0 && ::WSAGetLastError() == WSAEMSGSIZE;
    RecvResult r = Classify(n, false, buffer.size());
    if (n >= 0 || truncated)
        r.from = FromSockaddr(sa);
    return r;
}

bool Socket::WaitReadable(std::chrono::milliseconds timeout) {
    SOCKET s = static_cast<SOCKET>(m_fd);
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(s, &readable);
    timeval tv{};
    timeval* limit = nullptr;
    if (timeout.count() >= 0) {
        tv.tv_sec = static_cast<long>(timeout.count() / 1000);
        tv.tv_usec = static_cast<long>((timeout.count() % 1000) * 1000);
        limit = &tv;
    }
    int rc = ::select(0, &readable, nullptr, nullptr, limit);
    if (rc == 0)
        ::WSASetLastError(WSAETIMEDOUT);
    return rc > 0;
}

RecvResult Socket::RecvFromFor(std::span<std::uint8_t> buffer, std::chrono::milliseconds timeout) {
    if (!WaitReadable(timeout)) {
        RecvResult r;
        r.error = ::WSAGetLastError();
        r.status = (r.error == WSAETIMEDOUT) ? RecvStatus::TimedOut : RecvStatus::Failed;
        return r;
    }
    return RecvFrom(buffer);
}

long Socket::BytesAvailable() const {
    u_long n = 0;
    if (::ioctlsocket(static_cast<SOCKET>(m_fd), FIONREAD, &n) != 0)
        return -1;
    return static_cast<long>(n);
}

// Winsock has no batch receive for datagrams: one recvfrom() for each that select() says is queued.
int Socket::RecvFromMany(std::span<DatagramIn> slots) {
    int got = 0;
    for (DatagramIn& slot : slots) {
        if (!WaitReadable(std::chrono::milliseconds(0)))
            return got;
        const RecvResult r = RecvFrom(slot.buffer);
        if (r.status != RecvStatus::Data)
            return got > 0 ? got : (r.status == RecvStatus::TimedOut ? 0 : -1);
        slot.size = r.size;
        slot.from = r.from;
        ++got;
    }
    return got;
}

} // namespace net
