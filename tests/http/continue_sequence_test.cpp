// The Continue sequence in process, against the device simulator, with the worker on a joinable
// thread that every test ends and joins.
#include "http/continue_sequence.h"

#include "devsim/devsim.h"
#include "engine/upgrade_record.h"
#include "http/device_http.h"
#include "tests/support/event_recorder.h"
#include "tests/support/wine.h"
#include "tftp/tftp_callbacks.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

using skelvo::test::EventRecorder;
using Names = std::vector<std::string>;

namespace {

std::uint16_t FreeUdpPort() {
    net::Socket s = net::Socket::Udp();
    s.Bind(net::Endpoint{net::kAnyAddress, 0});
    return s.LocalEndpoint()->port;
}

struct Device {
    explicit Device(devsim::Model model, const char* address, std::uint16_t tftpPort,
                    std::function<void(devsim::Options&)> adjust = {}) {
        devsim::Options o;
        o.model = model;
        o.address = *net::ParseIpv4(address);
        o.httpPort = 0;
        o.tftpPort = tftpPort;
        o.eraseTime = std::chrono::milliseconds(0);
        o.rebootTime = std::chrono::milliseconds(0);
        o.log = [](std::string_view) {};
        if (adjust)
            adjust(o);
        sim = std::make_unique<devsim::Simulator>(o);
        std::string why;
        if (!sim->Start(&why))
            throw std::runtime_error("simulator: " + why);
        SetHttpPort(sim->HttpEndpoint().port);
    }
    std::size_t Commands() const {
        std::size_t n = 0;
        for (const auto& r : sim->GetReport().requests)
            if (r.target.rfind("/config", 0) == 0)
                ++n;
        return n;
    }
    std::unique_ptr<devsim::Simulator> sim;
};

class ContinueSequence : public ::testing::Test {
  protected:
    void SetUp() override {
        ResetUpgradeRecord();
        RegisterTftpCallbacks(&CheckFilename, &ReadImageBlock, nullptr, nullptr, nullptr);
        m_port = FreeUdpPort();
    }
    void TearDown() override {
        m_stop->Request();
        if (m_result.worker.joinable())
            m_result.worker.join();
        SetHttpPort(kHttpPort);
    }
    ContinueRequest Request(const char* host, ConfirmAnswer answer = ConfirmAnswer::Yes) {
        ContinueRequest r;
        r.hostName = host;
        r.loginName = "root";
        r.password = "marlin";
        r.confirm = [this, answer](const ConfirmQuestion& q) {
            m_asked.push_back(q);
            return answer;
        };
        TftpServerOptions t;
        t.port = m_port;
        t.stop = m_stop;
        r.tftp = t;
        r.worker = WorkerMode::Joinable;
        return r;
    }
    void Run(const ContinueRequest& r) { m_result = RunContinueSequence(r); }

    std::uint16_t m_port = 0;
    std::shared_ptr<TftpServerStop> m_stop = std::make_shared<TftpServerStop>();
    std::vector<ConfirmQuestion> m_asked;
    ContinueResult m_result;
};

} // namespace

TEST_F(ContinueSequence, ADeviceThatAsksAtOnceAndOnlyOnceIsServedAndThePortIsHeldThroughout) {
    if (skelvo::test::RunningUnderWine())
        GTEST_SKIP() << skelvo::test::kWineLoopbackAliases;
    // The request leaves the moment the device has answered the command, and is never repeated:
    // only a server already listening hears it.
    Device device(devsim::Model::Tolva22, "127.0.4.11", m_port, [](devsim::Options& o) {
        std::string why;
        ASSERT_TRUE(devsim::ParseFault("request-once", o.faults, &why)) << why;
    });
    EventRecorder rec;
    Run(Request("127.0.4.11"));
    ASSERT_EQ(m_result.outcome, ContinueOutcome::WorkerStarted);
    // No other program can take the port between the check and the worker.
    net::Socket intruder = net::Socket::Udp();
    EXPECT_FALSE(intruder.Bind(net::Endpoint{net::kAnyAddress, m_port}));
    auto end = rec.WaitForEnd(std::chrono::seconds(120));
    ASSERT_TRUE(end);
    EXPECT_EQ(skelvo::test::Describe(*end), "STATUS_COMPLETE");
    m_result.worker.join();
    auto upgrade = device.sim->WaitForUpgrade(std::chrono::seconds(30));
    ASSERT_TRUE(upgrade);
    EXPECT_TRUE(upgrade->succeeded()) << upgrade->outcome;
    net::Socket after = net::Socket::Udp();
    EXPECT_TRUE(after.Bind(net::Endpoint{net::kAnyAddress, m_port})); // released with the worker
}

TEST_F(ContinueSequence, WholeUpgradeWithTheTracesInOrder) {
    if (skelvo::test::RunningUnderWine())
        GTEST_SKIP() << skelvo::test::kWineLoopbackAliases;
    Device device(devsim::Model::Tolva21, "127.0.4.10", m_port);
    EventRecorder rec;
    Run(Request("127.0.4.10"));
    ASSERT_EQ(m_result.outcome, ContinueOutcome::WorkerStarted);
    EXPECT_EQ(m_result.commandResult, 1);
    EXPECT_EQ(m_result.commandStatus, (HttpStatusLine{200, "OK"}));
    EXPECT_EQ(m_result.imageToUse, SERVER_TOLVA_21XX);
    EXPECT_EQ(m_result.deviceAddress, net::ParseIpv4("127.0.4.10"));
    ASSERT_TRUE(rec.WaitForEnd(std::chrono::seconds(120)));
    m_result.worker.join();
    EXPECT_EQ(rec.Names(), (Names{"STATUS_COMMAND_ACCEPTED", "STATUS_VERIFYING", "STATUS_ERASING",
                                  "STATUS_PROGRAMMING", "STATUS_COMPLETE"}));
    auto upgrade = device.sim->WaitForUpgrade(std::chrono::seconds(30));
    ASSERT_TRUE(upgrade);
    EXPECT_TRUE(upgrade->succeeded()) << upgrade->outcome;

    const std::string trace = rec.Trace();
    const char* inOrder[] = {"127.0.4.10:root:********\n",
                             "Resolving Varnek server 127.0.4.10.\nTrying to determing the server type.\n",
                             "Found an Tolva-21xx.\n",
                             "\nNew flash image version is 109\n",
                             "Trying to determing the server version info.\n",
                             "\n127.0.4.10 is at version-1.0.8\n",
                             "\nDisplay version is 1.0.9\n",
                             "Sending TFTP request.\n",
                             "\ntftp server thread started...\n"};
    std::size_t at = 0;
    for (const char* line : inOrder) {
        std::size_t found = trace.find(line, at);
        ASSERT_NE(found, std::string::npos) << "missing or out of order: " << line << "\n"
                                            << trace.substr(0, 2000);
        at = found + 1;
    }
    EXPECT_EQ(trace.find("marlin"), std::string::npos);

    ASSERT_EQ(m_asked.size(), 1u);
    EXPECT_EQ(m_asked[0].title, "Flash Upgrade Confirmation");
    EXPECT_EQ(
        m_asked[0].text,
        "Warning: You have chosen to upgrade the flash image in the \"127.0.4.10\" Varnek Server.\n"
        "This action cannot be interrupted and should only be done if and when required.\n\n"
        "Flash upgrades should only be carried out on servers within your subnet.\n"
        "Attempts to upgrade hosts over Virtual Private Networks will fail and should not be attempted.\n\n"
        "The Varnek Server you wish to upgrade is currently at Version-1.0.8\n"
        "The new flash image is at Version-1.0.9.\n\n"
        "Do you really want to upgrade the flash image?");
}

TEST_F(ContinueSequence, GenericTolvaIsServedTheTolva21Image) {
    Device device(devsim::Model::Tolva, "127.0.4.11", m_port);
    EventRecorder rec;
    Run(Request("127.0.4.11", ConfirmAnswer::No));
    EXPECT_EQ(m_result.outcome, ContinueOutcome::NotConfirmed);
    EXPECT_NE(rec.Trace().find("Found an Tolva.\n"), std::string::npos);
    ASSERT_EQ(m_asked.size(), 1u);
    EXPECT_EQ(m_asked[0].newVersion, "1.0.9");
    // Any answer but Yes drops the classification and sends nothing.
    EXPECT_EQ(GetImageToUse(), SERVER_UNKNOWN);
    EXPECT_EQ(device.Commands(), 0u);
    EXPECT_TRUE(rec.Names().empty());
}

TEST_F(ContinueSequence, CancelledUserFileFallsBackToClassification) {
    Device device(devsim::Model::Dravenholt, "127.0.4.12", m_port);
    EventRecorder rec;
    SetImageToUse(SERVER_USER_FILE);
    Run(Request("127.0.4.12", ConfirmAnswer::Cancel));
    ASSERT_EQ(m_asked.size(), 1u);
    EXPECT_EQ(m_asked[0].newVersion, "(Using-File...No Version Info)");
    EXPECT_NE(rec.Trace().find("Using a file....\n"), std::string::npos);
    EXPECT_EQ(rec.Trace().find("Trying to determing the server type."), std::string::npos);
    EXPECT_EQ(GetImageToUse(), SERVER_UNKNOWN);

    m_asked.clear();
    Run(Request("127.0.4.12", ConfirmAnswer::No));
    ASSERT_EQ(m_asked.size(), 1u);
    EXPECT_EQ(m_asked[0].newVersion, "6.2.1");
    EXPECT_EQ(m_asked[0].currentVersion, "6.2.0");
}

TEST_F(ContinueSequence, RejectedLoginStillStartsTheWorker) {
    Device device(devsim::Model::Tolva22, "127.0.4.13", m_port,
                  [](devsim::Options& o) { o.faults.refuseLogin = true; });
    EventRecorder rec;
    Run(Request("127.0.4.13"));
    EXPECT_EQ(m_result.outcome, ContinueOutcome::WorkerStarted);
    EXPECT_EQ(m_result.commandResult, 0);
    EXPECT_EQ(rec.Names(), Names{"ERR_LOGIN"});
    EXPECT_TRUE(rec.WaitForTrace("Waiting for TFTP client request ...\n", std::chrono::seconds(30)));
    EXPECT_TRUE(m_result.worker.joinable());
}

// A front end that is told to stop (a signal) before the command sends the device nothing more,
// whether it learns so before any exchange or while its question is on screen.
TEST_F(ContinueSequence, CancelledBeforeTheCommandSendsNothingMore) {
    Device device(devsim::Model::Tolva21, "127.0.4.17", m_port);
    EventRecorder rec;
    ContinueRequest early = Request("127.0.4.17");
    early.cancelled = [] { return true; };
    Run(early);
    EXPECT_EQ(m_result.outcome, ContinueOutcome::Cancelled);
    EXPECT_TRUE(m_asked.empty());
    EXPECT_TRUE(device.sim->GetReport().requests.empty());

    bool signalled = false;
    ContinueRequest atQuestion = Request("127.0.4.17");
    atQuestion.confirm = [&signalled](const ConfirmQuestion&) {
        signalled = true;
        return ConfirmAnswer::Yes;
    };
    atQuestion.cancelled = [&signalled] { return signalled; };
    Run(atQuestion);
    EXPECT_EQ(m_result.outcome, ContinueOutcome::Cancelled);
    EXPECT_EQ(m_result.commandResult, -1);
    EXPECT_FALSE(m_result.worker.joinable());
    EXPECT_EQ(device.Commands(), 0u);
    // The simulator records a request once it has answered it, which may be just after the
    // sequence has read the answer and moved on.
    const auto bound = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (device.sim->GetReport().requests.size() < 2 && std::chrono::steady_clock::now() < bound)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(device.sim->GetReport().requests.size(), 2u) << "the probe and the version query";
}

TEST_F(ContinueSequence, BusyPortStopsBeforeAnyExchange) {
    Device device(devsim::Model::Tolva21, "127.0.4.14", m_port);
    net::Socket holder = net::Socket::Udp();
    ASSERT_TRUE(holder.Bind(net::Endpoint{net::kAnyAddress, m_port}));
    EventRecorder rec;
    Run(Request("127.0.4.14"));
    EXPECT_EQ(m_result.outcome, ContinueOutcome::PortUnavailable);
    EXPECT_EQ(rec.Names(), Names{"ERR_TFTP_BIND"});
    EXPECT_NE(rec.Trace().find("Error, could not open the TFTP port.\n"), std::string::npos);
    EXPECT_TRUE(device.sim->GetReport().requests.empty());
    EXPECT_TRUE(m_asked.empty());
}

TEST_F(ContinueSequence, UnknownServerStopsWithoutEvent) {
    Device device(devsim::Model::Tolva21, "127.0.4.15", m_port,
                  [](devsim::Options& o) { o.faults.noServerHeader = true; });
    EventRecorder rec;
    Run(Request("127.0.4.15"));
    EXPECT_EQ(m_result.outcome, ContinueOutcome::UnknownServer);
    EXPECT_TRUE(rec.Names().empty());
    EXPECT_NE(rec.Trace().find("Error getting server type.\n"), std::string::npos);
    EXPECT_TRUE(m_asked.empty());
}

TEST_F(ContinueSequence, DryRunComposesTheQuestionWithoutAskingOrSending) {
    Device device(devsim::Model::Vintrosphere, "127.0.4.16", m_port);
    EventRecorder rec;
    ContinueRequest r = Request("127.0.4.16");
    r.dryRun = true;
    Run(r);
    EXPECT_EQ(m_result.outcome, ContinueOutcome::DryRun);
    EXPECT_TRUE(m_asked.empty());
    ASSERT_TRUE(m_result.question);
    EXPECT_EQ(m_result.question->currentVersion, "6.2.0");
    EXPECT_EQ(m_result.imageToUse, SERVER_DRAVENHOLT);
    EXPECT_EQ(device.Commands(), 0u);
}

TEST(ConfirmUpgrade, MasksThePasswordWhateverItsLength) {
    EXPECT_EQ(MaskedFieldsTrace("192.0.2.7", "root"), "192.0.2.7:root:********");
    EXPECT_EQ(MaskedFieldsTrace("", ""), "::********");
}

TEST(ConfirmUpgrade, UnreachableDeviceShowsNotKnownAndUnnamedImageShowsError) {
    ResetUpgradeRecord();
    net::Socket s = net::Socket::Tcp();
    s.Bind(net::Endpoint{net::kLoopback, 0});
    SetHttpPort(s.LocalEndpoint()->port);
    s.Close();
    EventRecorder rec;
    SetHostName("127.0.0.1");
    SetImageToUse(9);
    ConfirmQuestion q;
    EXPECT_EQ(ConfirmUpgrade("127.0.0.1", {}, &q), 0);
    EXPECT_EQ(q.currentVersion, "Not-Known");
    EXPECT_EQ(q.newVersion, "Error");
    EXPECT_NE(rec.Trace().find("\n127.0.0.1 is at version-(null)\n"), std::string::npos);
    EXPECT_EQ(rec.Names(), Names{"ERR_CONNECT"});
    SetHttpPort(kHttpPort);
}
