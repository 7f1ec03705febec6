// The fleet server on UDP port 69 for one device, as a program for the boot loader tests: serves
// IMAGE to ADDRESS for a verification and a programming download, prints each event and the
// session's result, and exits 0 when both were served.
//   skelvo-test-fleet-serve IMAGE ADDRESS
#include "engine/events.h"
#include "engine/trace.h"
#include "tftp/tftp_fleet.h"

#include <chrono>
#include <cstdio>
#include <fstream>
#include <future>
#include <iterator>
#include <vector>

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: skelvo-test-fleet-serve IMAGE ADDRESS\n");
        return 2;
    }
    std::ifstream in(argv[1], std::ios::binary);
    const std::optional<net::Ipv4> address = net::ParseIpv4(argv[2]);
    if (!in || !address) {
        std::fprintf(stderr, "skelvo-test-fleet-serve: cannot read %s or %s\n", argv[1], argv[2]);
        return 2;
    }
    const std::vector<unsigned char> bytes((std::istreambuf_iterator<char>(in)),
                                           std::istreambuf_iterator<char>());
    const ImageDescriptor image{static_cast<std::uint32_t>(bytes.size()), bytes.data()};
    TftpServerOptions options;
    TftpFleetServer server(OpenTftpSocket(options), options);
    if (server.port() == 0)
        return 3;

    auto context = std::make_shared<TftpDeviceContext>();
    context->image = &image;
    context->tag = address->ToString() + ": ";
    context->report = [](bool error, int code, const void*) {
        if (code != STATUS_PROGRESS)
            std::printf("event %s\n", error ? ErrorName(code) : StatusName(code));
        std::fflush(stdout);
    };
    std::promise<int> ended;
    FleetDevice device;
    device.address = *address;
    device.context = context;
    device.onEnd = [&ended](int result) { ended.set_value(result); };
    if (!server.Add(std::move(device)))
        return 3;
    std::printf("serving %zu bytes to %s on UDP port %u\n", bytes.size(), argv[2],
                static_cast<unsigned>(server.port()));
    std::fflush(stdout);

    std::future<int> result = ended.get_future();
    if (result.wait_for(std::chrono::seconds(300)) != std::future_status::ready) {
        std::printf("no end within 300 s\n");
        return 1;
    }
    const int r = result.get();
    std::printf("result %d\n", r);
    return r == 1 ? 0 : 1;
}
