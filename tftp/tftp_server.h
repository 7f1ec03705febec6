// The TFTP image server (RFC 1350, reads only): the worker that serves the file "image" twice on
// UDP port 69, once for the device to verify it and once, after its flash is erased, to program it.
#pragma once

#include "net/net.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>

inline constexpr std::uint16_t kTftpPort = 69;

// How the server drives recovery when an ACK does not come: resend the DATA packet unchanged
// after `initial`, doubling up to `cap`, and give up after `timeouts` expiries in a row.
struct RetransmitPolicy {
    std::chrono::milliseconds initial{1000};
    std::chrono::milliseconds cap{8000};
    int timeouts = 8;
};

struct TftpServerOptions {
    // The product always serves on 69; tests and the CLI may choose another port. 0 binds any
    // free port, which the server then reports through onBound.
    std::uint16_t port = kTftpPort;
    // While set, datagrams on the port from any other host are ignored (and traced).
    std::optional<net::Ipv4> expectedClient;
    RetransmitPolicy retransmit;
    // Called on the worker thread once the socket is bound, with the port it holds.
    std::function<void(std::uint16_t)> onBound;
};

// The options that OpenTftpSocket, CheckTftpPort and StartTftpServer use unless given others.
void SetTftpServerOptions(const TftpServerOptions& options);
TftpServerOptions GetTftpServerOptions();

// Returns the bound UDP socket, or an invalid one after raising and tracing the failure. The
// caller owns the socket and one counted start-up (net::Cleanup once).
net::Socket OpenTftpSocket(const TftpServerOptions& options);
net::Socket OpenTftpSocket();
// 1 if the port could be bound, else 0. Leaves nothing open.
int CheckTftpPort(const TftpServerOptions& options);
int CheckTftpPort();
// Starts TftpServerThread(firstPass) on a new thread that nobody joins. Returns 1.
int StartTftpServer(int firstPass, const TftpServerOptions& options);
int StartTftpServer(int firstPass);
// The worker's body: 1 after both passes, 0 after a failure.
int TftpServerThread(int firstPass, const TftpServerOptions& options);
