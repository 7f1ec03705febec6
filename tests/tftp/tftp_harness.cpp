#include "tests/tftp/tftp_harness.h"

#include "engine/upgrade_record.h"
#include "tftp/tftp_callbacks.h"

#include <gtest/gtest.h>

namespace skelvo::test {

ServerRun::ServerRun(TftpServerOptions options, int firstPass) {
    g_TftpCallbacks.CheckFilenameHandler = &CheckFilename;
    g_TftpCallbacks.ReadBlockHandler = &ReadImageBlock;
    g_TftpCallbacks.WriteBlockHandler = nullptr;
    options.port = 0;
    options.stop = m_stop;
    options.onBound = [this](std::uint16_t port) { m_bound.set_value(port); };
    m_resultFuture = m_result.get_future();
    std::future<std::uint16_t> bound = m_bound.get_future();
    m_thread = std::thread([this, options, firstPass] {
        int r = TftpServerThread(firstPass, options);
        m_result.set_value(r);
    });
    // The worker either binds and reports its port, or ends at once.
    for (;;) {
        if (bound.wait_for(10ms) == std::future_status::ready) {
            m_port = bound.get();
            break;
        }
        if (m_resultFuture.wait_for(0ms) == std::future_status::ready)
            break;
    }
}

ServerRun::~ServerRun() {
    Stop();
}

void ServerRun::Stop() {
    m_stop->Request();
    if (m_thread.joinable())
        m_thread.join();
}

std::optional<int> ServerRun::Finish(std::chrono::milliseconds bound) {
    if (m_finalResult)
        return m_finalResult;
    if (m_resultFuture.wait_for(bound) != std::future_status::ready) {
        Stop();
        return std::nullopt;
    }
    m_finalResult = m_resultFuture.get();
    m_thread.join();
    return m_finalResult;
}

Bytes WithOptions(Bytes request, std::initializer_list<std::string_view> fields) {
    for (std::string_view f : fields) {
        request.insert(request.end(), f.begin(), f.end());
        request.push_back(0);
    }
    return request;
}

Bytes Rrq(std::string_view name, std::string_view mode) {
    Bytes b{0, 1};
    b.insert(b.end(), name.begin(), name.end());
    b.push_back(0);
    b.insert(b.end(), mode.begin(), mode.end());
    b.push_back(0);
    return b;
}

Bytes Ack(unsigned block) {
    return Bytes{0, 4, static_cast<std::uint8_t>(block >> 8), static_cast<std::uint8_t>(block & 0xFF)};
}

Bytes ErrorPacket(unsigned code, std::string_view message, bool withNul) {
    Bytes b{0, 5, static_cast<std::uint8_t>(code >> 8), static_cast<std::uint8_t>(code & 0xFF)};
    b.insert(b.end(), message.begin(), message.end());
    if (withNul)
        b.push_back(0);
    return b;
}

RawClient::RawClient(net::Ipv4 local) : m_socket(net::Socket::Udp()) {
    EXPECT_TRUE(m_socket.Bind(net::Endpoint{local, 0})) << "errno " << net::LastError();
}

net::Endpoint RawClient::local() const {
    auto ep = m_socket.LocalEndpoint();
    return ep ? *ep : net::Endpoint{};
}

void RawClient::Send(const Bytes& bytes, net::Endpoint to) {
    long n = m_socket.SendTo(bytes, to);
    EXPECT_EQ(n, static_cast<long>(bytes.size()));
}

std::optional<Packet> RawClient::Receive(std::chrono::milliseconds bound) {
    Bytes buffer(65536); // room for the largest negotiated block
    net::RecvResult r = m_socket.RecvFromFor(buffer, bound);
    if (r.status != net::RecvStatus::Data)
        return std::nullopt;
    buffer.resize(r.size);
    return Packet{std::move(buffer), r.from};
}

FetchResult Fetch(RawClient& client, net::Endpoint server, std::string_view name) {
    FetchResult out;
    client.Send(Rrq(name), server);
    unsigned expected = 1;
    for (;;) {
        auto p = client.Receive();
        // A block the server sent again because its timer ran out before our ACK came (a loaded
        // host) is a duplicate: the ACK already sent answers it.
        if (p && p->opcode() == 3 && expected > 1 && p->number() == ((expected - 1) & 0xFFFF))
            continue;
        if (!p || p->opcode() != 3 || p->number() != (expected & 0xFFFF))
            return out;
        ++out.packets;
        out.lastPacketSize = p->bytes.size();
        out.data.insert(out.data.end(), p->bytes.begin() + 4, p->bytes.end());
        client.Send(Ack(expected), p->from);
        if (p->dataSize() < 512) {
            out.complete = true;
            return out;
        }
        ++expected;
    }
}

void ResetServerState() {
    ResetUpgradeRecord();
}

} // namespace skelvo::test
