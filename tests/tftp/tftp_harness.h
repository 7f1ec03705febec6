// A TFTP worker on its own thread and port for one test, and a raw-UDP client that speaks to it
// packet by packet.
#pragma once

#include "net/net.h"
#include "tftp/tftp_server.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <future>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace skelvo::test {

using Bytes = std::vector<std::uint8_t>;
using namespace std::chrono_literals;

// Registers CheckFilename and ReadImageBlock (keeping slots 4 and 5, so create the EventRecorder
// after or before, either way) and runs TftpServerThread on a free port. The destructor stops the
// worker if it still runs and always joins it.
class ServerRun {
  public:
    explicit ServerRun(TftpServerOptions options = {}, int firstPass = 1);
    ~ServerRun();
    ServerRun(const ServerRun&) = delete;
    ServerRun& operator=(const ServerRun&) = delete;

    bool bound() const { return m_port != 0; }
    std::uint16_t port() const { return m_port; }
    net::Endpoint endpoint() const { return net::Endpoint{net::kLoopback, m_port}; }
    // Waits for the worker to end by itself; its result, or nothing after the bound (the worker is
    // then stopped and joined).
    std::optional<int> Finish(std::chrono::milliseconds bound = 60s);
    void Stop();

  private:
    std::shared_ptr<TftpServerStop> m_stop = std::make_shared<TftpServerStop>();
    std::promise<std::uint16_t> m_bound;
    std::promise<int> m_result;
    std::future<int> m_resultFuture;
    std::optional<int> m_finalResult;
    std::uint16_t m_port = 0;
    std::thread m_thread;
};

struct Packet {
    Bytes bytes;
    net::Endpoint from;
    unsigned opcode() const { return bytes.size() >= 2 ? (bytes[0] << 8u) | bytes[1] : 0u; }
    unsigned number() const { return bytes.size() >= 4 ? (bytes[2] << 8u) | bytes[3] : 0u; }
    std::size_t dataSize() const { return bytes.size() >= 4 ? bytes.size() - 4 : 0; }
};

Bytes Rrq(std::string_view name = "image", std::string_view mode = "octet");
// The request with RFC 2347 fields appended, each NUL-terminated: {"blksize", "1468", ...}.
Bytes WithOptions(Bytes request, std::initializer_list<std::string_view> fields);
Bytes Ack(unsigned block);
Bytes ErrorPacket(unsigned code, std::string_view message, bool withNul = true);

class RawClient {
  public:
    explicit RawClient(net::Ipv4 local = net::kLoopback);
    net::Endpoint local() const;
    void Send(const Bytes& bytes, net::Endpoint to);
    std::optional<Packet> Receive(std::chrono::milliseconds bound = 10s);

  private:
    net::Socket m_socket;
};

struct FetchResult {
    Bytes data;
    int packets = 0;
    std::size_t lastPacketSize = 0;
    bool complete = false;
};

// A well-behaved client: RRQ, then ACK every DATA block to its sender until the short block.
FetchResult Fetch(RawClient& client, net::Endpoint server, std::string_view name = "image");

// The engine's own parts of the record for every test: the built-in images, nothing selected.
void ResetServerState();

} // namespace skelvo::test
