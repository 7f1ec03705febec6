#include "net/net.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>

namespace net {
namespace {

std::atomic<int> g_startups{0};

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

timeval ToTimeval(std::chrono::milliseconds ms) {
    timeval tv{};
    tv.tv_sec = static_cast<time_t>(ms.count() / 1000);
    tv.tv_usec = static_cast<suseconds_t>((ms.count() % 1000) * 1000);
    return tv;
}

RecvResult Classify(ssize_t n, bool stream) {
    RecvResult r;
    if (n > 0 || (n == 0 && !stream)) {
        r.status = RecvStatus::Data;
        r.size = static_cast<std::size_t>(n);
    } else if (n == 0) {
        r.status = RecvStatus::Closed;
    } else {
        r.error = errno;
        r.status = (r.error == EAGAIN || r.error == EWOULDBLOCK) ? RecvStatus::TimedOut : RecvStatus::Failed;
    }
    return r;
}

} // namespace

int LastError() {
    return errno;
}
int TimeoutError() {
    return ETIMEDOUT;
}

int Startup() {
    g_startups.fetch_add(1, std::memory_order_relaxed);
    return 0;
}

void Cleanup() {
    g_startups.fetch_sub(1, std::memory_order_relaxed);
}

std::string Ipv4::ToString() const {
    char text[INET_ADDRSTRLEN] = {};
    in_addr a{};
    a.s_addr = htonl(addr);
    inet_ntop(AF_INET, &a, text, sizeof text);
    return text;
}

std::string Endpoint::ToString() const {
    return ip.ToString() + ":" + std::to_string(port);
}

std::optional<Ipv4> ParseIpv4(std::string_view text) {
    std::string s(text);
    in_addr_t a = inet_addr(s.c_str());
    if (a == INADDR_NONE)
        return std::nullopt;
    return Ipv4{ntohl(a)};
}

std::optional<Ipv4> ResolveFirstIpv4(const std::string& host) {
    if (IsReservedInvalidName(host)) {
        errno = EHOSTUNREACH;
        return std::nullopt;
    }
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* res = nullptr;
    int rc = getaddrinfo(host.c_str(), nullptr, &hints, &res);
    if (rc != 0 || res == nullptr) {
        errno = (rc == EAI_SYSTEM) ? errno : EHOSTUNREACH;
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
    freeaddrinfo(res);
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
    return Socket(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP));
}
Socket Socket::Tcp() {
    return Socket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP));
}

bool Socket::valid() const {
    return m_fd != kInvalid;
}

void Socket::Close() {
    if (m_fd != kInvalid) {
        int saved = errno; // closing must not disturb the error number a caller is about to trace
        ::close(m_fd);
        errno = saved;
        m_fd = kInvalid;
    }
}

bool Socket::Bind(Endpoint local) {
    sockaddr_in sa = ToSockaddr(local);
    return ::bind(m_fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0;
}

bool Socket::Connect(Endpoint remote) {
    sockaddr_in sa = ToSockaddr(remote);
    int rc;
    do {
        rc = ::connect(m_fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    } while (rc != 0 && errno == EINTR);
    return rc == 0;
}

bool Socket::ConnectWithin(Endpoint remote, std::chrono::milliseconds timeout) {
    const int flags = ::fcntl(m_fd, F_GETFL, 0);
    if (flags < 0 || ::fcntl(m_fd, F_SETFL, flags | O_NONBLOCK) != 0)
        return false;
    sockaddr_in sa = ToSockaddr(remote);
    int rc = ::connect(m_fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    int error = rc == 0 ? 0 : errno;
    if (rc != 0 && (error == EINPROGRESS || error == EINTR)) {
        pollfd p{};
        p.fd = m_fd;
        p.events = POLLOUT;
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        for (;;) {
            const auto left =
                std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            rc = ::poll(&p, 1, static_cast<int>(std::max<long long>(0, left.count())));
            if (rc < 0 && errno == EINTR)
                continue;
            break;
        }
        if (rc == 0) {
            error = ETIMEDOUT;
        } else if (rc < 0) {
            error = errno;
        } else {
            socklen_t len = sizeof error;
            if (::getsockopt(m_fd, SOL_SOCKET, SO_ERROR, &error, &len) != 0)
                error = errno;
            else if (error == 0 && (p.revents & (POLLHUP | POLLERR)) != 0)
                error = ECONNABORTED; // shut down while connecting
        }
    }
    ::fcntl(m_fd, F_SETFL, flags);
    errno = error;
    return error == 0;
}

bool Socket::Listen(int backlog) {
    return ::listen(m_fd, backlog) == 0;
}

Socket Socket::Accept(Endpoint* peer) {
    sockaddr_in sa{};
    socklen_t len = sizeof sa;
    int fd;
    do {
        fd = ::accept4(m_fd, reinterpret_cast<sockaddr*>(&sa), &len, SOCK_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd >= 0 && peer != nullptr)
        *peer = FromSockaddr(sa);
    return Socket(fd);
}

bool Socket::SetReuseAddress() {
    int one = 1;
    return ::setsockopt(m_fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) == 0;
}

bool Socket::SetRecvTimeout(std::chrono::milliseconds timeout) {
    timeval tv = ToTimeval(timeout);
    return ::setsockopt(m_fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) == 0;
}

bool Socket::SetSendTimeout(std::chrono::milliseconds timeout) {
    timeval tv = ToTimeval(timeout);
    return ::setsockopt(m_fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv) == 0;
}

bool Socket::SetReceiveBuffer(int bytes) {
    return ::setsockopt(m_fd, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes) == 0;
}

void Socket::Shutdown() {
    if (m_fd != kInvalid)
        ::shutdown(m_fd, SHUT_RDWR);
}

std::optional<Endpoint> Socket::LocalEndpoint() const {
    sockaddr_in sa{};
    socklen_t len = sizeof sa;
    if (::getsockname(m_fd, reinterpret_cast<sockaddr*>(&sa), &len) != 0)
        return std::nullopt;
    return FromSockaddr(sa);
}

long Socket::Send(std::span<const std::uint8_t> data) {
    ssize_t n;
    do {
        n = ::send(m_fd, data.data(), data.size(), MSG_NOSIGNAL);
    } while (n < 0 && errno == EINTR);
    return static_cast<long>(n);
}

long Socket::Send(std::string_view text) {
    return Send(
        std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
}

RecvResult Socket::Recv(std::span<std::uint8_t> buffer) {
    ssize_t n;
    do {
        n = ::recv(m_fd, buffer.data(), buffer.size(), 0);
    } while (n < 0 && errno == EINTR);
    return Classify(n, true);
}

long Socket::SendTo(std::span<const std::uint8_t> data, Endpoint to) {
    sockaddr_in sa = ToSockaddr(to);
    ssize_t n;
    do {
        n = ::sendto(m_fd, data.data(), data.size(), 0, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    } while (n < 0 && errno == EINTR);
    return static_cast<long>(n);
}

RecvResult Socket::RecvFrom(std::span<std::uint8_t> buffer) {
    sockaddr_in sa{};
    socklen_t len = sizeof sa;
    ssize_t n;
    do {
        len = sizeof sa;
        n = ::recvfrom(m_fd, buffer.data(), buffer.size(), 0, reinterpret_cast<sockaddr*>(&sa), &len);
    } while (n < 0 && errno == EINTR);
    RecvResult r = Classify(n, false);
    if (n >= 0)
        r.from = FromSockaddr(sa);
    return r;
}

bool Socket::WaitReadable(std::chrono::milliseconds timeout) {
    pollfd p{};
    p.fd = m_fd;
    p.events = POLLIN;
    int rc;
    do {
        rc = ::poll(&p, 1, static_cast<int>(timeout.count()));
    } while (rc < 0 && errno == EINTR);
    if (rc == 0)
        errno = ETIMEDOUT;
    return rc > 0;
}

RecvResult Socket::RecvFromFor(std::span<std::uint8_t> buffer, std::chrono::milliseconds timeout) {
    if (!WaitReadable(timeout)) {
        RecvResult r;
        r.error = errno;
        r.status = (r.error == ETIMEDOUT) ? RecvStatus::TimedOut : RecvStatus::Failed;
        return r;
    }
    return RecvFrom(buffer);
}

long Socket::BytesAvailable() const {
    int n = 0;
    if (::ioctl(m_fd, FIONREAD, &n) != 0)
        return -1;
    return n;
}

int Socket::RecvFromMany(std::span<DatagramIn> slots) {
    int got = 0;
#if defined(__linux__)
    while (static_cast<std::size_t>(got) < slots.size()) {
        const std::size_t n = std::min(slots.size() - static_cast<std::size_t>(got), kMaxBatch);
        mmsghdr messages[kMaxBatch] = {};
        iovec vectors[kMaxBatch] = {};
        sockaddr_in addresses[kMaxBatch] = {};
        for (std::size_t i = 0; i < n; ++i) {
            DatagramIn& slot = slots[static_cast<std::size_t>(got) + i];
            vectors[i].iov_base = slot.buffer.data();
            vectors[i].iov_len = slot.buffer.size();
            messages[i].msg_hdr.msg_iov = &vectors[i];
            messages[i].msg_hdr.msg_iovlen = 1;
            messages[i].msg_hdr.msg_name = &addresses[i];
            messages[i].msg_hdr.msg_namelen = sizeof addresses[i];
        }
        int rc;
        do {
            rc = ::recvmmsg(m_fd, messages, static_cast<unsigned>(n), MSG_DONTWAIT, nullptr);
        } while (rc < 0 && errno == EINTR);
        if (rc < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK)
                return got;
            return got > 0 ? got : -1;
        }
        for (int i = 0; i < rc; ++i) {
            DatagramIn& slot = slots[static_cast<std::size_t>(got + i)];
            slot.size = messages[i].msg_len;
            slot.from = FromSockaddr(addresses[i]);
        }
        got += rc;
        if (static_cast<std::size_t>(rc) < n)
            return got;
    }
#else
    for (DatagramIn& slot : slots) {
        sockaddr_in sa{};
        socklen_t len = sizeof sa;
        ssize_t n;
        do {
            len = sizeof sa;
            n = ::recvfrom(m_fd, slot.buffer.data(), slot.buffer.size(), MSG_DONTWAIT,
                           reinterpret_cast<sockaddr*>(&sa), &len);
        } while (n < 0 && errno == EINTR);
        if (n < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK)
                return got;
            return got > 0 ? got : -1;
        }
        slot.size = std::min(static_cast<std::size_t>(n), slot.buffer.size());
        slot.from = FromSockaddr(sa);
        ++got;
    }
#endif
    return got;
}

} // namespace net
