// Ports for a test's own servers: free a moment ago, never 69 or 80.
#pragma once

#include <cstdint>
#include <string>

namespace skelvo::test {

// A UDP port free on every address (a server under test binds all of them); 0 when none could be
// had.
std::uint16_t FreeUdpPort();
// A TCP port free on `address`; 0 when none could be had.
std::uint16_t FreeTcpPort(const std::string& address = "127.0.0.1");

} // namespace skelvo::test
