#include "tests/support/ports.h"

#include "net/net.h"

namespace skelvo::test {

std::uint16_t FreeUdpPort() {
    net::Socket s = net::Socket::Udp();
    if (!s.Bind(net::Endpoint{net::kAnyAddress, 0}))
        return 0;
    const auto local = s.LocalEndpoint();
    return local ? local->port : 0;
}

std::uint16_t FreeTcpPort(const std::string& address) {
    net::Socket s = net::Socket::Tcp();
    if (!s.Bind(net::Endpoint{net::ParseIpv4(address).value_or(net::kLoopback), 0}))
        return 0;
    const auto local = s.LocalEndpoint();
    return local ? local->port : 0;
}

} // namespace skelvo::test
