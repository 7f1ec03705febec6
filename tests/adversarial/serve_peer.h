// `skelvo-cli serve` as a child process on a free port, and a raw UDP client that speaks to it
// byte by byte, for tests that feed the server hostile datagrams.
#pragma once

#include "net/net.h"

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace adversarial {

using Bytes = std::vector<std::uint8_t>;
Bytes B(std::string_view text); // the text's bytes, embedded NULs included

// One run of `skelvo-cli serve --port 0 --trace` with extra arguments; stdout (the trace) and
// stderr go to files in a temporary directory. The destructor kills it if it still runs.
class ServeProcess {
  public:
    explicit ServeProcess(const std::vector<std::string>& args);
    ~ServeProcess();
    ServeProcess(const ServeProcess&) = delete;
    ServeProcess& operator=(const ServeProcess&) = delete;

    // The UDP port it serves on, once it has said so; 0 if it never did within the bound.
    std::uint16_t port() const { return m_port; }
    net::Endpoint endpoint() const { return {net::kLoopback, m_port}; }
    // Its exit status, or nothing while it still runs after the bound.
    std::optional<int> Wait(std::chrono::milliseconds bound = std::chrono::seconds(30));
    std::string Trace() const;
    std::string Errors() const;

  private:
    int m_pid = -1;
    std::optional<int> m_status;
    std::string m_dir;
    std::uint16_t m_port = 0;
};

// A file of `size` pattern bytes in a fresh directory, removed with the object.
class ImageFile {
  public:
    explicit ImageFile(std::size_t size, unsigned seed = 7);
    ~ImageFile();
    ImageFile(const ImageFile&) = delete;
    ImageFile& operator=(const ImageFile&) = delete;
    const std::string& path() const { return m_path; }
    const Bytes& bytes() const { return m_bytes; }

  private:
    std::string m_dir;
    std::string m_path;
    Bytes m_bytes;
};

// A UDP socket on a loopback address (127.0.0.1 by default, or e.g. 127.0.0.2 for a stranger).
class RawClient {
  public:
    explicit RawClient(net::Ipv4 address = net::kLoopback);
    void Send(const Bytes& datagram, net::Endpoint to);
    // The next datagram within the bound, with its sender.
    std::optional<Bytes> Receive(std::chrono::milliseconds bound, net::Endpoint* from = nullptr);
    // Sends the RRQ and acknowledges every block in order; the bytes, or nothing on any error.
    std::optional<Bytes> Download(net::Endpoint server, std::string_view request,
                                  std::chrono::milliseconds perBlock = std::chrono::seconds(5));
    net::Socket& socket() { return m_socket; }

  private:
    net::Socket m_socket;
};

Bytes Rrq(std::string_view name, std::string_view mode, std::string_view rest = {});
Bytes Ack(unsigned block);
unsigned Opcode(const Bytes& packet);
unsigned BlockOf(const Bytes& packet);

// True once our own bind of the UDP port succeeds, that is, the server has released it.
bool PortReleased(std::uint16_t port);

} // namespace adversarial
