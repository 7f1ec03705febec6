// The lock-step limit over loopback: N exchanges of a 516-byte datagram and a 4-byte answer
// between two threads, with nothing else done per exchange. Prints the elapsed seconds.
//   skelvo-bench-pingpong EXCHANGES [RUNS]
#include "net/net.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

int main(int argc, char** argv) {
    const long exchanges = argc > 1 ? std::atol(argv[1]) : 1476;
    const int runs = argc > 2 ? std::atoi(argv[2]) : 5;
    net::Startup();
    std::vector<double> seconds;
    for (int run = 0; run < runs; ++run) {
        net::Socket a = net::Socket::Udp();
        net::Socket b = net::Socket::Udp();
        if (!a.Bind({net::kLoopback, 0}) || !b.Bind({net::kLoopback, 0}))
            return 1;
        const net::Endpoint aEnd = *a.LocalEndpoint();
        const net::Endpoint bEnd = *b.LocalEndpoint();
        std::thread echo([&] {
            std::array<std::uint8_t, 516> in{};
            std::array<std::uint8_t, 4> ack{0, 4, 0, 0};
            for (long i = 0; i < exchanges; ++i) {
                net::RecvResult r = b.RecvFrom(in);
                if (r.status != net::RecvStatus::Data)
                    return;
                ack[2] = in[2];
                ack[3] = in[3];
                b.SendTo(ack, aEnd);
            }
        });
        std::array<std::uint8_t, 516> data{};
        data[1] = 3;
        std::array<std::uint8_t, 516> in{};
        const auto start = std::chrono::steady_clock::now();
        for (long i = 0; i < exchanges; ++i) {
            data[2] = static_cast<std::uint8_t>((i + 1) >> 8);
            data[3] = static_cast<std::uint8_t>(i + 1);
            a.SendTo(data, bEnd);
            if (a.RecvFrom(in).status != net::RecvStatus::Data)
                return 1;
        }
        seconds.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
        echo.join();
    }
    std::sort(seconds.begin(), seconds.end());
    std::printf("%.4f\n", seconds[seconds.size() / 2]);
    net::Cleanup();
    return 0;
}
