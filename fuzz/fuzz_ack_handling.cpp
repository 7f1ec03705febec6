// The wait for an ACK: any sequence of datagrams, from the client or a stranger, arriving over
// loopback at the server socket while one DATA block is outstanding.
#include "fuzz/fuzz_support.h"

#include "net/net.h"
#include "tftp/tftp_server.h"

#include <array>
#include <cstdint>
#include <cstdlib>
#include <vector>

namespace {

struct Sockets {
    net::Socket server;
    net::Socket client;
    net::Socket stranger; // on another loopback address
    net::Endpoint serverEnd;
    net::Endpoint clientEnd;
};

Sockets* g_sockets = nullptr;

net::Socket BoundUdp(net::Ipv4 ip, net::Endpoint* where) {
    net::Socket s = net::Socket::Udp();
    if (!s || !s.Bind({ip, 0}))
        std::abort();
    *where = *s.LocalEndpoint();
    return s;
}

void Drain(net::Socket& socket) {
    std::array<std::uint8_t, 2048> sink{};
    while (socket.BytesAvailable() > 0)
        socket.RecvFrom(sink);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    skelvo::fuzz::InstallQuietEngine();
    net::Startup();
    g_sockets = new Sockets;
    g_sockets->server = BoundUdp(net::kLoopback, &g_sockets->serverEnd);
    g_sockets->client = BoundUdp(net::kLoopback, &g_sockets->clientEnd);
    net::Endpoint strangerEnd;
    g_sockets->stranger = BoundUdp(net::Ipv4{0x7F000002u}, &strangerEnd);
    return 0;
}

// Input: 2 bytes of block number, then datagrams, each a 2-byte header (top bit: sent by the
// stranger; low 11 bits: length) and its bytes. At most 16 datagrams.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2)
        return 0;
    Sockets& s = *g_sockets;
    const unsigned block = (static_cast<unsigned>(data[0]) << 8) | data[1];
    std::size_t at = 2;
    for (int n = 0; n < 16 && at + 2 <= size; ++n) {
        const unsigned header = (static_cast<unsigned>(data[at]) << 8) | data[at + 1];
        at += 2;
        std::size_t length = std::min<std::size_t>(header & 0x7FF, size - at);
        net::Socket& from = (header & 0x8000) != 0 ? s.stranger : s.client;
        if (from.SendTo(std::span<const std::uint8_t>(data + at, length), s.serverEnd) < 0)
            std::abort();
        at += length;
    }
    // The real ACK last, so that the wait ends unless an earlier datagram ended it or a drain
    // discarded it; the short timer covers the latter.
    const std::array<std::uint8_t, 4> ack{0, 4, static_cast<std::uint8_t>(block >> 8),
                                          static_cast<std::uint8_t>(block & 0xFF)};
    s.client.SendTo(ack, s.serverEnd);

    const std::array<std::uint8_t, 4> dataPacket{0, 3, ack[2], ack[3]};
    AckWait wait{s.clientEnd, dataPacket,
                 RetransmitPolicy{std::chrono::milliseconds(5), std::chrono::milliseconds(5), 1}, nullptr};
    const int result = WaitForAck(s.server, block, wait);
    if (result != kAckFailed && result != kAckReceived)
        std::abort();
    Drain(s.server);
    Drain(s.client);
    return 0;
}
