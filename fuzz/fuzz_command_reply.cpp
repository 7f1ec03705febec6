// The device's reply to the upgrade command, delivered over a loopback TCP connection: the scan
// for "unauthorized" in any letter case.
#include "fuzz/fuzz_support.h"

#include "http/device_http.h"
#include "net/net.h"

#include <algorithm>
#include <array>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <thread>

namespace {

net::Socket* g_listener = nullptr;
HttpCall g_call;

// Reads the command up to its blank line, sends the reply in pieces of the given size, closes.
void Answer(std::string_view reply, std::size_t piece) {
    net::Socket peer = g_listener->Accept();
    if (!peer)
        std::abort();
    std::string request;
    std::array<std::uint8_t, 1024> buffer{};
    while (request.find("\r\n\r\n") == std::string::npos) {
        net::RecvResult r = peer.Recv(buffer);
        if (r.status != net::RecvStatus::Data)
            return;
        request.append(reinterpret_cast<const char*>(buffer.data()), r.size);
    }
    for (std::size_t at = 0; at < reply.size(); at += piece) {
        std::string_view part = reply.substr(at, piece);
        if (peer.Send(part) < 0)
            return; // the client stopped reading once it had found the word
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    std::signal(SIGPIPE, SIG_IGN);
    skelvo::fuzz::InstallQuietEngine();
    net::Startup();
    g_listener = new net::Socket(net::Socket::Tcp());
    if (!g_listener->Bind({net::kLoopback, 0}) || !g_listener->Listen())
        std::abort();
    g_call.host = "127.0.0.1";
    g_call.port = g_listener->LocalEndpoint()->port;
    g_call.bounds.command = std::chrono::milliseconds(5000);
    return 0;
}

// Input: one byte of piece size (1 to 256), then the reply.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1)
        return 0;
    const std::size_t piece = static_cast<std::size_t>(data[0]) + 1;
    std::string_view reply(reinterpret_cast<const char*>(data + 1), size - 1);
    std::thread peer(Answer, reply, piece);
    const int result = SendUpgradeCommand(g_call, "root", "secret", kCommandFormat).result;
    peer.join();

    std::string lower(reply);
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; });
    // Without the word anywhere, no chunk can hold it: the command counts as accepted. With it in
    // a reply without NUL bytes, inside the read cap, it is found wherever the receives split it.
    if (lower.find("unauthorized") == std::string::npos && result != 1)
        std::abort();
    const std::size_t word = lower.find("unauthorized");
    if (word != std::string::npos && lower.find('\0') == std::string::npos &&
        word + 12 <= g_call.bounds.readCap && result != 0)
        std::abort();
    if (result != 0 && result != 1)
        std::abort();
    return 0;
}
