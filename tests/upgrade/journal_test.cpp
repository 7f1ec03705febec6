// The journal: durable records of every commanded device, read back whole after a crash; and the
// recovery that settles from it every device a crash left half-way.
#include "upgrade/journal.h"
#include "upgrade/recovery.h"

#include "devsim/devsim.h"
#include "engine/sha256.h"
#include "engine/upgrade_record.h"
#include "tests/support/event_recorder.h"
#include "upgrade/fleet_runner.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

using namespace std::chrono_literals;
using namespace skelvo::upgrade;
using skelvo::test::TempDir;

namespace {

std::string Text(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void Append(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary | std::ios::app) << text;
}

nlohmann::ordered_json Commanding(const std::string& id, const std::string& host) {
    nlohmann::ordered_json r = JournalRecord(id, host, kStateCommanding);
    r["address"] = host;
    r["image_name"] = "tolva22";
    r["image_sha256"] = Sha256::HexOf(std::span<const std::uint8_t>(g_TftpConfigData.Tolva22Image.Data,
                                                                    g_TftpConfigData.Tolva22Image.Size));
    return r;
}

class Journaled : public ::testing::Test {
  protected:
    void SetUp() override { ResetUpgradeRecord(); }
    TempDir dir;
    std::string path = dir.File("state/skelvo/journal.jsonl");
};

TEST_F(Journaled, RecordsAreWholeLinesReadBackByAttemptAndATornLastLineIsSkipped) {
    {
        Journal journal;
        std::string error;
        ASSERT_TRUE(journal.Open(path, error)) << error << " (its folders are made)";
        ASSERT_TRUE(journal.Record(Commanding("a1", "192.0.2.7")));
        journal.Post(JournalRecord("a1", "192.0.2.7", kStateCommanded));
        journal.Post(JournalRecord("a1", "192.0.2.7", kStateErasing));
        ASSERT_TRUE(journal.Record(Commanding("b2", "192.0.2.8")));
        ASSERT_TRUE(journal.Record(JournalEnd("b2", "192.0.2.8", "complete", 0)));
    }
    // A crash in the middle of a write.
    Append(path, "{\"time\":\"2026-12-09T00:00:00.000Z\",\"id\":\"a1\",\"host\":\"192.0.2.7\",\"sta");
    const JournalRead read = ReadJournal(path);
    ASSERT_EQ(read.entries.size(), 2u);
    EXPECT_EQ(read.entries[0].id, "a1");
    EXPECT_FALSE(read.entries[0].Ended());
    EXPECT_EQ(read.entries[0].state, kStateErasing);
    EXPECT_TRUE(read.entries[0].Reached(kStateCommanded));
    EXPECT_TRUE(read.entries[1].Ended());
    ASSERT_EQ(read.warnings.size(), 1u);
    EXPECT_NE(read.warnings[0].find("line 6"), std::string::npos) << read.warnings[0];

    // Appending goes on after the torn line; the reader takes what follows.
    Journal again;
    std::string error;
    ASSERT_TRUE(again.Open(path, error)) << error;
    Append(path, "\n");
    ASSERT_TRUE(again.Record(JournalEnd("a1", "192.0.2.7", "complete", 0)));
    EXPECT_TRUE(ReadJournal(path).entries[0].Ended());
}

TEST_F(Journaled, AJournalThatCannotBeWrittenSaysWhy) {
    Journal journal;
    std::string error;
    EXPECT_FALSE(journal.Open("/proc/skelvo-no/journal.jsonl", error));
    EXPECT_NE(error.find("cannot open the journal \"/proc/skelvo-no/journal.jsonl\""), std::string::npos)
        << error;
    EXPECT_FALSE(journal.Record(Commanding("x", "h")));
    EXPECT_FALSE(journal.Open("", error));
    EXPECT_NE(error.find("--journal"), std::string::npos) << error;
}

TEST_F(Journaled, PruningDropsOnlyDevicesThatEndedLongAgo) {
    {
        Journal journal;
        std::string error;
        ASSERT_TRUE(journal.Open(path, error));
        auto old = Commanding("old", "192.0.2.1");
        old["time"] = "2020-01-01T00:00:00.000Z";
        journal.Record(old);
        auto oldEnd = JournalEnd("old", "192.0.2.1", "complete", 0);
        oldEnd["time"] = "2020-01-01T00:01:00.000Z";
        journal.Record(oldEnd);
        auto open = Commanding("open", "192.0.2.2");
        open["time"] = "2020-01-01T00:00:00.000Z";
        journal.Record(open);
        journal.Record(Commanding("new", "192.0.2.3"));
        journal.Record(JournalEnd("new", "192.0.2.3", "complete", 0));
    }
    std::string error;
    EXPECT_EQ(PruneJournal(path, 30, error), std::optional<std::size_t>(1)) << error;
    const JournalRead read = ReadJournal(path);
    ASSERT_EQ(read.entries.size(), 2u);
    EXPECT_EQ(read.entries[0].id, "open") << "a device left half-way stays, however old";
    EXPECT_EQ(read.entries[1].id, "new");
    EXPECT_TRUE(read.warnings.empty());
}

TEST_F(Journaled, ARecordedImageMustStillBeTheOneRecorded) {
    const std::string file = dir.Write("fw.bin", skelvo::test::PatternBytes(4000, 3));
    auto record = JournalRecord("f", "192.0.2.9", kStateCommanding);
    record["image_source"] = file;
    record["image_sha256"] = Sha256::HexOf(skelvo::test::PatternBytes(4000, 3));
    {
        Journal journal;
        std::string error;
        ASSERT_TRUE(journal.Open(path, error));
        journal.Record(record);
        auto builtin = Commanding("g", "192.0.2.10");
        builtin["image_sha256"] = std::string(64, '0'); // another build's image
        journal.Record(builtin);
    }
    {
        RecoveryImages images;
        std::vector<std::pair<JournalEntry, std::string>> refused;
        const auto targets = RecoveryTargets(ReadJournal(path), images, refused);
        ASSERT_EQ(targets.size(), 1u);
        EXPECT_EQ(targets[0].image->Size, 4000u);
        ASSERT_EQ(refused.size(), 1u);
        EXPECT_NE(refused[0].second.find("is not the one the device was being served"), std::string::npos)
            << refused[0].second;
    }
    dir.Write("fw.bin", skelvo::test::PatternBytes(4000, 4));
    RecoveryImages images;
    std::vector<std::pair<JournalEntry, std::string>> refused;
    EXPECT_TRUE(RecoveryTargets(ReadJournal(path), images, refused).empty());
    ASSERT_EQ(refused.size(), 2u);
    EXPECT_NE(refused[0].second.find("\"" + file + "\" has changed since the upgrade"), std::string::npos)
        << refused[0].second;
}

// A whole upgrade keeps its journal: every state before the next begins, the end last, and never
// the password. A device whose programming download fails is left open for recover, which serves
// its boot loader until it is back with the new version.
TEST_F(Journaled, AnUpgradeIsJournaledAndAStrandedDeviceIsRecoveredFromTheJournal) {
    TftpServerOptions options;
    options.port = 0;
    TftpSocket socket = OpenTftpSocket(options);
    ASSERT_TRUE(socket);
    const std::uint16_t port = socket.port();
    std::vector<std::unique_ptr<devsim::Simulator>> devices;
    std::vector<UpgradeTarget> targets;
    for (const auto& [address, faults] :
         {std::pair{"127.0.8.1", ""}, std::pair{"127.0.8.2", "error-mid-transfer=3@2"}}) {
        devsim::Options o;
        o.model = devsim::Model::Tolva22;
        o.address = *net::ParseIpv4(address);
        o.httpPort = 0;
        o.tftpPort = port;
        o.eraseTime = 100ms;
        o.rebootTime = 300ms;
        o.bootLoaderRetry = 300ms;
        o.log = [](std::string_view) {};
        o.password = "Journal-s3cret";
        ASSERT_TRUE(devsim::ParseFaultList(faults, o.faults, nullptr));
        devices.push_back(std::make_unique<devsim::Simulator>(o));
        ASSERT_TRUE(devices.back()->Start());
        UpgradeTarget t;
        t.host = address;
        t.password = "Journal-s3cret";
        t.httpPort = devices.back()->HttpEndpoint().port;
        targets.push_back(t);
    }
    UpgradeSettings settings;
    settings.tftpPort = port;
    settings.tftp.port = port;
    Journal journal;
    std::string error;
    ASSERT_TRUE(journal.Open(path, error));
    UpgradeSink nothing;
    JournalSink sink(journal, nothing, settings);
    FleetRunner runner(targets, settings, sink);
    runner.Run(
        std::move(socket), [](const Confirmation&) { return true; }, false);
    const auto results = runner.Results();
    ASSERT_EQ(results[0].result, "complete");
    ASSERT_EQ(results[1].result, "transfer-failed");

    JournalRead read = ReadJournal(path);
    ASSERT_EQ(read.entries.size(), 2u);
    EXPECT_EQ(read.entries[0].states,
              (std::vector<std::string>{kStateCommanding, kStateCommanded, kStateVerifying, kStateVerified,
                                        kStateErasing, kStateProgramming, kStateEnd}));
    EXPECT_EQ(read.entries[0].first.value("model", ""), "Tolva 22xx");
    EXPECT_EQ(read.entries[0].first.value("old_version", ""), "1.0.8");
    EXPECT_EQ(read.entries[0]
                  .first.value("rescue_command", "")
                  .rfind("skelvo-cli rescue 127.0.8.1 --builtin tolva22", 0),
              0u);
    EXPECT_EQ(read.entries[1].state, kStateStranded) << "a device perhaps without firmware stays open";
    EXPECT_EQ(Text(path).find("Journal-s3cret"), std::string::npos);

    // The crashed run's devices, settled: the stranded one's boot loader is served its image.
    RecoveryImages images;
    std::vector<std::pair<JournalEntry, std::string>> refused;
    const auto recovering = RecoveryTargets(read, images, refused);
    ASSERT_EQ(recovering.size(), 1u);
    ASSERT_TRUE(refused.empty());
    RecoverySettings recovery;
    recovery.window = 120s;
    recovery.settle = 5s;
    RecoverySink quiet;
    const auto outcomes = Recover(recovering, recovery, quiet, &journal, nullptr);
    ASSERT_EQ(outcomes.size(), 1u);
    EXPECT_EQ(outcomes[0].result, "complete") << outcomes[0].reason;
    EXPECT_EQ(devices[1]->GetReport().currentVersion, "1.0.9");
    read = ReadJournal(path);
    EXPECT_TRUE(read.entries[1].Ended());
    EXPECT_EQ(read.entries[1].end->value("by", ""), "recover");

    // A second recovery has nothing to do.
    RecoveryImages none;
    EXPECT_TRUE(RecoveryTargets(read, none, refused).empty());
}

} // namespace
