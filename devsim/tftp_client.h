// The simulated device's own TFTP client (RFC 1350, reads only, no options): one read request,
// one ACK per DATA block, its own time-out with a re-sent request or a re-sent last ACK, and a
// bound after which it gives up. Faults for tests sit in the loop where a real network or a
// faulty device would cause them.
#pragma once

#include "net/net.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace devsim {

// splitmix64: the same seed gives the same decisions on every platform.
class Rng {
  public:
    explicit Rng(std::uint64_t seed) : m_state(seed) {}
    std::uint64_t Next();
    // Uniform in [0, 1).
    double Unit();
    // True with probability p.
    bool Chance(double p) { return p > 0 && Unit() < p; }

  private:
    std::uint64_t m_state;
};

struct TftpClientOptions {
    // Wait for the next DATA block before re-sending the request (no block yet) or the last ACK.
    std::chrono::milliseconds timeout{2000};
    // Time-outs in a row after which the download is given up.
    int retries = 5;
    // After the last block, how long to stay and re-ACK it if the server sends it again
    // (RFC 1350: the last ACK may be lost, and the server then repeats its last block).
    std::chrono::milliseconds dally{1000};
    // A download larger than this is refused with ERROR 3.
    std::size_t maxBytes = 64u * 1024u * 1024u;
};

// Faults of one download. Block numbers count from 1; 0 means "not at all".
struct TftpFaultPlan {
    double dropData = 0;                   // fraction of received DATA packets ignored as if lost
    double dropAck = 0;                    // fraction of ACKs not sent
    std::uint32_t duplicateAck = 0;        // this block's ACK goes out twice
    std::uint32_t wrongAck = 0;            // this block's first ACK carries the next block's number
    std::uint32_t errorAfter = 0;          // on this block an ERROR goes out instead of the ACK
    std::chrono::milliseconds ackDelay{0}; // every ACK waits this long
    // The ACK of the last block is not sent, and the client leaves at once instead of dallying:
    // it takes the download as complete, as a device whose final ACK was lost does.
    bool dropFinalAck = false;
    // The read request goes out once and is never repeated, however long no DATA comes.
    bool requestOnce = false;
    // The ACK of the last block goes out once more this long after the first (0: not at all),
    // from the same port, as a stray packet that reaches the server after the transfer.
    std::chrono::milliseconds lateFinalAck{0};
};

class TftpClientHub;

struct FetchRequest {
    net::Ipv4 localAddress = net::kAnyAddress; // the device's own address; port chosen by the system
    net::Endpoint server;                      // where the read request goes
    std::string file = "image";
    TftpClientOptions options;
    TftpFaultPlan faults;
    Rng* rng = nullptr;                        // needed only for the drop faults
    bool traceBlocks = false;                  // log each block received
    std::function<void(std::string_view)> log; // one line each, without line break
    const std::atomic<bool>* stop = nullptr;   // set to abandon the download
    // One read request only: no answer within the time-out ends the download (a boot loader
    // asks again later, from a new port).
    bool giveUpUnanswered = false;
    // Where the download runs: on the caller's thread when empty, else on the hub's.
    TftpClientHub* hub = nullptr;
};

struct FetchResult {
    bool ok = false;
    bool answered = false; // the server sent DATA or an ERROR
    std::string error;     // why not, when !ok
    std::vector<std::uint8_t> data;
    std::uint32_t blocks = 0;
    int requestsSent = 0;
    int acksSent = 0;
    int timeouts = 0;
    int duplicateBlocks = 0;              // DATA for the block already acknowledged, re-ACKed
    int droppedData = 0;                  // by the drop-data fault
    int droppedAcks = 0;                  // by the drop-ack and drop-final-ack faults
    int strangers = 0;                    // datagrams from a wrong transfer ID, answered with ERROR 5
    net::Endpoint peer;                   // the server's transfer ID (address and port of its first DATA)
    std::chrono::milliseconds elapsed{0}; // from the first request to the last block, without the dally
};

// Runs the downloads of many simulated devices on one thread of its own (epoll on Linux), so that a
// fleet costs the system one thread's wake-ups instead of one for each device and block. Fetch
// blocks its caller until the download has ended, as FetchFile does. Without epoll each download
// runs on its caller's thread. Safe from any thread; the destructor ends the downloads still
// running as if stopped.
class TftpClientHub {
  public:
    TftpClientHub();
    ~TftpClientHub();
    TftpClientHub(const TftpClientHub&) = delete;
    TftpClientHub& operator=(const TftpClientHub&) = delete;
    FetchResult Fetch(const FetchRequest& request);

  private:
    struct Impl;
    std::unique_ptr<Impl> m;
};

// Downloads one file. Accepts DATA only from the server's address; the port of the first DATA
// fixes the transfer ID, so a server that answers from its own port 69 and one that answers from
// a fresh port both work.
FetchResult FetchFile(const FetchRequest& request);

} // namespace devsim
