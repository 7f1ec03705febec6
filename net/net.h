// The socket layer: the handful of Windows Sockets 1.1 operations the core needs, over POSIX
// sockets here and over Winsock on Windows. IPv4 only. Every failure leaves an error number
// behind for LastError(), the way WSAGetLastError() does, so that trace lines can carry it.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace net {

#if defined(_WIN32)
using NativeSocket = std::uintptr_t;
#else
using NativeSocket = int;
#endif

// The platform's last socket error (errno here, WSAGetLastError() on Windows).
int LastError();

// A well-known "timed out" number for this platform, used when a wait expires on its own.
int TimeoutError();

// WSAStartup(1.1) / WSACleanup(). The platform counts start-ups, so every operation pairs its
// own. Startup() returns 0 or the start-up's own error number.
int Startup();
void Cleanup();

// Holds one counted start-up for as long as it lives.
class StartupGuard {
  public:
    StartupGuard() : m_error(Startup()) {}
    ~StartupGuard() {
        if (m_error == 0)
            Cleanup();
    }
    StartupGuard(const StartupGuard&) = delete;
    StartupGuard& operator=(const StartupGuard&) = delete;
    bool ok() const { return m_error == 0; }
    int error() const { return m_error; }
    // Hands the clean-up to the caller, who must call Cleanup() once.
    void release() { m_error = -1; }

  private:
    int m_error;
};

// An IPv4 address held in host byte order, with the port where one is needed.
struct Ipv4 {
    std::uint32_t addr = 0; // host byte order
    bool operator==(const Ipv4&) const = default;
    std::string ToString() const; // dotted decimal, as inet_ntoa writes it
};

struct Endpoint {
    Ipv4 ip;
    std::uint16_t port = 0;
    bool operator==(const Endpoint&) const = default;
    std::string ToString() const; // "a.b.c.d:port"
};

inline constexpr Ipv4 kAnyAddress{0};
inline constexpr Ipv4 kLoopback{0x7F000001u};

// inet_addr: dotted IPv4 text. Like inet_addr, all ones is not a valid answer, so
// "255.255.255.255" yields nothing and is left to name resolution.
std::optional<Ipv4> ParseIpv4(std::string_view text);

// gethostbyname: the first IPv4 address of a host name, or nothing.
std::optional<Ipv4> ResolveFirstIpv4(const std::string& host);

// RFC 6761 6.4: a name under "invalid." never resolves, and resolvers should say so at once
// rather than ask a name server that may not answer.
bool IsReservedInvalidName(std::string_view host);

enum class RecvStatus { Data, Closed, TimedOut, Failed };

struct RecvResult {
    RecvStatus status = RecvStatus::Failed;
    std::size_t size = 0; // bytes received; a datagram may be empty
    Endpoint from;        // datagrams only
    int error = 0;        // the error number for TimedOut and Failed
};

// One datagram of a batch receive: `buffer` is where its bytes go; size and from are filled in.
struct DatagramIn {
    std::span<std::uint8_t> buffer;
    std::size_t size = 0;
    Endpoint from;
};

// The most datagrams one batch receive asks the system for at once; more take several calls.
inline constexpr std::size_t kMaxBatch = 64;

// A move-only socket that closes in its destructor.
class Socket {
  public:
    Socket() = default;
    ~Socket();
    Socket(Socket&& other) noexcept;
    Socket& operator=(Socket&& other) noexcept;
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;

    static Socket Udp();
    static Socket Tcp();

    bool valid() const;
    explicit operator bool() const { return valid(); }
    NativeSocket native() const { return m_fd; }
    void Close();

    // Returns false and sets LastError() on failure.
    bool Bind(Endpoint local);
    bool Connect(Endpoint remote);
    // connect() that gives up after `timeout`, with TimeoutError() as the error number; the
    // socket is blocking again afterwards. On POSIX, Shutdown() from another thread ends the wait.
    bool ConnectWithin(Endpoint remote, std::chrono::milliseconds timeout);
    bool Listen(int backlog = 16);
    Socket Accept(Endpoint* peer = nullptr);
    bool SetReuseAddress();
    // SO_RCVTIMEO / SO_SNDTIMEO; zero means wait without limit.
    bool SetRecvTimeout(std::chrono::milliseconds timeout);
    bool SetSendTimeout(std::chrono::milliseconds timeout);
    // SO_RCVBUF: room for this many bytes of queued datagrams (the system may grant less).
    bool SetReceiveBuffer(int bytes);
    // Wakes a thread blocked in a receive on this socket (the receive then fails or sees Closed).
    void Shutdown();

    std::optional<Endpoint> LocalEndpoint() const;

    // send(): one call; returns the count sent or -1.
    long Send(std::span<const std::uint8_t> data);
    long Send(std::string_view text);
    // recv(): blocking, subject to the receive time-out.
    RecvResult Recv(std::span<std::uint8_t> buffer);
    // sendto(): returns the count sent or -1.
    long SendTo(std::span<const std::uint8_t> data, Endpoint to);
    // recvfrom(): blocking, subject to the receive time-out.
    RecvResult RecvFrom(std::span<std::uint8_t> buffer);
    // recvfrom() that waits at most `timeout` for a datagram (poll, then recvfrom).
    RecvResult RecvFromFor(std::span<std::uint8_t> buffer, std::chrono::milliseconds timeout);
    // Waits until the socket is readable; false on time-out or failure.
    bool WaitReadable(std::chrono::milliseconds timeout);
    // ioctlsocket(FIONREAD): bytes waiting, or -1.
    long BytesAvailable() const;
    // The datagrams already queued, up to slots.size(), without waiting: recvmmsg() on Linux, one
    // recvfrom() each elsewhere. Returns the count received, 0 when none is queued, or -1 when the
    // first receive fails (LastError()); a failure after some arrived is left for the next call.
    int RecvFromMany(std::span<DatagramIn> slots);

  private:
    explicit Socket(NativeSocket fd) : m_fd(fd) {}
    NativeSocket m_fd = kInvalid;
#if defined(_WIN32)
    static constexpr NativeSocket kInvalid = ~NativeSocket{0};
#else
    static constexpr NativeSocket kInvalid = -1;
#endif
};

} // namespace net
