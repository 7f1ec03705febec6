#include "tests/http/tiny_http_server.h"

#if defined(_WIN32)
#include <winsock2.h>
#else
#include <sys/socket.h>
#endif

#include <stdexcept>

namespace skelvo::test {

TinyHttpServer::TinyHttpServer(ScriptedReply reply, net::Ipv4 address) : m_reply(std::move(reply)) {
    m_listener = net::Socket::Tcp();
    m_listener.SetReuseAddress();
    if (!m_listener.Bind(net::Endpoint{address, 0}) || !m_listener.Listen())
        throw std::runtime_error("tiny server: cannot listen");
    m_port = m_listener.LocalEndpoint()->port;
    m_thread = std::thread([this] { Serve(); });
}

TinyHttpServer::~TinyHttpServer() {
    m_stop = true;
    m_listener.Shutdown();
    m_thread.join();
}

std::vector<std::string> TinyHttpServer::Requests() const {
    std::lock_guard lock(m_lock);
    return m_requests;
}

std::vector<net::Endpoint> TinyHttpServer::Peers() const {
    std::lock_guard lock(m_lock);
    return m_peers;
}

void TinyHttpServer::Serve() {
    while (!m_stop) {
        if (!m_listener.WaitReadable(std::chrono::milliseconds(50)))
            continue;
        net::Endpoint peer;
        net::Socket client = m_listener.Accept(&peer);
        if (!client)
            continue;
        {
            std::lock_guard lock(m_lock);
            m_peers.push_back(peer);
        }
        Answer(client);
    }
}

void TinyHttpServer::Answer(net::Socket& client) {
    std::string request;
    std::uint8_t buffer[2048];
    while (request.find("\r\n\r\n") == std::string::npos && !m_stop) {
        if (!client.WaitReadable(std::chrono::milliseconds(50)))
            continue;
        net::RecvResult r = client.Recv(buffer);
        if (r.status != net::RecvStatus::Data)
            break;
        request.append(reinterpret_cast<const char*>(buffer), r.size);
    }
    {
        std::lock_guard lock(m_lock);
        m_requests.push_back(request);
    }
    for (std::size_t i = 0; i < m_reply.chunks.size(); ++i) {
        if (i > 0)
            std::this_thread::sleep_for(m_reply.gap);
        client.Send(m_reply.chunks[i]);
    }
    switch (m_reply.end) {
    case ScriptedReply::End::Close:
        break;
    case ScriptedReply::End::Reset: {
        // SO_LINGER with a zero time makes close() send RST instead of FIN.
        linger l{1, 0};
        ::setsockopt(client.native(), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&l), sizeof l);
        break;
    }
    case ScriptedReply::End::Silent:
        while (!m_stop)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        break;
    }
    client.Close();
}

std::uint16_t UnusedTcpPort() {
    net::Socket s = net::Socket::Tcp();
    s.Bind(net::Endpoint{net::kLoopback, 0});
    return s.LocalEndpoint()->port;
}

} // namespace skelvo::test
