// The TFTP image server (RFC 1350, reads only): the worker that serves the file "image" twice on
// UDP port 69, once for the device to verify it and once, after its flash is erased, to program it.
#pragma once

#include "engine/events.h"
#include "engine/upgrade_record.h"
#include "net/net.h"

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <vector>

inline constexpr std::uint16_t kTftpPort = 69;

// RFC 1123 4.2.3.2 asks for an adaptive retransmission timer. The first DATA packet waits
// `initial` for its ACK. Afterwards the time-out follows the device's round-trip time the way TCP
// estimates it (RFC 6298: smoothed RTT and variance, no sample from a block sent twice), never
// below `floor`, and doubles on each expiry up to `cap`. A transfer that makes no progress for
// `giveUp` ends; zero waits without limit.
struct RetransmitPolicy {
    std::chrono::milliseconds initial{1000};
    std::chrono::milliseconds floor{20};
    std::chrono::milliseconds cap{2000};
    std::chrono::milliseconds giveUp{47000};
};

// Part of a worker's lifecycle: whoever starts a worker and must get its port back (a front end
// moving on to the next device, a program shutting down, a test fixture) keeps one of these and
// hands it to the worker through TftpServerOptions::stop. Once requested, the worker releases its
// socket within a few milliseconds and ends with 0, raising no event. Safe from any thread.
class TftpServerStop {
  public:
    void Request() { m_requested.store(true); }
    bool Requested() const { return m_requested.load(); }

  private:
    std::atomic<bool> m_requested{false};
};

struct TftpServerOptions {
    // The device always asks on 69; the CLI and tests may choose another port. 0 binds any free
    // port, which the server then reports through onBound.
    std::uint16_t port = kTftpPort;
    // While set, datagrams on the port from any other host are ignored (and traced).
    std::optional<net::Ipv4> expectedClient;
    RetransmitPolicy retransmit;
    // How long the worker waits for the programming request once the verification download has
    // ended. The device erases for up to 45 s first. Zero waits without limit.
    std::chrono::milliseconds programmingWait{120000};
    // Called on the worker thread once it serves, with the port it holds.
    std::function<void(std::uint16_t)> onBound;
    // Empty: the worker runs until both passes are served or it fails.
    std::shared_ptr<const TftpServerStop> stop;
    // RFC 2347 option negotiation (blksize, tsize, timeout, windowsize) with a client that asks
    // for it. False answers every request as a plain one: 512-byte blocks, one at a time, no
    // OACK, for a device that mishandles negotiation.
    bool negotiateOptions = true;
    // RFC 1350: the transfer mode is case-insensitive ("OCTET"). False keeps the exact lower-case
    // "octet" that the device's upgrade sends; the rescue of a boot loader sets it.
    bool modeAnyCase = false;
};

// The server's bound UDP socket together with the counted socket start-up it holds. Both are
// released together, in the destructor or by Release().
class TftpSocket {
  public:
    TftpSocket() = default;
    explicit TftpSocket(net::Socket socket) : m_socket(std::move(socket)) {}
    ~TftpSocket() { Release(); }
    TftpSocket(TftpSocket&& other) noexcept = default;
    TftpSocket& operator=(TftpSocket&& other) noexcept {
        if (this != &other) {
            Release();
            m_socket = std::move(other.m_socket);
        }
        return *this;
    }
    TftpSocket(const TftpSocket&) = delete;
    TftpSocket& operator=(const TftpSocket&) = delete;

    explicit operator bool() const { return m_socket.valid(); }
    net::Socket& socket() { return m_socket; }
    std::uint16_t port() const;
    void Release();

  private:
    net::Socket m_socket;
};

// Returns the bound socket, or an empty one after raising and tracing the failure.
TftpSocket OpenTftpSocket(const TftpServerOptions& options);
// 1 if the port could be bound, else 0. Leaves nothing open.
int CheckTftpPort(const TftpServerOptions& options);
// Starts TftpServerThread(firstPass, socket, options) on a new thread that nobody joins; the
// options' stop, if any, ends it. 1, or 0 if no thread could be made (the socket is then released).
int StartTftpServer(int firstPass, TftpSocket socket, const TftpServerOptions& options);
// The worker's body: 1 after both passes, 0 after a failure or a stop. This form opens its own
// socket; the other serves on one opened beforehand, so that the port is held from the caller's
// check until the worker ends and a device that asks at once is heard.
int TftpServerThread(int firstPass, const TftpServerOptions& options);
int TftpServerThread(int firstPass, TftpSocket socket, const TftpServerOptions& options);

// Serves "image" to one device for as long as it asks: the rescue of a device left with erased
// flash, whose boot loader asks again and again. Each read request starts a download of its own
// (STATUS_PROGRAMMING, its progress, then STATUS_COMPLETE or the failure's events), and after a
// failure the server waits for the next request. Ends on a stop, or once `quietEnd` has passed
// without a request after a complete download. Returns the number of complete downloads.
int ServeRescue(TftpSocket socket, const TftpServerOptions& options, std::chrono::milliseconds quietEnd);

// RFC 1350 opcodes, big-endian in the first two bytes of every packet.
enum TftpOpcode : std::uint16_t {
    TFTP_RRQ = 1,
    TFTP_WRQ = 2,
    TFTP_DATA = 3,
    TFTP_ACK = 4,
    TFTP_ERROR = 5,
    TFTP_OACK = 6, // RFC 2347
};

inline constexpr unsigned kTftpBlockSize = 512;
inline constexpr std::size_t kTftpHeaderSize = 4;
inline constexpr std::size_t kTftpPacketSize = kTftpHeaderSize + kTftpBlockSize;
// Block numbers travel in 16 bits, so 65,535 blocks of 512 bytes, the last one short, is the most
// a transfer can number: images of 33,553,920 bytes or more cannot be served.
inline constexpr std::uint32_t kTftpMaxImageSize = 65535u * kTftpBlockSize - 1u;
// RFC 2348: a negotiated block holds 8 to 65464 bytes.
inline constexpr unsigned kTftpMinBlockSize = 8;
inline constexpr unsigned kTftpMaxBlockSize = 65464;
// RFC 7440 allows windows of up to 65535 blocks; a burst of more than 64 only fills the
// receiver's socket buffer.
inline constexpr unsigned kTftpMaxWindowSize = 64;
// IPv4 and UDP headers, then the 4-byte TFTP header: what a block leaves of the path's MTU.
inline constexpr unsigned kTftpBlockOverhead = 20 + 8 + 4;
// The block an Ethernet path carries without fragments, when the path's MTU cannot be learned.
inline constexpr unsigned kTftpEthernetBlockSize = 1500 - kTftpBlockOverhead;

// The largest image that blocks of `blockSize` bytes can number: 65,535 blocks, the last short.
constexpr std::uint64_t TftpMaxImageSize(unsigned blockSize) {
    return 65535ull * blockSize - 1u;
}

// The RFC 1350 error codes 0 to 7 and RFC 2347's code 8, with their messages.
inline constexpr int kTftpErrorMessageCount = 9;
extern const char* const TftpErrorMessages[kTftpErrorMessageCount];
inline constexpr int kTftpAccessViolation = 2;
inline constexpr int kTftpOptionRefused = 8;

// What a read request's options (RFC 2347) come to. A plain request, or one whose options are
// all unknown or invalid, keeps the defaults and an empty OACK: it is served as RFC 1350 says.
struct TftpNegotiation {
    unsigned blockSize = kTftpBlockSize; // RFC 2348
    unsigned windowSize = 1;             // RFC 7440
    unsigned timeoutSeconds = 0;         // RFC 2349; 0 when not asked
    // The option list does not end with a NUL: RFC 2347 ends such a request with ERROR 8.
    bool malformed = false;
    // The OACK packet, opcode included; empty when no option is answered.
    std::vector<std::uint8_t> oack;
};

// Answers the options that follow a request's mode: `options` runs from the byte after the
// mode's NUL to the end of the datagram. `imageSize` is answered to tsize when known and not 0; blksize is
// never answered above `maxBlockSize`, nor windowsize with a window when `windowAllowed` is false.
TftpNegotiation NegotiateOptions(std::span<const std::uint8_t> options,
                                 std::optional<std::uint32_t> imageSize, unsigned maxBlockSize,
                                 bool windowAllowed);
// The largest block that reaches `to` unfragmented, from the MTU of the route to it (IPv4 and
// UDP headers and the TFTP header off), within 8 to 65464; the Ethernet block when the MTU
// cannot be learned.
unsigned TftpPathBlockSize(const net::Endpoint& to);

// Sends one ERROR packet with the code and its message to client. A failed send is traced only.
void SendTftpError(net::Socket& socket, const net::Endpoint& client, int code);

// The handlers registered in slots 1 and 2 of the table.
// start: the byte after the opcode; end: the byte after the last byte received.
int CheckFilename(const unsigned char* start, const unsigned char* end, int kind);
// CheckFilename's checks of the request itself (the name "image" for a read, the mode "octet"),
// with its trace lines, without choosing an image. 1 when they pass.
int CheckRequestName(const unsigned char* start, const unsigned char* end, int kind);
// ReadImageBlock's work on a given image, without raising the progress event it returns.
ProgressInfo ReadBlockFrom(const ImageDescriptor* image, unsigned char* destination, unsigned* count,
                           unsigned* block, unsigned blockSize);
int ReadImageBlock(unsigned char* destination, unsigned* count, unsigned* block, unsigned blockSize);
