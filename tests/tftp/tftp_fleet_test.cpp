// The fleet server: many devices at once on one socket, each fetched by the simulator's own TFTP
// client from an address of its own on loopback (127.0.3.x), as devices of one subnet would.
#include "devsim/tftp_client.h"
#include "engine/events.h"
#include "engine/trace.h"
#include "tests/support/event_recorder.h"
#include "tftp/tftp_fleet.h"

#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <mutex>
#include <set>
#include <string>
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

    void Start(std::chrono::milliseconds programmingWait = 30s, const FleetServerOptions& fleet = {}) {
        TftpServerOptions options;
        options.port = 0;
        options.programmingWait = programmingWait;
        TftpSocket socket = OpenTftpSocket(options);
        ASSERT_TRUE(socket);
        server = std::make_unique<TftpFleetServer>(std::move(socket), options, fleet);
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

    devsim::FetchResult Fetch(int n, const devsim::TftpFaultPlan& faults = {}, devsim::Rng* rng = nullptr,
                              devsim::TftpClientHub* hub = nullptr) {
        devsim::FetchRequest request;
        request.hub = hub;
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

// Twenty devices of three models at once, a quarter of them on a lossy link, half of them fetching
// on the one thread of a simulated fleet's hub: each gets its own model's image twice, whole, and
// its own events in the order of one upgrade.
TEST_F(Fleet, ManyDevicesAtOnceEachGetItsOwnImageTwice) {
    Start();
    devsim::TftpClientHub hub;
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
                devsim::FetchResult r = Fetch(n, faults, &rng, n % 2 == 0 ? &hub : nullptr);
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

// Everything a device's session reports, as the front end sees it, with the thread it came on.
struct Transcript {
    std::mutex lock;
    std::vector<std::string> lines;
    std::set<std::thread::id> threads;
    void Add(std::string line) {
        std::lock_guard<std::mutex> guard(lock);
        lines.push_back(std::move(line));
        threads.insert(std::this_thread::get_id());
    }
    std::vector<std::string> Of(const std::string& device) {
        std::lock_guard<std::mutex> guard(lock);
        std::vector<std::string> out;
        for (const auto& l : lines)
            if (l.rfind(device, 0) == 0)
                out.push_back(l.substr(device.size()));
        return out;
    }
};

FleetDevice Recording(Transcript& t, const std::string& tag) {
    FleetDevice d;
    d.onWait = [&t, tag](bool started, std::chrono::milliseconds) {
        t.Add(tag + (started ? "wait over" : "wait"));
    };
    d.onSummary = [&t, tag](const FleetDeviceSummary& s) {
        t.Add(tag + "summary " + std::to_string(s.result) + (s.waited.count() > 0 ? " waited" : ""));
    };
    return d;
}

// With two transfer slots and six devices asking at once, the four that find the slots taken wait
// and are served in the order they asked, each verification starting only below the limit; every
// callback and trace line comes on one thread, the event thread, with onSummary and onEnd last.
TEST_F(Fleet, RequestsBeyondTheLimitWaitTheirTurnAndAreServedInOrder) {
    Transcript t;
    SetTraceSink([&t](std::string_view text) {
        for (int n = 1; n <= 6; ++n) {
            const std::string tag = DeviceAddress(n).ToString() + ": ";
            if (text.rfind(tag, 0) == 0)
                t.Add(tag + "trace " + std::string(text.substr(tag.size())));
        }
    });
    FleetServerOptions fleet;
    fleet.maxTransfers = 2;
    Start(30s, fleet);
    // Each device's events go to the one transcript, in the order they come.
    std::atomic<int> inTransfer{0};
    std::atomic<int> verifyAboveLimit{0};
    std::vector<int> verifyOrder;
    std::mutex orderLock;
    for (int n = 1; n <= 6; ++n) {
        auto context = std::make_shared<TftpDeviceContext>();
        context->image = &descriptors[static_cast<std::size_t>(n % 3)];
        context->tag = DeviceAddress(n).ToString() + ": ";
        const std::string tag = context->tag;
        context->report = [&, tag, n](bool error, int code, const void*) {
            if (error || code == STATUS_PROGRESS)
                return;
            t.Add(tag + StatusName(code));
            if (code == STATUS_VERIFYING || code == STATUS_PROGRAMMING) {
                if (code == STATUS_VERIFYING && inTransfer.load() >= 2)
                    ++verifyAboveLimit;
                ++inTransfer;
                if (code == STATUS_VERIFYING) {
                    std::lock_guard<std::mutex> guard(orderLock);
                    verifyOrder.push_back(n);
                }
            } else if (code == STATUS_ERASING || code == STATUS_COMPLETE) {
                --inTransfer;
            }
        };
        FleetDevice device = Recording(t, tag);
        device.address = DeviceAddress(n);
        device.context = context;
        device.onEnd = [&t, tag](int result) { t.Add(tag + "end " + std::to_string(result)); };
        ASSERT_TRUE(server->Add(std::move(device)));
    }
    // The devices ask one after another, a few milliseconds apart, so their order is known.
    std::vector<std::thread> devices;
    std::vector<int> ok(7, 0);
    for (int n = 1; n <= 6; ++n) {
        devices.emplace_back([&, n] {
            bool fine = true;
            for (int pass = 0; pass < 2; ++pass) {
                devsim::FetchRequest request;
                request.localAddress = DeviceAddress(n);
                request.server = net::Endpoint{net::kLoopback, server->port()};
                request.options.timeout = 300ms;
                request.options.retries = 200; // asks again every 300 ms while it waits
                request.options.dally = 0ms;
                request.faults.ackDelay = 2ms; // a transfer lasts long enough to be waited for
                const devsim::FetchResult r = devsim::FetchFile(request);
                fine = fine && r.ok && r.data == images[static_cast<std::size_t>(n % 3)];
            }
            ok[static_cast<std::size_t>(n)] = fine ? 1 : 0;
        });
        std::this_thread::sleep_for(15ms);
    }
    for (std::thread& d : devices)
        d.join();
    ASSERT_TRUE(server->WaitIdle(60s));
    ResetTraceSink();
    EXPECT_EQ(verifyAboveLimit.load(), 0);
    EXPECT_EQ(verifyOrder, (std::vector<int>{1, 2, 3, 4, 5, 6}));
    EXPECT_EQ(t.threads.size(), 1u) << "every callback on the one event thread";
    EXPECT_EQ(t.threads.count(std::this_thread::get_id()), 0u);
    for (int n = 1; n <= 6; ++n) {
        SCOPED_TRACE(n);
        EXPECT_EQ(ok[static_cast<std::size_t>(n)], 1);
        std::vector<std::string> seen = t.Of(DeviceAddress(n).ToString() + ": ");
        // The trace lines that matter here, among the events.
        std::vector<std::string> kept;
        for (const auto& line : seen)
            if (line.rfind("trace ", 0) != 0 || line.find("verifying") != std::string::npos ||
                line.find("waits its turn") != std::string::npos)
                kept.push_back(line.rfind("trace ", 0) == 0 ? "trace" : line);
        std::vector<std::string> expected;
        if (n > 2)
            expected = {"trace", "wait", "wait over"};
        for (const char* e :
             {"STATUS_VERIFYING", "trace", "STATUS_ERASING", "STATUS_PROGRAMMING", "STATUS_COMPLETE"})
            expected.push_back(e);
        expected.push_back(n > 2 ? "summary 1 waited" : "summary 1");
        expected.push_back("end 1");
        EXPECT_EQ(kept, expected);
    }
}

// A front end that cannot keep up (here: one that blocks in its first report until the devices are
// done) holds no device's transfer: the server thread never waits on it. Progress is dropped once
// the queue is full, but no state change, no last block and no end.
TEST_F(Fleet, AStalledFrontEndHoldsNoTransferAndLosesOnlyProgress) {
    FleetServerOptions fleet;
    fleet.eventQueueLimit = 16;
    Start(30s, fleet);
    std::mutex gate;
    std::unique_lock<std::mutex> closed(gate);
    std::atomic<bool> first{true};
    std::mutex lock;
    std::vector<int> statuses;
    int progress = 0;
    int lastBlocks = 0;
    int result = -1;
    auto context = std::make_shared<TftpDeviceContext>();
    context->image = &descriptors[0];
    context->tag = DeviceAddress(1).ToString() + ": ";
    context->report = [&](bool error, int code, const void* info) {
        if (first.exchange(false))
            std::lock_guard<std::mutex> wait(gate); // until the test opens it
        std::lock_guard<std::mutex> guard(lock);
        if (error) {
            statuses.push_back(-code);
        } else if (code == STATUS_PROGRESS) {
            ++progress;
            const auto* p = static_cast<const ProgressInfo*>(info);
            if (p->Sent > p->Total)
                ++lastBlocks;
        } else {
            statuses.push_back(code);
        }
    };
    FleetDevice device;
    device.address = DeviceAddress(1);
    device.context = context;
    device.onEnd = [&](int r) {
        std::lock_guard<std::mutex> guard(lock);
        result = r;
    };
    ASSERT_TRUE(server->Add(std::move(device)));
    EXPECT_TRUE(Fetch(1).ok);
    EXPECT_TRUE(Fetch(1).ok);
    EXPECT_FALSE(server->WaitIdle(100ms)) << "the front end has not been told yet";
    closed.unlock();
    ASSERT_TRUE(server->WaitIdle(30s));
    const int blocks = static_cast<int>(images[0].size() / 512 + 1);
    std::lock_guard<std::mutex> guard(lock);
    EXPECT_EQ(statuses,
              (std::vector<int>{STATUS_VERIFYING, STATUS_ERASING, STATUS_PROGRAMMING, STATUS_COMPLETE}));
    EXPECT_LT(progress, 2 * blocks);
    EXPECT_EQ(lastBlocks, 2);
    EXPECT_EQ(result, 1);
}

// The socket layer's batch receive: every datagram queued comes out once and in order, with its
// sender, however many calls it takes, and an empty queue gives nothing at once.
TEST(DatagramBatch, ReceivesWhatIsQueuedOnceAndInOrder) {
    net::Socket a = net::Socket::Udp();
    net::Socket b = net::Socket::Udp();
    net::Socket sender = net::Socket::Udp();
    ASSERT_TRUE(a.Bind(net::Endpoint{net::kLoopback, 0}));
    ASSERT_TRUE(b.Bind(net::Endpoint{net::kLoopback, 0}));
    ASSERT_TRUE(sender.Bind(net::Endpoint{net::kLoopback, 0}));
    const net::Endpoint toA = *a.LocalEndpoint();
    const net::Endpoint toB = *b.LocalEndpoint();
    constexpr int kCount = 150; // more than one call's worth
    std::vector<std::array<std::uint8_t, 3>> packets(kCount);
    for (int i = 0; i < kCount; ++i) {
        packets[static_cast<std::size_t>(i)] = {static_cast<std::uint8_t>(i), 7, 9};
        ASSERT_EQ(sender.SendTo(packets[static_cast<std::size_t>(i)], i % 3 == 0 ? toB : toA), 3);
    }
    std::array<std::array<std::uint8_t, 16>, 40> buffers{};
    std::vector<net::DatagramIn> slots(buffers.size());
    for (std::size_t i = 0; i < slots.size(); ++i)
        slots[i].buffer = buffers[i];
    auto drain = [&](net::Socket& s) {
        std::vector<int> got;
        ASSERT_TRUE(s.WaitReadable(5s));
        for (int calls = 0; calls < 100; ++calls) {
            const int n = s.RecvFromMany(slots);
            ASSERT_GE(n, 0);
            if (n == 0 && got.size() == static_cast<std::size_t>(s.native() == b.native() ? 50 : 100))
                break;
            for (int i = 0; i < n; ++i) {
                EXPECT_EQ(slots[static_cast<std::size_t>(i)].size, 3u);
                EXPECT_EQ(slots[static_cast<std::size_t>(i)].from, *sender.LocalEndpoint());
                got.push_back(buffers[static_cast<std::size_t>(i)][0]);
            }
            if (n == 0)
                std::this_thread::sleep_for(10ms);
        }
        std::vector<int> expected;
        for (int i = 0; i < kCount; ++i)
            if ((i % 3 == 0) == (s.native() == b.native()))
                expected.push_back(i);
        EXPECT_EQ(got, expected);
    };
    drain(a);
    drain(b);
    EXPECT_EQ(a.RecvFromMany(slots), 0) << "nothing queued: no wait, nothing received";
}

} // namespace
