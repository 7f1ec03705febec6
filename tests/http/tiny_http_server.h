// A scripted TCP peer on a loopback address: it reads one request per connection and answers with
// fixed chunks, each sent by itself, then closes, resets or stays silent.
#pragma once

#include "net/net.h"

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace skelvo::test {

struct ScriptedReply {
    enum class End { Close, Reset, Silent };
    std::vector<std::string> chunks;
    std::chrono::milliseconds gap{150}; // between chunks, so that each arrives in its own receive
    End end = End::Close;
};

class TinyHttpServer {
  public:
    explicit TinyHttpServer(ScriptedReply reply, net::Ipv4 address = net::kLoopback);
    ~TinyHttpServer();
    TinyHttpServer(const TinyHttpServer&) = delete;
    TinyHttpServer& operator=(const TinyHttpServer&) = delete;

    std::uint16_t port() const { return m_port; }
    std::vector<std::string> Requests() const;
    std::vector<net::Endpoint> Peers() const;

  private:
    void Serve();
    void Answer(net::Socket& client);

    ScriptedReply m_reply;
    // Winsock refuses sockets outside a start-up; this one outlives the listener and the thread.
    net::StartupGuard m_startup;
    net::Socket m_listener;
    std::uint16_t m_port = 0;
    std::atomic<bool> m_stop{false};
    mutable std::mutex m_lock;
    std::vector<std::string> m_requests;
    std::vector<net::Endpoint> m_peers;
    std::thread m_thread;
};

// A loopback port on which nothing listens (bound, then released).
std::uint16_t UnusedTcpPort();

} // namespace skelvo::test
