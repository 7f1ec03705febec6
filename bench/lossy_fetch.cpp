// The device simulator's TFTP client with its drop faults, as a stand-alone lossy client: fetches
// "image" from a server a number of times, each download seeded on its own, and compares every
// download with the expected file. Prints one line per download: "ok SECONDS" or "fail SECONDS
// REASON".
//   skelvo-bench-lossy-fetch HOST:PORT EXPECTED_FILE DOWNLOADS LOSS SEED [TIMEOUT_MS]
#include "devsim/tftp_client.h"
#include "net/net.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

int main(int argc, char** argv) {
    if (argc < 6) {
        std::fprintf(stderr, "usage: %s HOST:PORT EXPECTED_FILE DOWNLOADS LOSS SEED [TIMEOUT_MS]\n", argv[0]);
        return 2;
    }
    std::string where = argv[1];
    auto colon = where.rfind(':');
    auto ip = net::ParseIpv4(where.substr(0, colon));
    if (!ip || colon == std::string::npos)
        return 2;
    net::Endpoint server{*ip, static_cast<std::uint16_t>(std::atoi(where.c_str() + colon + 1))};
    std::ifstream in(argv[2], std::ios::binary);
    std::vector<std::uint8_t> expected((std::istreambuf_iterator<char>(in)),
                                       std::istreambuf_iterator<char>());
    const int downloads = std::atoi(argv[3]);
    const double loss = std::atof(argv[4]);
    const std::uint64_t seed = std::strtoull(argv[5], nullptr, 10);
    const int timeoutMs = argc > 6 ? std::atoi(argv[6]) : 2000;

    net::Startup();
    int failures = 0;
    for (int i = 0; i < downloads; ++i) {
        devsim::Rng rng(seed * 1000 + static_cast<std::uint64_t>(i));
        devsim::FetchRequest request;
        request.localAddress = net::kLoopback;
        request.server = server;
        request.options.timeout = std::chrono::milliseconds(timeoutMs);
        request.options.dally = std::chrono::milliseconds(200);
        request.faults.dropData = loss;
        request.faults.dropAck = loss;
        request.rng = &rng;
        const auto start = std::chrono::steady_clock::now();
        devsim::FetchResult result = devsim::FetchFile(request);
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (result.ok && result.data == expected) {
            std::printf("ok %.3f\n", seconds);
        } else {
            ++failures;
            std::printf("fail %.3f %s\n", seconds, result.ok ? "bytes differ" : result.error.c_str());
        }
        std::fflush(stdout);
    }
    net::Cleanup();
    return failures == 0 ? 0 : 1;
}
