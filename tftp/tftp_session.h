// The server's state machine: the two-pass sequence and the read transfer of one device, as one
// struct of state driven by events (a datagram, a timer expiry, a failed receive, a stop).
//
//   AwaitingRequest(pass) --RRQ--> Sending(pass) --last ACK--> AwaitingRequest(pass + 1) ... Finished
//
// The machine never blocks and never reads a clock or a socket of its own: the driver (the worker
// loop in tftp_server.cpp, or a test) hands it each event with the time it happened, and the
// machine acts on the network through a TftpLink. The session holds everything of one device, so a
// server can keep one per client address on a shared socket.
#pragma once

#include "net/net.h"
#include "tftp/tftp_server.h"

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

using TftpClock = std::chrono::steady_clock;

// What the machine needs of the network.
class TftpLink {
  public:
    virtual ~TftpLink() = default;
    // sendto(): the count sent, or -1 (LastError() then holds the reason).
    virtual long Send(std::span<const std::uint8_t> packet, const net::Endpoint& to) = 0;
    // The next datagram already queued, without waiting: Data, TimedOut when nothing is queued,
    // or Failed.
    virtual net::RecvResult TakeQueued(std::span<std::uint8_t> buffer) = 0;
    // Closes the socket and its start-up.
    virtual void Release() = 0;
    // The largest block that reaches `to` without fragments (RFC 2348 blksize is capped by it).
    virtual unsigned MaxBlockSize(const net::Endpoint& to) { return TftpPathBlockSize(to); }
};

// One datagram held for later, with its sender.
struct TftpDatagram {
    std::array<std::uint8_t, kTftpPacketSize> bytes{};
    std::size_t length = 0;
    net::Endpoint from;
};

enum class TftpState {
    AwaitingRequest, // waiting for the read request of `pass`
    Sending,         // a DATA block is out, its ACK awaited
    Finished,        // released; `result` holds the worker's result
};

// RFC 6298 estimate of the device's round-trip time.
struct RttEstimate {
    std::chrono::microseconds srtt{0};
    std::chrono::microseconds rttvar{0};
    bool valid = false;
};

// One device of a fleet served on a shared socket: the image it gets and where its events go,
// instead of the image that ImageToUse selects and the handler table.
struct TftpDeviceContext {
    const ImageDescriptor* image = nullptr;
    // Receives each event of the device, as RaiseError (error) or RaiseStatus would pass it.
    std::function<void(bool error, int code, const void* info)> report;
    // Put before each of the device's trace lines, e.g. "192.0.2.7: ".
    std::string tag;
};

struct TftpSession {
    TftpState state = TftpState::AwaitingRequest;
    int pass = 1;
    int result = 0;

    // The transfer: who it is with (the request's address and port) and where it stands. Blocks
    // up to `acked` are acknowledged and `block` is the last one sent, its byte count in `count`
    // and its DATA packet in `packet`, ready to be sent again. Lock-step keeps one block out; a
    // negotiated window keeps up to `window` blocks beyond `acked` out. While `negotiating`, the
    // packet is the OACK and block 0's ACK is awaited.
    net::Endpoint client;
    unsigned block = 0;
    unsigned acked = 0;
    unsigned count = 0;
    std::vector<std::uint8_t> packet;
    std::size_t packetSize = 0;
    unsigned blockSize = kTftpBlockSize;
    unsigned window = 1;
    bool negotiating = false;
    bool negotiated = false; // the transfer began with an OACK
    // The short block that ends the transfer, once it has been read; 0 before.
    unsigned lastBlock = 0;
    // Blocks read once already: reading one again (a window sent again) raises no progress.
    unsigned highestRead = 0;
    // What the transfer serves; its bytes are read again for a window sent again.
    const ImageDescriptor* image = nullptr;
    // A duplicate ACK or another datagram of the device's arrived while the last block's ACK was
    // awaited: the device is still there, so a silent end cannot be assumed.
    bool heardDuringLastBlock = false;
    // A read request repeated from the transfer's own port after block 1 is a stale duplicate
    // while the device goes on acknowledging; one more with no ACK in between is a restart.
    bool repeatedRequest = false;
    bool ackedSinceRequest = false;
    // The pass whose STATUS_VERIFYING or STATUS_PROGRAMMING has been raised: a request asked
    // again after a refused OACK starts no second one.
    int announcedPass = 0;

    // The timer: one deadline, for the outstanding block's ACK or for the programming request.
    std::optional<TftpClock::time_point> deadline;
    // The deadline of the request awaited, kept while a negotiation that may be declined runs.
    std::optional<TftpClock::time_point> requestDeadline;
    std::chrono::microseconds rto{0};
    TftpClock::time_point sentAt;
    bool resent = false; // Karn: a block sent twice gives no RTT sample
    TftpClock::time_point lastProgress;
    TftpClock::time_point programmingWaitStart;
    RttEstimate rtt;

    // A datagram that a drain kept: it is handled as soon as the event that drained ends.
    std::optional<TftpDatagram> pending;

    // Settings, copied from the server's options.
    std::optional<net::Ipv4> expectedClient;
    RetransmitPolicy retransmit;
    std::chrono::milliseconds programmingWait{0};
    bool negotiateOptions = true;
    bool modeAnyCase = false;
    // Empty for the single device of the handler table.
    std::shared_ptr<const TftpDeviceContext> device;
};

enum class TftpEventKind { Datagram, Timeout, ReceiveFailed, Stop };

struct TftpEvent {
    TftpEventKind kind = TftpEventKind::Datagram;
    std::span<const std::uint8_t> bytes; // Datagram: what was received
    net::Endpoint from;                  // Datagram: its sender
    int error = 0;                       // Timeout, ReceiveFailed: the socket layer's error number
};

// A session waiting for the request of firstPass; traces "Waiting for TFTP client request ...".
// With `device`, the session serves one device of a fleet (TftpDeviceContext).
TftpSession StartTftpSession(int firstPass, const TftpServerOptions& options,
                             std::shared_ptr<const TftpDeviceContext> device = nullptr);

// The one dispatch: every event goes through here.
void TftpStateMachine(TftpSession& session, TftpLink& link, const TftpEvent& event,
                      TftpClock::time_point now);

// Starts (or restarts from block 1) the read transfer of `request`, opcode included: checks it,
// selects the image and sends the first DATA block. 1 when that block is out, 0 on failure, after
// its trace lines.
int ProcessTftpReadRequest(TftpSession& session, TftpLink& link, const unsigned char* request,
                           std::size_t length, const net::Endpoint& client, TftpClock::time_point now);

enum class AckOutcome {
    Acknowledged, // an ACK that moves the transfer: of the OACK, or of a block sent and not yet acknowledged
    Waiting,      // nothing that moves the transfer; keep waiting
    Failed,       // the transfer ends in failure
    RequestAgain, // a read request from the device for "image"; see TftpStateMachine
    Declined,     // an ERROR in answer to the OACK: the client refused the options or aborted
};

// Judges one datagram of the transfer's client while blocks up to session.block are out.
AckOutcome WaitForAck(TftpSession& session, TftpLink& link, const TftpEvent& datagram);

// Discards every datagram already queued, but stops at the first that is worth waiting for (the
// ACK of `awaitedBlock` from the client's host, or a read request from it) and hands that one back
// in `kept`. Returns the bytes discarded, or -1 after a receive failure (for the caller to report).
long DrainSocket(TftpLink& link, const net::Endpoint& client, unsigned awaitedBlock,
                 std::optional<TftpDatagram>& kept);

// Sends one ERROR packet with the code and its message. A failed send is traced only.
void SendTftpError(TftpLink& link, const net::Endpoint& client, int code);

// The time-out after an RTT sample: SRTT + max(1 ms, 4 RTTVAR), within the policy's floor and cap.
std::chrono::microseconds RetransmitTimeout(const RttEstimate& rtt, const RetransmitPolicy& policy);
void AddRttSample(RttEstimate& rtt, std::chrono::microseconds sample);
