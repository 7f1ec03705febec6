// Image sizes at the edges of the block arithmetic, fetched twice by curl, and a tftp-hpa client
// that is stopped mid-transfer.
#include "tests/adversarial/serve_peer.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace adversarial;
using namespace std::chrono_literals;

namespace {

std::string Shell(const std::string& command, int* status) {
    std::string out;
    FILE* p = ::popen(command.c_str(), "r");
    if (p == nullptr) {
        *status = -1;
        return out;
    }
    char buffer[4096];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, p)) > 0)
        out.append(buffer, n);
    int rc = ::pclose(p);
    *status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    return out;
}

Bytes ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

} // namespace

TEST(AdversarialSizes, EdgeSizesAreServedWholeTwice) {
    const std::size_t sizes[] = {0, 1, 511, 512, 513, 1024, 33553919};
    for (std::size_t size : sizes) {
        SCOPED_TRACE(size);
        ImageFile image(size, static_cast<unsigned>(size));
        ServeProcess serve({"--image", image.path()});
        ASSERT_NE(serve.port(), 0) << serve.Errors();
        for (int pass = 1; pass <= 2; ++pass) {
            std::string out = image.path() + ".got" + std::to_string(pass);
            int status = 0;
            Shell("curl -s --tftp-no-options -o " + out +
                      " tftp://127.0.0.1:" + std::to_string(serve.port()) + "/image",
                  &status);
            EXPECT_EQ(status, 0) << "pass " << pass << "\n" << serve.Errors();
            Bytes got = ReadFile(out);
            EXPECT_EQ(got.size(), size);
            EXPECT_TRUE(got == image.bytes()) << "pass " << pass;
            std::remove(out.c_str());
        }
        EXPECT_EQ(serve.Wait(60s), 0) << serve.Errors();
    }
}

TEST(AdversarialSizes, ImageNeedingBlock65536IsRefusedBeforeTheFirstBlock) {
    ImageFile image(33553920);
    ServeProcess serve({"--image", image.path()});
    ASSERT_NE(serve.port(), 0) << serve.Errors();
    RawClient device;
    device.Send(Rrq("image", "octet"), serve.endpoint());
    EXPECT_FALSE(device.Receive(1s).has_value());
    EXPECT_EQ(serve.Wait(), 1);
    EXPECT_NE(serve.Trace().find("Image of 33553920 bytes refused"), std::string::npos) << serve.Trace();
    EXPECT_TRUE(PortReleased(serve.port()));
}

// The server resends the outstanding DATA packet after a time-out that starts from the measured
// round trip (tens of milliseconds on loopback) and doubles up to 2 s, then every 2 s, and gives up
// about 47 s after the last ACK.
TEST(AdversarialStall, StoppedClientGetsBackedOffResendsThenTheTransferFails) {
    ImageFile image(16u << 20);
    ServeProcess serve({"--image", image.path()});
    ASSERT_NE(serve.port(), 0);
    std::string out = image.path() + ".got";
    std::string command =
        "exec tftp 127.0.0.1 " + std::to_string(serve.port()) + " -m binary -c get image " + out;
    pid_t client = ::fork();
    ASSERT_GE(client, 0);
    if (client == 0) {
        ::execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    // Let the transfer get going, then freeze the client.
    const auto started = std::chrono::steady_clock::now();
    while (serve.Trace().find("Server is verifying") == std::string::npos &&
           std::chrono::steady_clock::now() - started < 20s)
        std::this_thread::sleep_for(10ms);
    std::this_thread::sleep_for(200ms);
    ASSERT_EQ(::kill(client, SIGSTOP), 0);
    const auto stopped = std::chrono::steady_clock::now();

    // Watch the trace for the resend lines and note when each appears.
    std::vector<double> at; // seconds after the stop
    const std::string marker = "after ";
    std::size_t seen = 0;
    std::optional<int> status;
    while (!(status = serve.Wait(50ms)) && std::chrono::steady_clock::now() - stopped < 120s) {
        std::string trace = serve.Trace();
        std::size_t pos;
        while ((pos = trace.find(": sending it again", seen)) != std::string::npos) {
            at.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - stopped).count());
            seen = pos + 1;
        }
    }
    const double ended = std::chrono::duration<double>(std::chrono::steady_clock::now() - stopped).count();
    ::kill(client, SIGKILL);
    int ignored = 0;
    ::waitpid(client, &ignored, 0);
    std::remove(out.c_str());

    ASSERT_TRUE(status.has_value()) << "the server did not give up";
    EXPECT_EQ(*status, 1);
    const std::string trace = serve.Trace();
    EXPECT_NE(trace.find("after 2000 ms: sending it again"), std::string::npos)
        << trace.substr(trace.size() > 2000 ? trace.size() - 2000 : 0);
    EXPECT_NE(trace.find("Correct ACK not recieved...bailing out."), std::string::npos);
    // With generous bounds for a loaded machine: the first resend well within a second of the
    // stop, never more than the 2 s cap (plus slack) between two, and many of them.
    ASSERT_GE(at.size(), 20u);
    EXPECT_LT(at[0], 2.0);
    for (std::size_t i = 1; i < at.size(); ++i)
        EXPECT_LT(at[i] - at[i - 1], 4.0) << i;
    EXPECT_GT(ended, 45.0);
    EXPECT_LT(ended, 80.0);
    EXPECT_TRUE(PortReleased(serve.port()));
}
