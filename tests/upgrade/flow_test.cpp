// The upgrade flow in process, against simulated devices: one device and batches, the bounds of
// misbehaving web servers, the checks after programming, signals, the policy and retries.
#include "upgrade/fleet_runner.h"

#include "devsim/devsim.h"
#include "engine/sha256.h"
#include "engine/upgrade_record.h"
#include "tests/support/event_recorder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

using namespace std::chrono_literals;
using namespace skelvo::upgrade;

namespace {

// What the flow told about each device, in order.
class Recorder final : public UpgradeSink {
  public:
    void Event(const DeviceUpgrade& d, const DeviceEvent& e) override {
        if (!e.error && e.code == STATUS_PROGRESS)
            return;
        std::lock_guard lock(m_lock);
        m_events[d.host()].push_back(e.error ? ErrorName(e.code) : StatusName(e.code));
        if (!e.error && e.code == STATUS_COMPLETE && e.unconfirmed)
            m_events[d.host()].back() += " (unconfirmed)";
    }
    void Say(const DeviceUpgrade& d, const std::string& text) override {
        std::lock_guard lock(m_lock);
        m_said[d.host()] += text + "\n";
    }
    void Retrying(const DeviceUpgrade& d, const HostResult& r, std::chrono::milliseconds) override {
        std::lock_guard lock(m_lock);
        m_retried[d.host()].push_back(r.result);
    }
    void Finished(const DeviceUpgrade& d, const HostResult& r) override {
        std::lock_guard lock(m_lock);
        ++m_finished[d.host()];
        m_results[d.host()] = r;
    }
    std::vector<std::string> Events(const std::string& host) {
        std::lock_guard lock(m_lock);
        return m_events[host];
    }
    std::string Said(const std::string& host) {
        std::lock_guard lock(m_lock);
        return m_said[host];
    }
    std::vector<std::string> Retried(const std::string& host) {
        std::lock_guard lock(m_lock);
        return m_retried[host];
    }
    int FinishedCount(const std::string& host) {
        std::lock_guard lock(m_lock);
        return m_finished[host];
    }

  private:
    std::mutex m_lock;
    std::map<std::string, std::vector<std::string>> m_events;
    std::map<std::string, std::string> m_said;
    std::map<std::string, std::vector<std::string>> m_retried;
    std::map<std::string, int> m_finished;
    std::map<std::string, HostResult> m_results;
};

using Adjust = std::function<void(devsim::Options&)>;

class Flow : public ::testing::Test {
  protected:
    void SetUp() override {
        ResetUpgradeRecord();
        TftpServerOptions o;
        o.port = 0;
        m_socket = OpenTftpSocket(o);
        ASSERT_TRUE(m_socket);
        m_settings.tftpPort = m_socket.port();
        m_settings.tftp.port = m_socket.port();
        m_settings.fetchTimeout = 60s;
        m_settings.rebootWait = 60s;
        // A silent end is an end after the server's resends run out; shorter here than a real
        // device would ever need.
        m_settings.tftp.retransmit.giveUp = 5s;
    }

    // A simulated device on `address` with its own web port, asking on the flow's TFTP port.
    devsim::Simulator& Device(const std::string& address, devsim::Model model = devsim::Model::Tolva21,
                              const std::string& faults = {}, Adjust adjust = {}) {
        devsim::Options o;
        o.model = model;
        o.address = *net::ParseIpv4(address);
        o.httpPort = 0;
        o.tftpPort = m_settings.tftpPort;
        o.eraseTime = 100ms;
        o.rebootTime = 300ms;
        o.log = [](std::string_view) {};
        std::string why;
        EXPECT_TRUE(faults.empty() || devsim::ParseFaultList(faults, o.faults, &why)) << why;
        if (adjust)
            adjust(o);
        m_devices.push_back(std::make_unique<devsim::Simulator>(o));
        EXPECT_TRUE(m_devices.back()->Start(&why)) << why;
        UpgradeTarget t;
        t.host = address;
        t.password = kDefaultPassword;
        t.httpPort = m_devices.back()->HttpEndpoint().port;
        m_targets.push_back(t);
        return *m_devices.back();
    }

    std::vector<HostResult> Run(const ConfirmFn& confirm = [](const Confirmation&) { return true; }) {
        m_runner = std::make_unique<FleetRunner>(m_targets, m_settings, m_sink);
        m_runner->Run(std::move(m_socket), confirm, false);
        return m_runner->Results();
    }

    static std::size_t Commands(const devsim::Simulator& sim) {
        std::size_t n = 0;
        for (const auto& r : sim.GetReport().requests)
            n += r.target.rfind("/config", 0) == 0 ? 1 : 0;
        return n;
    }

    UpgradeSettings m_settings;
    std::vector<UpgradeTarget> m_targets;
    std::vector<std::unique_ptr<devsim::Simulator>> m_devices;
    TftpSocket m_socket;
    Recorder m_sink;
    std::unique_ptr<FleetRunner> m_runner;
};

std::string Hex(const ImageDescriptor& image) {
    return Sha256::HexOf(std::span<const std::uint8_t>(image.Data, image.Size));
}

TEST_F(Flow, AWholeUpgradeTellsEveryStepAndKeepsItsRecord) {
    auto& device = Device("127.0.7.1");
    const std::uint16_t port = m_settings.tftpPort;
    bool portHeld = false;
    std::string question;
    const auto results = Run([&](const Confirmation& c) {
        // The port is held from before the probe: no other program can take it in between.
        net::Socket intruder = net::Socket::Udp();
        portHeld = !intruder.Bind(net::Endpoint{net::kAnyAddress, port});
        question = c.probed.front()->question().text;
        return true;
    });
    ASSERT_EQ(results.size(), 1u);
    const HostResult& r = results[0];
    EXPECT_EQ(r.result, "complete") << m_sink.Said("127.0.7.1");
    EXPECT_EQ(r.exitCode, kExitComplete);
    EXPECT_TRUE(portHeld);
    EXPECT_EQ(m_sink.Events("127.0.7.1"),
              (std::vector<std::string>{"STATUS_COMMAND_ACCEPTED", "STATUS_VERIFYING", "STATUS_ERASING",
                                        "STATUS_PROGRAMMING", "STATUS_COMPLETE"}));
    EXPECT_EQ(r.model, "Tolva 21xx");
    EXPECT_EQ(r.oldVersion, "1.0.8");
    EXPECT_EQ(r.newVersion, "1.0.9");
    EXPECT_EQ(r.address, "127.0.7.1");
    EXPECT_EQ(r.imageSha256, Hex(g_TftpConfigData.Tolva21Image));
    EXPECT_TRUE(r.verifyMs && r.eraseMs && r.programMs);
    EXPECT_TRUE(r.commanded);
    EXPECT_EQ(m_sink.FinishedCount("127.0.7.1"), 1);
    EXPECT_NE(question.find("The Varnek Server you wish to upgrade is currently at Version-1.0.8\n"
                            "The new flash image is at Version-1.0.9.\n\n"),
              std::string::npos);
    auto upgrade = device.WaitForUpgrade(30s);
    ASSERT_TRUE(upgrade);
    EXPECT_TRUE(upgrade->succeeded()) << upgrade->outcome;
    net::Socket after = net::Socket::Udp();
    EXPECT_TRUE(after.Bind(net::Endpoint{net::kAnyAddress, port})) << "released at the end";
}

// Four web servers that would hold a caller for ever, among good devices: each bad one fails on
// its own bound with its own reason, and every good one is programmed.
TEST_F(Flow, MisbehavingWebServersFailAloneAndTheGoodDevicesAreProgrammed) {
    m_settings.http.probe = 2s;
    m_settings.http.version = 2s;
    m_settings.http.command = 3s;
    m_settings.parallel = 8;
    for (const char* address : {"127.0.7.11", "127.0.7.12", "127.0.7.13", "127.0.7.14"})
        Device(address, devsim::Model::Tolva22);
    Device("127.0.7.21", devsim::Model::Tolva22, "trickle=200");
    Device("127.0.7.22", devsim::Model::Tolva22, "endless-header");
    Device("127.0.7.23", devsim::Model::Tolva22, "silent");
    Device("127.0.7.24", devsim::Model::Tolva22, "trickle-command=200");
    const auto results = Run();
    std::map<std::string, HostResult> by;
    for (const auto& r : results)
        by[r.host] = r;
    for (const char* address : {"127.0.7.11", "127.0.7.12", "127.0.7.13", "127.0.7.14"})
        EXPECT_EQ(by[address].result, "complete") << address << ": " << m_sink.Said(address);
    EXPECT_EQ(by["127.0.7.21"].result, "unreachable");
    EXPECT_EQ(by["127.0.7.21"].reason, "no complete answer within 2 s");
    EXPECT_EQ(by["127.0.7.22"].result, "unreachable");
    EXPECT_EQ(by["127.0.7.22"].reason, "the device's web server sent 64 KiB without a Server line");
    EXPECT_EQ(by["127.0.7.23"].result, "unreachable") << "the probe's 5 s receive time-out";
    EXPECT_EQ(by["127.0.7.24"].result, "unreachable");
    EXPECT_EQ(by["127.0.7.24"].reason, "no complete answer to the upgrade command within 3 s; the device is "
                                       "not served, so its firmware is unchanged");
    EXPECT_TRUE(by["127.0.7.24"].commanded) << "it may have taken the command: it is never commanded again";
    for (std::size_t i = 4; i < m_devices.size(); ++i)
        EXPECT_TRUE(m_devices[i]->GetReport().upgrades.empty());
}

TEST_F(Flow, ARejectedLoginIsToldAndTheDeviceIsNotServed) {
    auto& device = Device("127.0.7.31", devsim::Model::Dravenholt, "refuse-login");
    const auto results = Run();
    EXPECT_EQ(results[0].result, "login-rejected");
    EXPECT_EQ(m_sink.Events("127.0.7.31"), (std::vector<std::string>{"ERR_LOGIN"}));
    EXPECT_FALSE(results[0].commanded);
    EXPECT_TRUE(device.GetReport().upgrades.empty());
}

TEST_F(Flow, ASignalAtTheQuestionSendsNothing) {
    auto& device = Device("127.0.7.41");
    const auto results = Run([this](const Confirmation&) {
        m_runner->Interrupt(1, kSignalInterrupt);
        return true;
    });
    EXPECT_EQ(results[0].result, "interrupted");
    EXPECT_EQ(results[0].phase, "confirmation");
    EXPECT_EQ(results[0].exitCode, 130);
    EXPECT_EQ(Commands(device), 0u);
}

TEST_F(Flow, AnEndNeverAcknowledgedIsDecidedByTheRestart) {
    Device("127.0.7.51", devsim::Model::Tolva22, "drop-final-ack@2");
    const auto results = Run();
    EXPECT_EQ(results[0].result, "complete") << m_sink.Said("127.0.7.51");
    EXPECT_EQ(results[0].versionAfterReboot, "1.0.9");
    EXPECT_EQ(m_sink.Events("127.0.7.51").back(), "STATUS_COMPLETE (unconfirmed)");
    EXPECT_NE(m_sink.Said("127.0.7.51").find("did not acknowledge the last block"), std::string::npos);
}

// The device acknowledges the last block with a wrong number, which fails the transfer on the
// server's side, although the device holds every block and programs them.
TEST_F(Flow, AProgrammingDownloadThatFailsAfterItsLastBlockIsCheckedBeforeItIsCalledAFailure) {
    const unsigned lastBlock = g_TftpConfigData.Tolva21Image.Size / 512 + 1;
    auto& device =
        Device("127.0.7.61", devsim::Model::Tolva21, "wrong-ack=" + std::to_string(lastBlock) + "@2");
    const auto results = Run();
    EXPECT_EQ(results[0].result, "complete") << m_sink.Said("127.0.7.61");
    ASSERT_TRUE(results[0].note);
    EXPECT_NE(results[0].note->find("last acknowledgement"), std::string::npos);
    EXPECT_EQ(results[0].rescue, std::nullopt);
    auto upgrade = device.WaitForUpgrade(30s);
    ASSERT_TRUE(upgrade);
    EXPECT_TRUE(upgrade->programmed);
}

TEST_F(Flow, AnImageTooLargeToNumberInBlocksIsRefusedBeforeTheCommand) {
    std::vector<unsigned char> bytes(kTftpMaxImageSize + 1, 0x5a);
    const ImageDescriptor big{static_cast<std::uint32_t>(bytes.size()), bytes.data()};
    m_settings.userImage = &big;
    m_settings.imagePath = "/tmp/big.bin";
    auto& device = Device("127.0.7.71");
    const auto results = Run();
    EXPECT_EQ(results[0].result, "bad-input");
    EXPECT_NE(results[0].reason.find("33553919 bytes"), std::string::npos) << results[0].reason;
    EXPECT_EQ(Commands(device), 0u);
}

TEST_F(Flow, TheUpToDateAreLeftAloneAndTwoNamesOfOneDeviceAreUpgradedOnce) {
    auto& current =
        Device("127.0.7.81", devsim::Model::Tolva22, "", [](devsim::Options& o) { o.firmware = "1.0.9"; });
    auto& twice = Device("127.0.7.82");
    m_targets.push_back(m_targets.back()); // the same device again, by the same name
    bool asked = false;
    const auto results = Run([&](const Confirmation& c) {
        asked = true;
        EXPECT_EQ(c.toUpgrade, 1u);
        return true;
    });
    EXPECT_TRUE(asked);
    EXPECT_EQ(results[0].result, "up-to-date");
    EXPECT_EQ(results[0].exitCode, kExitComplete);
    EXPECT_EQ(results[1].result, "complete");
    EXPECT_EQ(results[2].result, "bad-input") << "named twice";
    EXPECT_EQ(Commands(current), 0u);
    EXPECT_EQ(Commands(twice), 1u);
}

TEST_F(Flow, AFiveHundredRefusalIsTriedAgainAndNeverServed) {
    m_settings.retries = 1;
    auto& device = Device("127.0.7.91", devsim::Model::Tolva21, "command-status=503");
    const auto results = Run();
    EXPECT_EQ(results[0].result, "command-refused");
    EXPECT_EQ(results[0].attempt, 2);
    EXPECT_EQ(results[0].commandStatus, "503 Service Unavailable");
    EXPECT_EQ(m_sink.Retried("127.0.7.91"), std::vector<std::string>{"command-refused"});
    EXPECT_EQ(Commands(device), 2u);
    EXPECT_TRUE(device.GetReport().upgrades.empty());
}

} // namespace
