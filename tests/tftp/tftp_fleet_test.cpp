// The fleet server: many devices at once on one socket, each fetched by the simulator's own TFTP
// client from an address of its own on loopback (127.0.3.x), as devices of one subnet would.
#include "devsim/tftp_client.h"
#include "engine/events.h"
#include "tests/support/event_recorder.h"
#include "tftp/tftp_fleet.h"

#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;

net::Ipv4 DeviceAddress(int n) {
    return net::Ipv4{(127u << 24) | (3u << 8) | static_cast<std::uint32_t>(n)};
}

// What one device's session reported, in order.
struct DeviceLog {
    std::mutex lock;
    std::vector<int> statuses; // without STATUS_PROGRESS
    std::vector<int> errors;
    int progress = 0;
    int finalAck = -1;
    int result = -1;
};

class Fleet : public ::testing::Test {
  protected:
    void SetUp() override {
        for (unsigned seed = 1; seed <= 3; ++seed)
            images.push_back(skelvo::test::PatternBytes(40000 + seed * 3001, seed));
        for (const auto& bytes : images)
            descriptors.push_back(ImageDescriptor{static_cast<std::uint32_t>(bytes.size()), bytes.data()});
    }

    void Start(std::chrono::milliseconds programmingWait = 30s) {
        TftpServerOptions options;
        options.port = 0;
        options.programmingWait = programmingWait;
        TftpSocket socket = OpenTftpSocket(options);
        ASSERT_TRUE(socket);
        server = std::make_unique<TftpFleetServer>(std::move(socket), options);
        ASSERT_NE(server->port(), 0);
    }

    DeviceLog& Add(int n, int image) {
        auto log = std::make_unique<DeviceLog>();
        DeviceLog& l = *log;
        logs.emplace(n, std::move(log));
        auto context = std::make_shared<TftpDeviceContext>();
        context->image = &descriptors[static_cast<std::size_t>(image)];
        context->tag = DeviceAddress(n).ToString() + ": ";
        context->report = [&l](bool error, int code, const void* info) {
            std::lock_guard<std::mutex> guard(l.lock);
            if (error)
                l.errors.push_back(code);
            else if (code == STATUS_PROGRESS)
                ++l.progress;
            else
                l.statuses.push_back(code);
            if (!error && code == STATUS_COMPLETE && info != nullptr)
                l.finalAck = static_cast<const CompletionInfo*>(info)->FinalAckReceived;
        };
        FleetDevice device{DeviceAddress(n), context, 1, [&l](int result) {
                               std::lock_guard<std::mutex> guard(l.lock);
                               l.result = result;
                           }};
        EXPECT_TRUE(server->Add(std::move(device)));
        return l;
    }

    devsim::FetchResult Fetch(int n, const devsim::TftpFaultPlan& faults = {}, devsim::Rng* rng = nullptr) {
        devsim::FetchRequest request;
        request.localAddress = DeviceAddress(n);
        request.server = net::Endpoint{net::kLoopback, server->port()};
        request.faults = faults;
        request.rng = rng;
        request.options.timeout = 500ms;
        request.options.retries = 20;
        request.options.dally = 200ms;
        return devsim::FetchFile(request);
    }

    std::vector<std::vector<unsigned char>> images;
    std::vector<ImageDescriptor> descriptors;
    std::map<int, std::unique_ptr<DeviceLog>> logs;
    std::unique_ptr<TftpFleetServer> server;
};

// Twenty devices of three models at once, a quarter of them on a lossy link: each gets its own
// model's image twice, whole, and its own events in the order of one upgrade.
TEST_F(Fleet, ManyDevicesAtOnceEachGetItsOwnImageTwice) {
    Start();
    constexpr int kDevices = 20;
    for (int n = 1; n <= kDevices; ++n)
        Add(n, n % 3);
    std::vector<std::thread> devices;
    std::vector<std::string> failures(kDevices + 1);
    for (int n = 1; n <= kDevices; ++n) {
        devices.emplace_back([&, n] {
            devsim::Rng rng(static_cast<std::uint64_t>(n));
            devsim::TftpFaultPlan faults;
            if (n % 4 == 0) {
                faults.dropData = 0.05;
                faults.dropAck = 0.05;
            }
            const auto& expected = images[static_cast<std::size_t>(n % 3)];
            for (const char* pass : {"verify", "program"}) {
                devsim::FetchResult r = Fetch(n, faults, &rng);
                if (!r.ok || r.data != expected)
                    failures[static_cast<std::size_t>(n)] += std::string(pass) + ": " + r.error + " ";
                if (std::string(pass) == "verify")
                    std::this_thread::sleep_for(50ms); // the erase
            }
        });
    }
    for (std::thread& t : devices)
        t.join();
    ASSERT_TRUE(server->WaitIdle(60s));
    for (int n = 1; n <= kDevices; ++n) {
        SCOPED_TRACE(n);
        EXPECT_EQ(failures[static_cast<std::size_t>(n)], "");
        DeviceLog& l = *logs[n];
        EXPECT_EQ(l.statuses,
                  (std::vector<int>{STATUS_VERIFYING, STATUS_ERASING, STATUS_PROGRAMMING, STATUS_COMPLETE}));
        EXPECT_TRUE(l.errors.empty());
        EXPECT_EQ(l.result, 1);
        EXPECT_GE(l.progress, 2 * static_cast<int>(images[static_cast<std::size_t>(n % 3)].size() / 512));
    }
    EXPECT_EQ(server->Active(), 0u);
}

// A device is added just before it is commanded and may ask at once, while the server waits for
// datagrams: that first request is served, not left to the device's time-out.
TEST_F(Fleet, ARequestThatComesRightAfterItsDeviceIsAddedIsServed) {
    Start();
    for (int n = 1; n <= 5; ++n) {
        SCOPED_TRACE(n);
        std::this_thread::sleep_for(30ms); // the server is waiting in its receive
        Add(n, 0);
        devsim::FetchRequest request;
        request.localAddress = DeviceAddress(n);
        request.server = net::Endpoint{net::kLoopback, server->port()};
        request.options.timeout = 5s;
        request.options.retries = 2;
        request.options.dally = 0ms;
        const devsim::FetchResult r = devsim::FetchFile(request);
        EXPECT_TRUE(r.ok) << r.error;
        EXPECT_EQ(r.requestsSent, 1);
        EXPECT_EQ(r.timeouts, 0) << "the first request went unanswered";
        server->Stop(DeviceAddress(n));
    }
}

// A host that is not in the batch gets nothing, and its request uses up no device's pass.
TEST_F(Fleet, AStrangerIsIgnoredAndTakesNoDevicesPass) {
    Start();
    DeviceLog& device = Add(1, 0);
    devsim::FetchRequest stranger;
    stranger.localAddress = DeviceAddress(99);
    stranger.server = net::Endpoint{net::kLoopback, server->port()};
    stranger.options.timeout = 200ms;
    stranger.options.retries = 1;
    EXPECT_FALSE(devsim::FetchFile(stranger).answered);
    {
        std::lock_guard<std::mutex> guard(device.lock);
        EXPECT_TRUE(device.statuses.empty());
    }
    EXPECT_TRUE(Fetch(1).ok);
    EXPECT_TRUE(Fetch(1).ok);
    ASSERT_TRUE(server->WaitIdle(30s));
    EXPECT_EQ(device.result, 1);
}

// Stopping one device ends only its session; a device that never asks for its programming
// download is told so when its wait ends, and the others are served all the same.
TEST_F(Fleet, OneDevicesEndLeavesTheOthersServed) {
    Start(400ms);
    DeviceLog& stopped = Add(1, 0);
    DeviceLog& silent = Add(2, 1);
    DeviceLog& served = Add(3, 2);
    server->Stop(DeviceAddress(1));
    EXPECT_TRUE(Fetch(2).ok); // verifies, then never asks again
    EXPECT_TRUE(Fetch(3).ok);
    EXPECT_TRUE(Fetch(3).ok);
    ASSERT_TRUE(server->WaitIdle(30s)); // device 2 ends once its programming wait is over
    EXPECT_EQ(stopped.result, 0);
    EXPECT_TRUE(stopped.statuses.empty());
    EXPECT_TRUE(stopped.errors.empty());
    EXPECT_EQ(silent.result, 0);
    EXPECT_EQ(silent.errors, std::vector<int>{ERR_NO_PROGRAMMING_REQUEST});
    EXPECT_EQ(served.result, 1);
    EXPECT_EQ(served.finalAck, 1);
}

// Stop() ends every session at once and gives the port back.
TEST_F(Fleet, StopEndsEverySessionAndReleasesThePort) {
    Start();
    DeviceLog& first = Add(1, 0);
    DeviceLog& second = Add(2, 0);
    EXPECT_TRUE(Fetch(1).ok);
    const std::uint16_t port = server->port();
    server->Stop();
    EXPECT_EQ(first.result, 0);
    EXPECT_EQ(second.result, 0);
    EXPECT_EQ(server->Active(), 0u);
    EXPECT_FALSE(server->Add(FleetDevice{DeviceAddress(3), nullptr, 1, nullptr}));
    TftpServerOptions again;
    again.port = port;
    EXPECT_TRUE(OpenTftpSocket(again));
}

} // namespace
