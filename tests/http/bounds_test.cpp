// Web servers that would hold an exchange for ever: a header that trickles, header lines without
// end, a server that never answers. Each exchange ends at its own bound, with the failure named,
// and a cancel ends it at once.
#include "http/device_http.h"

#include "devsim/devsim.h"
#include "engine/upgrade_record.h"
#include "tests/support/event_recorder.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <thread>

using namespace std::chrono_literals;
using skelvo::test::EventRecorder;
using Clock = std::chrono::steady_clock;

namespace {

// A simulated device on its own loopback address whose web server has `fault`.
std::unique_ptr<devsim::Simulator> WebServer(const char* address, const char* fault) {
    devsim::Options o;
    o.address = *net::ParseIpv4(address);
    o.httpPort = 0;
    o.tftpPort = 9; // never reached: nothing is commanded
    o.log = [](std::string_view) {};
    std::string why;
    EXPECT_TRUE(devsim::ParseFaultList(fault, o.faults, &why)) << why;
    auto sim = std::make_unique<devsim::Simulator>(o);
    EXPECT_TRUE(sim->Start(&why)) << why;
    return sim;
}

HttpCall CallTo(const devsim::Simulator& sim, const char* address) {
    HttpCall call;
    call.host = address;
    call.port = sim.HttpEndpoint().port;
    return call;
}

double Seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

} // namespace

TEST(HttpBounds, ATricklingHeaderEndsEveryExchangeAtItsDeadline) {
    auto sim = WebServer("127.0.6.1", "trickle=100");
    HttpCall call = CallTo(*sim, "127.0.6.1");
    call.bounds.probe = call.bounds.version = call.bounds.command = 1500ms;
    EventRecorder rec;

    auto start = Clock::now();
    const ServerDetection detection = DetectServer(call);
    const double probeTook = Seconds(Clock::now() - start);
    EXPECT_EQ(detection.type, SERVER_UNKNOWN);
    EXPECT_EQ(detection.failure, HttpFailure::Deadline);
    EXPECT_EQ(rec.Names(), std::vector<std::string>{"ERR_RECEIVE"}) << "a receive that timed out, as ever";
    EXPECT_GE(probeTook, 1.4);
    EXPECT_LT(probeTook, 30.0) << "every byte within the socket's own time-out keeps no exchange alive";
    EXPECT_EQ(BoundText(detection.failure, HttpExchange::Probe, call.bounds),
              "no complete answer within 2 s");

    rec.Clear();
    const VersionAnswer version = AskServerVersion(call);
    EXPECT_EQ(version.failure, HttpFailure::Deadline);
    EXPECT_EQ(version.version, kNotKnown);
    EXPECT_TRUE(rec.Names().empty()) << "the version query raises no event of its own";

    rec.Clear();
    const CommandReply reply = SendUpgradeCommand(call, "root", "marlin", kCommandFormat);
    EXPECT_EQ(reply.failure, HttpFailure::Deadline);
    EXPECT_EQ(reply.result, 1) << "a reply that could not be read, as a failed receive";
    EXPECT_EQ(rec.Names(), (std::vector<std::string>{"ERR_RECEIVE", "STATUS_COMMAND_ACCEPTED"}));
    EXPECT_EQ(BoundText(reply.failure, HttpExchange::Command, call.bounds),
              "no complete answer to the upgrade command within 2 s");
}

TEST(HttpBounds, EndlessHeaderLinesStopAtTheReadCap) {
    auto sim = WebServer("127.0.6.2", "endless-header");
    HttpCall call = CallTo(*sim, "127.0.6.2");
    EventRecorder rec;
    const auto start = Clock::now();
    const ServerDetection detection = DetectServer(call);
    EXPECT_EQ(detection.failure, HttpFailure::Overflow);
    EXPECT_EQ(detection.type, SERVER_UNKNOWN);
    EXPECT_EQ(rec.Names(), std::vector<std::string>{"ERR_RECEIVE"});
    EXPECT_EQ(BoundText(detection.failure, HttpExchange::Probe, call.bounds),
              "the device's web server sent 64 KiB without a Server line");

    const VersionAnswer version = AskServerVersion(call);
    EXPECT_EQ(version.failure, HttpFailure::Overflow);
    EXPECT_EQ(version.version, kNotKnown);

    const CommandReply reply = SendUpgradeCommand(call, "root", "marlin", kCommandFormat);
    EXPECT_EQ(reply.failure, HttpFailure::Overflow);
    EXPECT_EQ(BoundText(reply.failure, HttpExchange::Command, call.bounds),
              "the device's web server sent 64 KiB in reply to the upgrade command without ending it");
    EXPECT_LT(Seconds(Clock::now() - start), 30.0) << "the cap is reached long before any deadline";
}

TEST(HttpBounds, ACancelEndsAnExchangeUnderWayAtOnceAndKeepsLaterOnesFromStarting) {
    auto sim = WebServer("127.0.6.3", "silent");
    HttpCancel cancel;
    HttpCall call = CallTo(*sim, "127.0.6.3");
    call.cancel = &cancel;
    EventRecorder rec;
    std::thread stopper([&cancel] {
        std::this_thread::sleep_for(300ms);
        cancel.Request();
    });
    const auto start = Clock::now();
    // The version query carries no socket time-out: only its deadline (15 s) or the cancel ends it.
    const VersionAnswer version = AskServerVersion(call);
    const double took = Seconds(Clock::now() - start);
    stopper.join();
    EXPECT_EQ(version.failure, HttpFailure::Cancelled);
    EXPECT_LT(took, 10.0) << "ended by the cancel, not by the deadline";

    const ServerDetection after = DetectServer(call);
    EXPECT_EQ(after.failure, HttpFailure::Cancelled);
    EXPECT_EQ(after.reached, std::nullopt) << "no connection once cancelled";
    EXPECT_TRUE(rec.Names().empty()) << "a stop is not the device's failure";
}

TEST(HttpBounds, AReplyThatNeverEndsAfterTheCommandFailsAtItsDeadline) {
    auto sim = WebServer("127.0.6.4", "trickle-command=100");
    HttpCall call = CallTo(*sim, "127.0.6.4");
    call.bounds.command = 1s;
    // The probe is answered as a device's.
    EXPECT_EQ(DetectServer(call).type, SERVER_TOLVA_21XX);
    EventRecorder rec;
    const CommandReply reply = SendUpgradeCommand(call, "root", "marlin", kCommandFormat);
    EXPECT_EQ(reply.failure, HttpFailure::Deadline);
    EXPECT_EQ(reply.status, (HttpStatusLine{200, "OK"})) << "the status line came; the reply never ended";
    EXPECT_TRUE(sim->GetReport().upgrades.empty()) << "the fault carries out nothing";
}
