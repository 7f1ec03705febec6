// The TFTP image server (RFC 1350, reads only): the worker that serves the file "image" twice on
// UDP port 69, once for the device to verify it and once, after its flash is erased, to program it.
#pragma once

#include "net/net.h"

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>

inline constexpr std::uint16_t kTftpPort = 69;

// How the server drives recovery when an ACK does not come: resend the DATA packet unchanged
// after `initial`, doubling up to `cap`, and give up at the `timeouts`-th expiry without progress
// (so the defaults wait 1+2+4+8+8+8+8+8 = 47 s and resend 7 times). timeouts <= 0 or a zero
// initial time waits without limit and never resends.
struct RetransmitPolicy {
    std::chrono::milliseconds initial{1000};
    std::chrono::milliseconds cap{8000};
    int timeouts = 8;
};

struct TftpServerOptions {
    // The product always serves on 69; tests and the CLI may choose another port. 0 binds any
    // free port, which the server then reports through onBound.
    std::uint16_t port = kTftpPort;
    // While set, datagrams on the port from any other host are ignored (and traced).
    std::optional<net::Ipv4> expectedClient;
    RetransmitPolicy retransmit;
    // Called on the worker thread once the socket is bound, with the port it holds.
    std::function<void(std::uint16_t)> onBound;
    // For tests only, so that every worker can be joined: when set, the worker's waits wake at
    // least every few milliseconds and, once the flag is true, the worker releases its socket
    // and ends with 0 without raising an event. The product never sets it.
    const std::atomic<bool>* stop = nullptr;
};

// The options that OpenTftpSocket, CheckTftpPort and StartTftpServer use unless given others.
void SetTftpServerOptions(const TftpServerOptions& options);
TftpServerOptions GetTftpServerOptions();

// Returns the bound UDP socket, or an invalid one after raising and tracing the failure. The
// caller owns the socket and one counted start-up (net::Cleanup once).
net::Socket OpenTftpSocket(const TftpServerOptions& options);
net::Socket OpenTftpSocket();
// 1 if the port could be bound, else 0. Leaves nothing open.
int CheckTftpPort(const TftpServerOptions& options);
int CheckTftpPort();
// Starts TftpServerThread(firstPass) on a new thread that nobody joins. Returns 1.
int StartTftpServer(int firstPass, const TftpServerOptions& options);
int StartTftpServer(int firstPass);
// The worker's body: 1 after both passes, 0 after a failure.
int TftpServerThread(int firstPass, const TftpServerOptions& options);

// RFC 1350 opcodes, big-endian in the first two bytes of every packet.
enum TftpOpcode : std::uint16_t {
    TFTP_RRQ = 1,
    TFTP_WRQ = 2,
    TFTP_DATA = 3,
    TFTP_ACK = 4,
    TFTP_ERROR = 5,
};

inline constexpr unsigned kTftpBlockSize = 512;
inline constexpr std::size_t kTftpHeaderSize = 4;
inline constexpr std::size_t kTftpPacketSize = kTftpHeaderSize + kTftpBlockSize;
// Block numbers travel in 16 bits, so 65,535 blocks of 512 bytes, the last one short, is the most
// a transfer can number: images of 33,553,920 bytes or more cannot be served.
inline constexpr std::uint32_t kTftpMaxImageSize = 65535u * kTftpBlockSize - 1u;

// The RFC 1350 error codes 0 to 7 and their messages.
inline constexpr int kTftpErrorMessageCount = 8;
extern const char* const TftpErrorMessages[kTftpErrorMessageCount];
inline constexpr int kTftpAccessViolation = 2;

// Sends one ERROR packet with the code and its message to client. A failed send is traced only.
void SendTftpError(net::Socket& socket, const net::Endpoint& client, int code);

// Serves one read request (the whole datagram, opcode included) to client over the server socket:
// 1 when the last block has been acknowledged, 0 on any failure.
int ProcessTftpReadRequest(net::Socket& socket, const unsigned char* request, std::size_t length,
                           const net::Endpoint& client, const TftpServerOptions& options);
int ProcessTftpReadRequest(net::Socket& socket, const unsigned char* request, std::size_t length,
                           const net::Endpoint& client);

// The handlers registered in slots 1 and 2 of the table.
// start: the byte after the opcode; end: the byte after the last byte received.
int CheckFilename(const unsigned char* start, const unsigned char* end, int kind);
int ReadImageBlock(unsigned char* destination, unsigned* count, unsigned* block, unsigned blockSize);

// What WaitForAck needs besides the block number: who the transfer is with, the DATA packet to
// send again when the timer expires, the timer, and the test-only stop flag.
struct AckWait {
    net::Endpoint client;
    std::span<const std::uint8_t> packet;
    RetransmitPolicy retransmit;
    const std::atomic<bool>* stop = nullptr;
};

inline constexpr int kAckFailed = 0;
inline constexpr int kAckReceived = 1;
// Waits for the ACK of `block`: kAckReceived once it has come, kAckFailed on failure. Duplicate
// ACKs of the previous block, datagrams of other kinds and datagrams from other hosts are traced
// and waited past; only the timer resends.
int WaitForAck(net::Socket& socket, unsigned block, const AckWait& wait);
// Discards every datagram already queued: the bytes discarded, or -1 after a receive failure.
long DrainSocket(net::Socket& socket);
