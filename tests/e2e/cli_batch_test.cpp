// skelvo-cli upgrading a batch of skelvo-devsim processes, each on its own loopback address, all of
// them sharing one HTTP port number and fetching from the command line's one TFTP socket.
#include "net/net.h"
#include "tests/e2e/e2e_support.h"
#include "tests/support/event_recorder.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <csignal>
#include <fstream>
#include <map>
#include <memory>
#include <set>

using namespace skelvo::e2e;
using nlohmann::json;

namespace {

struct Fleet {
    std::uint16_t tftp = FreeUdpPort();
    std::uint16_t http;
    std::vector<std::unique_ptr<DevSim>> devices;

    // One simulator per (model, extra options) on 127.0.<net>.1, .2, ...
    Fleet(int net, const std::vector<std::pair<std::string, std::vector<std::string>>>& models)
        : http(FreeTcpPort("127.0." + std::to_string(net) + ".1")) {
        int n = 1;
        for (const auto& [model, extra] : models)
            devices.push_back(std::make_unique<DevSim>(
                model, "127.0." + std::to_string(net) + "." + std::to_string(n++), tftp, extra, http));
    }
    std::vector<std::string> Args(std::vector<std::string> more) const {
        std::vector<std::string> args{"upgrade"};
        for (const auto& d : devices)
            args.push_back(d->address());
        args.insert(args.end(), {"--http-port", std::to_string(http), "--tftp-port", std::to_string(tftp)});
        args.insert(args.end(), more.begin(), more.end());
        return args;
    }
};

std::string Diagnose(const CliRun& run) {
    return "status " + std::to_string(run.status) + "\n--- stdout\n" + run.out.substr(0, 5000) +
           "\n--- stderr\n" + run.err.substr(0, 5000);
}

// Every line of standard output as JSON; a line that is not JSON fails the test.
std::vector<json> JsonLines(const CliRun& run) {
    std::vector<json> lines;
    for (const auto& line : run.OutLines()) {
        EXPECT_TRUE(json::accept(line)) << line;
        if (json::accept(line))
            lines.push_back(json::parse(line));
    }
    return lines;
}

std::map<std::string, json> ResultsByHost(const std::vector<json>& lines) {
    std::map<std::string, json> results;
    for (const auto& line : lines)
        if (line["event"] == "result")
            results[line["host"].get<std::string>()] = line;
    return results;
}

std::string ImageSha(const std::string& model) {
    const std::string file = model == "dravenholt" ? "dravenholt.bin"
                             : model == "tolva22"  ? "tolva22.bin"
                                                   : "tolva21.bin";
    return Sha256Hex(skelvo::test::ReadFileBytes(skelvo::test::ImagePath(file)));
}

// The sum of every number stored under key anywhere in value.
long long SumOf(const json& value, const std::string& key) {
    long long sum = 0;
    if (value.is_object()) {
        for (const auto& [name, item] : value.items())
            sum += name == key && item.is_number() ? item.get<long long>() : SumOf(item, key);
    } else if (value.is_array()) {
        for (const auto& item : value)
            sum += SumOf(item, key);
    }
    return sum;
}

std::string TempFile(const std::string& name) {
    const std::string path = testing::TempDir() + "/" + name;
    std::remove(path.c_str());
    return path;
}

} // namespace

// Eight devices of every model, at most three served at once: each is programmed with its own
// model's image, and the audit log holds one whole record per device and never the password.
TEST(CliBatch, MixedModelsAreEachProgrammedWithTheirOwnImage) {
    const std::string password = "Batch-s3cret-pw";
    const std::vector<std::string> auth{"--login", "root", "--password", password};
    const std::vector<std::string> models{"tolva21", "tolva22",    "dravenholt", "tolva",
                                          "tolva22", "dravenholt", "tolva21",    "tolva22"};
    std::vector<std::pair<std::string, std::vector<std::string>>> specs;
    for (const auto& m : models)
        specs.push_back({m, auth});
    Fleet fleet(21, specs);
    const std::string audit = TempFile("audit-batch.jsonl");
    CliRun run = RunCli(fleet.Args({"--yes", "--json", "--trace", "--parallel", "3", "--audit-log", audit}),
                        CliOptions{"", {{"SKELVO_PASSWORD", password}}, std::chrono::seconds(400)});
    ASSERT_EQ(run.status, 0) << Diagnose(run);

    const std::vector<json> lines = JsonLines(run);
    std::size_t traced = 0;
    for (const auto& line : lines) {
        const std::string time = line.value("time", "");
        EXPECT_TRUE(time.size() == 24 && time[10] == 'T' && time[19] == '.' && time.back() == 'Z') << time;
        // A device's TFTP trace lines start with its tag, and name it.
        const std::string text = line.value("text", "");
        if (line["event"] == "trace" && text.rfind("127.0.21.", 0) == 0) {
            EXPECT_EQ(line.value("host", ""), text.substr(0, text.find(':'))) << line.dump();
            ++traced;
        }
    }
    EXPECT_GT(traced, 0u);
    // --parallel: never more than three devices between their command and their result.
    std::set<std::string> active;
    std::size_t most = 0;
    for (const auto& line : lines) {
        if (!line.contains("host"))
            continue;
        const std::string host = line["host"];
        if (line["event"] == "status" && line.value("name", "") == "STATUS_COMMAND_ACCEPTED")
            active.insert(host);
        if (line["event"] == "result")
            active.erase(host);
        most = std::max(most, active.size());
    }
    EXPECT_EQ(most, 3u) << "three at once, never more";

    // Progress: a few lines a device, and always the last block of each of its two passes.
    std::map<std::string, int> progress, lastBlocks;
    for (const auto& line : lines) {
        if (line.value("name", "") != "STATUS_PROGRESS")
            continue;
        ++progress[line["host"]];
        lastBlocks[line["host"]] += line["sent"].get<long>() >= line["total"].get<long>() ? 1 : 0;
    }
    for (const auto& [host, count] : progress) {
        EXPECT_LT(count, 60) << host << ": not one line per block";
        EXPECT_EQ(lastBlocks[host], 2) << host;
    }

    const auto results = ResultsByHost(lines);
    ASSERT_EQ(results.size(), models.size()) << run.out.substr(0, 3000);
    const std::string auditText = ReadText(audit);
    std::istringstream auditLines(auditText);
    std::map<std::string, json> records;
    for (std::string line; std::getline(auditLines, line);) {
        ASSERT_TRUE(json::accept(line)) << line;
        const json record = json::parse(line);
        records[record["host"].get<std::string>()] = record;
        for (const char* field : {"time", "duration_ms", "tool_version", "model", "image_source",
                                  "image_sha256", "old_version", "new_version", "result", "exit_code"})
            EXPECT_TRUE(record.contains(field)) << field << " in " << line;
        EXPECT_EQ(record["tool_version"], SKELVO_VERSION);
        EXPECT_EQ(record["image_source"], "built-in");
    }
    EXPECT_EQ(records.size(), models.size()) << auditText;
    EXPECT_EQ(auditText.find(password), std::string::npos);
    EXPECT_EQ(run.out.find(password), std::string::npos);
    EXPECT_EQ(run.err.find(password), std::string::npos);

    for (std::size_t i = 0; i < models.size(); ++i) {
        DevSim& device = *fleet.devices[i];
        const std::string report = device.StopAndReport();
        const std::string sha = ImageSha(models[i]);
        const std::string version = models[i] == "dravenholt" ? "6.2.1" : "1.0.9";
        EXPECT_EQ(Count(report, sha), 2u)
            << models[i] << " gets its own image twice: " << report.substr(0, 600);
        EXPECT_NE(report.find("\"final_version\": \"" + version + "\""), std::string::npos)
            << report.substr(0, 600);
        const json& result = results.at(device.address());
        EXPECT_EQ(result["result"], "complete");
        EXPECT_EQ(result["image_sha256"], sha);
        EXPECT_EQ(result["new_version"], version);
        EXPECT_TRUE(result["verify_ms"].is_number() && result["erase_ms"].is_number() &&
                    result["program_ms"].is_number())
            << result.dump();
        EXPECT_EQ(records.at(device.address())["image_sha256"], sha);
        EXPECT_EQ(records.at(device.address())["result"], "complete");
    }
}

// A device at the image's version is left alone and counts as a success; one ahead of it is
// refused unless --allow-older, with which it is flashed.
TEST(CliBatch, TheVersionPolicyLeavesCurrentDevicesAloneAndRefusesNewerOnes) {
    Fleet fleet(
        22,
        {{"tolva22", {"--firmware", "1.0.9"}}, {"tolva21", {"--firmware", "1.0.10"}}, {"dravenholt", {}}});
    DevSim& current = *fleet.devices[0];
    DevSim& newer = *fleet.devices[1];
    DevSim& behind = *fleet.devices[2];

    CliRun dry = RunCli(fleet.Args({"--dry-run"}));
    EXPECT_EQ(dry.status, 14) << "the newer device is refused" << Diagnose(dry);
    for (const char* action : {"  up-to-date\n", "  refused-newer\n", "  upgrade\n"})
        EXPECT_NE(dry.out.find(action), std::string::npos) << action << dry.out;

    CliRun run = RunCli(fleet.Args({"--yes", "--json"}));
    EXPECT_EQ(run.status, 14) << Diagnose(run);
    auto results = ResultsByHost(JsonLines(run));
    EXPECT_EQ(results[current.address()]["result"], "up-to-date");
    EXPECT_EQ(results[current.address()]["exit_code"], 0);
    EXPECT_EQ(results[newer.address()]["result"], "refused-newer");
    EXPECT_EQ(results[newer.address()]["exit_code"], 14);
    EXPECT_EQ(results[behind.address()]["result"], "complete");
    EXPECT_EQ(Count(current.Report(), "/config"), 0u) << "no command to a current device";
    EXPECT_EQ(Count(newer.Report(), "/config"), 0u);
    EXPECT_TRUE(behind.WaitForReport("\"final_version\": \"6.2.1\"", std::chrono::seconds(60)))
        << behind.Report();

    // Alone (the single-device path) the same policy holds, and --allow-older flashes.
    CliRun alone = RunCli({"upgrade", current.address(), "--http-port", std::to_string(fleet.http),
                           "--tftp-port", std::to_string(fleet.tftp), "--yes", "--json", "--trace"});
    EXPECT_EQ(alone.status, 0) << Diagnose(alone);
    EXPECT_NE(alone.out.find("\"result\":\"up-to-date\",\"exit_code\":0"), std::string::npos) << alone.out;
    for (const auto& line : JsonLines(alone)) {
        if (line["event"] == "trace") {
            EXPECT_EQ(line.value("host", ""), current.address()) << "a single device's trace is its own";
        }
    }
    EXPECT_EQ(Count(current.StopAndReport(), "/config"), 0u);

    CliRun older = RunCli({"upgrade", newer.address(), "--http-port", std::to_string(fleet.http),
                           "--tftp-port", std::to_string(fleet.tftp), "--yes", "--json", "--allow-older"});
    EXPECT_EQ(older.status, 0) << Diagnose(older);
    EXPECT_NE(newer.StopAndReport().find("\"final_version\": \"1.0.9\""), std::string::npos);
}

// An audit log that cannot be opened stops the run before any device hears anything.
TEST(CliBatch, AnUnwritableAuditLogTouchesNoDevice) {
    Fleet fleet(23, {{"tolva21", {}}, {"tolva22", {}}});
    for (const bool batch : {true, false}) {
        std::vector<std::string> args = fleet.Args({"--yes", "--audit-log", "/nonexistent/dir/a.jsonl"});
        if (!batch)
            args.erase(args.begin() + 2); // the second host
        CliRun run = RunCli(args);
        EXPECT_EQ(run.status, 2) << Diagnose(run);
        EXPECT_NE(run.err.find("cannot open the audit log \"/nonexistent/dir/a.jsonl\""), std::string::npos)
            << run.err;
    }
    for (auto& device : fleet.devices)
        EXPECT_EQ(Count(device->StopAndReport(), "\"method\""), 0u) << "not even a probe";
}

// A TFTP port that another program holds: the upgrade says so, batch or not, and contacts nobody.
TEST(CliBatch, AHeldTftpPortIsNamedAndTouchesNoDevice) {
    Fleet fleet(26, {{"tolva21", {}}, {"dravenholt", {}}});
    net::Socket holder = net::Socket::Udp();
    ASSERT_TRUE(holder.Bind(net::Endpoint{net::kAnyAddress, fleet.tftp}));
    for (const bool batch : {true, false}) {
        std::vector<std::string> args = fleet.Args({"--yes"});
        if (!batch)
            args.erase(args.begin() + 2); // the second host
        CliRun run = RunCli(args);
        EXPECT_EQ(run.status, 3) << Diagnose(run);
        EXPECT_NE(run.err.find("another program holds UDP port " + std::to_string(fleet.tftp)),
                  std::string::npos)
            << Diagnose(run);
    }
    for (auto& device : fleet.devices)
        EXPECT_EQ(Count(device->StopAndReport(), "\"method\""), 0u) << "not even a probe";
}

TEST(CliBatch, HostsComeFromAFileWithCommentsAndNeverFromAnOptionsValue) {
    Fleet fleet(24, {{"tolva21", {}}, {"dravenholt", {}}});
    const std::string hosts = TempFile("hosts.txt");
    std::ofstream(hosts) << "# the lab\n\n  " << fleet.devices[0]->address() << "  \r\n   # spare\n"
                         << fleet.devices[1]->address() << "\n";
    CliRun run =
        RunCli({"upgrade", "--hosts-file", hosts, "--http-port", std::to_string(fleet.http), "--tftp-port",
                std::to_string(fleet.tftp), "--dry-run", "--json", "--verify-reboot", "30"});
    EXPECT_EQ(run.status, 0) << Diagnose(run);
    const auto results = ResultsByHost(JsonLines(run));
    EXPECT_EQ(results.size(), 2u) << run.out;
    EXPECT_EQ(results.count(fleet.devices[0]->address()), 1u);
    EXPECT_EQ(results.count(fleet.devices[1]->address()), 1u);
    EXPECT_EQ(results.count("30"), 0u) << "a number after --verify-reboot is its value";

    // A device named twice is upgraded once.
    CliRun twice = RunCli({"upgrade", fleet.devices[0]->address(), "--hosts-file", hosts, "--http-port",
                           std::to_string(fleet.http), "--tftp-port", std::to_string(fleet.tftp), "--dry-run",
                           "--json"});
    EXPECT_EQ(twice.status, 2) << Diagnose(twice);
    EXPECT_EQ(Count(twice.out, "\"result\":\"dry-run\""), 2u) << twice.out;
    EXPECT_EQ(Count(twice.out, "\"result\":\"bad-input\""), 1u) << twice.out;

    // Standard input cannot carry both the hosts and the password.
    CliRun both =
        RunCli({"upgrade", "--hosts-file", "-", "--password-stdin", "--yes"},
               CliOptions{"secret\n" + fleet.devices[0]->address() + "\n", {}, std::chrono::seconds(60)});
    EXPECT_EQ(both.status, 2) << Diagnose(both);
    EXPECT_NE(both.err.find("--hosts-file - and --password-stdin both read standard input"),
              std::string::npos)
        << both.err;
    for (auto& device : fleet.devices)
        EXPECT_EQ(Count(device->StopAndReport(), "/config"), 0u);
}

// The first signal stops the batch from commanding anyone new; the device already commanded is
// served to the end.
TEST(CliBatch, ASignalLetsTheCommandedDeviceFinishAndBeginsNoOther) {
    Fleet fleet(25, {{"tolva22", {"--erase-seconds", "3"}}, {"tolva21", {}}});
    const std::string audit = TempFile("audit-batch-signal.jsonl");
    CliProcess cli(fleet.Args({"--yes", "--parallel", "1", "--audit-log", audit}),
                   CliProcess::Terminal::None);
    ASSERT_TRUE(cli.WaitForErr(fleet.devices[0]->address() + ": Step 4 of 5")) << cli.Err();
    cli.Signal(SIGTERM);
    CliRun run = cli.Wait();
    EXPECT_EQ(run.status, 143) << Diagnose(run);
    EXPECT_NE(run.err.find("no further device will be commanded"), std::string::npos) << run.err;
    // Without --json each pass ends with a progress line (and its rate, once measurable).
    EXPECT_EQ(Count(run.err, fleet.devices[0]->address() + ": [####################] 100%"), 2u) << run.err;
    const std::string auditText = ReadText(audit);
    EXPECT_NE(auditText.find("\"result\":\"complete\",\"exit_code\":0}"), std::string::npos) << auditText;
    EXPECT_NE(auditText.find("\"result\":\"interrupted\",\"exit_code\":143,\"phase\":\"not-started\"}"),
              std::string::npos)
        << auditText;
    EXPECT_NE(fleet.devices[0]->StopAndReport().find("\"final_version\": \"1.0.9\""), std::string::npos);
    EXPECT_EQ(Count(fleet.devices[1]->StopAndReport(), "/config"), 0u);
}

// A second signal abandons every device being served and gives each its own rescue command.
TEST(CliBatch, ASecondSignalAbandonsEveryServedDeviceWithItsRescueCommand) {
    Fleet fleet(26, {{"tolva22", {"--erase-seconds", "20"}}, {"dravenholt", {"--erase-seconds", "20"}}});
    const std::string audit = TempFile("audit-batch-abandoned.jsonl");
    CliProcess cli(fleet.Args({"--yes", "--audit-log", audit}), CliProcess::Terminal::None);
    for (const auto& device : fleet.devices)
        ASSERT_TRUE(cli.WaitForErr(device->address() + ": Step 4 of 5")) << cli.Err();
    cli.Signal(SIGINT);
    ASSERT_TRUE(cli.WaitForErr("A second Ctrl-C (or signal) abandons them.")) << cli.Err();
    cli.Signal(SIGINT);
    CliRun run = cli.Wait();
    EXPECT_EQ(run.status, 130) << Diagnose(run);
    const std::string port = " --tftp-port " + std::to_string(fleet.tftp);
    const std::string auditText = ReadText(audit);
    for (const auto& [device, image] :
         {std::pair{fleet.devices[0].get(), "tolva22"}, std::pair{fleet.devices[1].get(), "dravenholt"}}) {
        const std::string rescue = "skelvo-cli rescue " + device->address() + " --builtin " + image + port;
        EXPECT_NE(run.err.find("\n    " + rescue + "\n"), std::string::npos) << run.err;
        EXPECT_NE(auditText.find("\"result\":\"abandoned\",\"exit_code\":130,\"phase\":\"erase\","
                                 "\"rescue_command\":\"" +
                                 rescue + "\"}"),
                  std::string::npos)
            << auditText;
    }
}

// On a terminal the batch asks once, showing what would happen to each device; No sends nothing.
TEST(CliBatch, OneQuestionOnTheTerminalShowsEveryDevicesAction) {
    Fleet fleet(27, {{"tolva21", {}}, {"tolva22", {"--firmware", "1.0.9"}}});
    CliProcess cli(fleet.Args({}), CliProcess::Terminal::Pseudo);
    ASSERT_TRUE(cli.WaitForErr("[y]es / [n]o / [C]ancel: ")) << cli.Err();
    cli.Type("n\r");
    CliRun run = cli.Wait();
    EXPECT_EQ(run.status, 10) << Diagnose(run);
    EXPECT_EQ(Count(run.err, "[y]es / [n]o / [C]ancel: "), 1u) << "one question for the batch";
    for (const std::string& row :
         {fleet.devices[0]->address() + "  Tolva 21xx     1.0.8       1.0.9       upgrade",
          fleet.devices[1]->address() + "  Tolva 22xx     1.0.9       1.0.9       up-to-date"})
        EXPECT_NE(run.err.find(row), std::string::npos) << row << "\n" << run.err;
    for (auto& device : fleet.devices)
        EXPECT_EQ(Count(device->StopAndReport(), "/config"), 0u);
}

// Several devices probed at once: a line a device, whatever order the answers come in, with its
// own error; the exit code is that of the first host given that failed.
TEST(CliBatch, ProbeReadsEveryDeviceOfAListAtOnce) {
    Fleet fleet(28, {{"tolva21", {}}, {"dravenholt", {"--fault", "no-server-header"}}, {"tolva22", {}}});
    const std::string unreachable = "127.0.28.9"; // nothing listens there
    const std::string hosts = TempFile("probe-hosts.txt");
    std::ofstream(hosts) << fleet.devices[1]->address() << "\n" << unreachable << "\n";
    CliRun run =
        RunCli({"probe", fleet.devices[0]->address(), "--hosts-file", hosts, fleet.devices[2]->address(),
                "--parallel", "2", "--json", "--trace", "--http-port", std::to_string(fleet.http)});
    EXPECT_EQ(run.status, 5) << "the device without a Server line comes first of the failures: "
                             << Diagnose(run);
    std::map<std::string, json> probes;
    std::map<std::string, int> traced;
    for (const json& line : JsonLines(run)) {
        ASSERT_TRUE(line.contains("time")) << line.dump();
        if (line["event"] == "probe")
            probes[line["host"].get<std::string>()] = line;
        else if (line["event"] == "trace")
            ++traced[line.value("host", "")];
    }
    ASSERT_EQ(probes.size(), 4u) << run.out;
    for (const auto& [host, count] : traced)
        EXPECT_EQ(probes.count(host), 1u)
            << "every trace line belongs to one probed host: \"" << host << "\"";
    EXPECT_EQ(probes[fleet.devices[0]->address()]["model"], "Tolva 21xx");
    EXPECT_EQ(probes[fleet.devices[0]->address()]["version"], "1.0.8");
    EXPECT_EQ(probes[fleet.devices[0]->address()]["exit_code"], 0);
    EXPECT_EQ(probes[fleet.devices[1]->address()]["exit_code"], 5);
    EXPECT_EQ(probes[fleet.devices[2]->address()]["version"], "1.0.8");
    EXPECT_EQ(probes[unreachable]["exit_code"], 4);
    EXPECT_EQ(probes[unreachable]["error"], "ERR_CONNECT");

    CliRun text = RunCli({"probe", fleet.devices[2]->address(), "--http-port", std::to_string(fleet.http)});
    EXPECT_EQ(text.status, 0) << Diagnose(text);
    EXPECT_EQ(text.out, fleet.devices[2]->address() + ": Tolva 22xx, firmware 1.0.8\n");
    EXPECT_EQ(RunCli({"probe"}).status, 2) << "no host";
    for (auto& device : fleet.devices)
        EXPECT_EQ(Count(device->StopAndReport(), "/config"), 0u);
}

// --retries: a device that never took the command is tried again after a growing wait, each failed
// attempt logged; one that took it is never commanded a second time.
TEST(CliBatch, RetriesTryAgainOnlyADeviceThatNeverTookTheCommand) {
    Fleet fleet(29, {{"tolva22", {"--fault", "command-status=503"}},
                     {"tolva21", {"--fault", "reset-after-command"}},
                     {"dravenholt", {}}});
    const std::string late = "127.0.29.9"; // comes up only after its first attempt failed
    const std::string audit = TempFile("audit-batch-retries.jsonl");
    std::vector<std::string> args = fleet.Args({"--yes", "--json", "--retries", "3", "--audit-log", audit});
    args.insert(args.begin() + 1, late);
    CliProcess cli(args, CliProcess::Terminal::None);
    ASSERT_TRUE(cli.WaitForErr(late + ": unreachable; no upgrade command was taken, trying again in 1 s"))
        << cli.Err();
    DevSim lateDevice("tolva21", late, fleet.tftp, {}, fleet.http);
    CliRun run = cli.Wait(std::chrono::seconds(300));
    EXPECT_EQ(run.status, 13) << "the refusing device is the first failure: " << Diagnose(run);

    std::map<std::string, std::vector<json>> retries;
    for (const json& line : JsonLines(run))
        if (line["event"] == "retry")
            retries[line["host"].get<std::string>()].push_back(line);
    const auto results = ResultsByHost(JsonLines(run));
    const std::string refusing = fleet.devices[0]->address();
    ASSERT_EQ(retries[refusing].size(), 3u) << run.out.substr(0, 4000);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(retries[refusing][i]["attempt"], i + 1);
        EXPECT_EQ(retries[refusing][i]["delay_ms"], 1000 << i) << "the waits double";
        EXPECT_EQ(retries[refusing][i]["after"], "command-refused");
    }
    EXPECT_EQ(results.at(refusing)["result"], "command-refused");
    EXPECT_EQ(results.at(refusing)["attempt"], 4);
    EXPECT_EQ(Count(fleet.devices[0]->StopAndReport(), "\"target\": \"/config"), 4u);

    EXPECT_GE(retries[late].size(), 1u);
    EXPECT_EQ(results.at(late)["result"], "complete");
    EXPECT_NE(lateDevice.StopAndReport().find("\"final_version\": \"1.0.9\""), std::string::npos);
    for (std::size_t i : {1u, 2u}) {
        const std::string host = fleet.devices[i]->address();
        EXPECT_EQ(retries.count(host), 0u) << host;
        EXPECT_EQ(results.at(host)["result"], "complete") << host;
        EXPECT_EQ(Count(fleet.devices[i]->StopAndReport(), "\"target\": \"/config"), 1u)
            << "commanded once: " << host;
    }

    // Every attempt is in the audit log: the retried ones with their wait, the last without.
    std::map<std::string, int> records, retried;
    std::istringstream auditLines(ReadText(audit));
    for (std::string line; std::getline(auditLines, line);) {
        const json record = json::parse(line);
        ++records[record["host"].get<std::string>()];
        retried[record["host"].get<std::string>()] += record.contains("retry_in_ms") ? 1 : 0;
    }
    EXPECT_EQ(records[refusing], 4);
    EXPECT_EQ(retried[refusing], 3);
    EXPECT_EQ(records[late], retried[late] + 1);

    // One device alone: the same.
    const std::string nobody = "127.0.29.20";
    CliRun single = RunCli({"upgrade", nobody, "--yes", "--retries", "1", "--http-port",
                            std::to_string(fleet.http), "--tftp-port", std::to_string(fleet.tftp)});
    EXPECT_EQ(single.status, 4) << Diagnose(single);
    EXPECT_EQ(Count(single.err, "trying again in 1 s (retry 1 of 1)"), 1u) << single.err;
}

// Twenty devices of every model served at once from one socket, a quarter of them losing 5% of the
// packets each way: each ends programmed with its own model's image.
TEST(CliBatch, TwentyMixedDevicesAtOnceEvenWithLossOnAQuarter) {
    const std::string list = TempFile("fleet-twenty.json");
    const std::string lossy = R"("faults": "drop-data=0.05,drop-ack=0.05")";
    std::ofstream(list) << R"([{"count": 5, "model": "tolva21"}, {"count": 5, "model": "tolva22"},)"
                        << R"({"count": 5, "model": "dravenholt"}, {"count": 2, "model": "tolva21", )"
                        << lossy << R"(}, {"count": 2, "model": "tolva22", )" << lossy
                        << R"(}, {"count": 1, "model": "dravenholt", )" << lossy << "}]";
    const std::uint16_t tftp = FreeUdpPort();
    auto fleet = DevSim::Fleet(20, "127.0.31.1", tftp, {"--fleet-file", list, "--model", "tolva21"},
                               FreeTcpPort("127.0.31.1"));
    std::vector<std::string> args{"upgrade",
                                  "--yes",
                                  "--json",
                                  "--parallel",
                                  "20",
                                  "--http-port",
                                  std::to_string(fleet->httpPort()),
                                  "--tftp-port",
                                  std::to_string(tftp)};
    for (int i = 1; i <= 20; ++i)
        args.push_back("127.0.31." + std::to_string(i));
    CliRun run = RunCli(args, CliOptions{"", {}, std::chrono::seconds(600)});
    EXPECT_EQ(run.status, 0) << Diagnose(run);

    const auto results = ResultsByHost(JsonLines(run));
    const json report = json::parse(fleet->StopAndReport());
    const std::vector<std::string> models = {"tolva21", "tolva22", "dravenholt",
                                             "tolva21", "tolva22", "dravenholt"};
    const int counts[] = {5, 5, 5, 2, 2, 1};
    int member = 1;
    for (std::size_t group = 0; group < models.size(); ++group) {
        for (int i = 0; i < counts[group]; ++i, ++member) {
            const std::string host = "127.0.31." + std::to_string(member);
            const std::string sha = ImageSha(models[group]);
            ASSERT_EQ(results.count(host), 1u) << host;
            EXPECT_EQ(results.at(host)["result"], "complete") << results.at(host).dump();
            EXPECT_EQ(results.at(host)["image_sha256"], sha) << host;
            const std::string device = report["devices"][host].dump();
            EXPECT_EQ(Count(device, sha), 2u)
                << host << " gets its own image twice: " << device.substr(0, 600);
            if (group >= 3) { // the lossy quarter: the loss was real, and was recovered from
                EXPECT_GT(SumOf(report["devices"][host], "dropped_data") +
                              SumOf(report["devices"][host], "dropped_acks"),
                          0)
                    << host << ": " << device.substr(0, 600);
            }
            EXPECT_NE(device.find("\"final_version\":\"" +
                                  std::string(models[group] == "dravenholt" ? "6.2.1" : "1.0.9") + "\""),
                      std::string::npos)
                << host << ": " << device.substr(0, 600);
        }
    }
}

// Eight good devices and four web servers that would hold a caller for ever: a header trickled a
// byte every 2 s, header lines without end (with a terminal's control bytes in them), a server
// that never answers, and one that never ends its reply to the upgrade command. Every good device
// is programmed; each bad one fails with its own reason; nothing of theirs reaches the terminal.
TEST(CliBatch, MisbehavingWebServersFailAloneWhileTheGoodDevicesAreProgrammed) {
    std::vector<std::pair<std::string, std::vector<std::string>>> specs{
        {"tolva22", {"--fault", "trickle"}},         {"tolva21", {}},    {"tolva22", {}},
        {"tolva21", {"--fault", "endless-header"}},  {"dravenholt", {}}, {"tolva", {}},
        {"tolva22", {"--fault", "silent"}},          {"tolva21", {}},    {"tolva22", {}},
        {"tolva22", {"--fault", "trickle-command"}}, {"dravenholt", {}}, {"tolva21", {}}};
    Fleet fleet(27, specs);
    const std::string audit = TempFile("audit-misbehaving.jsonl");
    CliRun run = RunCli(fleet.Args({"--yes", "--json", "--parallel", "12", "--audit-log", audit}),
                        CliOptions{"", {}, std::chrono::seconds(300)});
    EXPECT_EQ(run.status, 4) << "the first host's: unreachable\n" << Diagnose(run);
    const auto results = ResultsByHost(JsonLines(run));
    ASSERT_EQ(results.size(), specs.size()) << Diagnose(run);
    const std::map<int, std::string> reasons{
        {1, "no complete answer within 15 s"},
        {4, "the device's web server sent 64 KiB without a Server line"},
        {7,
         "ERROR: An Error has occured when attempting to receive Server Type info from the requested "
         "Server: 127.0.27.7.\n\nPlease check that the desired server is correctly connected to the network "
         "and that the IP Address is valid"},
        {10,
         "no complete answer to the upgrade command within 60 s; the device is not served, so its firmware "
         "is unchanged"}};
    for (std::size_t i = 0; i < specs.size(); ++i) {
        const int n = static_cast<int>(i) + 1;
        const std::string host = "127.0.27." + std::to_string(n);
        const json& r = results.at(host);
        if (reasons.count(n) != 0) {
            EXPECT_EQ(r["result"], "unreachable") << r.dump();
            EXPECT_EQ(r.value("reason", ""), reasons.at(n)) << r.dump();
        } else {
            EXPECT_EQ(r["result"], "complete") << r.dump();
            EXPECT_EQ(r["image_sha256"], ImageSha(specs[i].first)) << host;
        }
    }
    // The audit log gives the same reasons.
    const std::string auditText = ReadText(audit);
    for (const auto& [n, reason] : reasons)
        EXPECT_NE(auditText.find(json(reason).dump()), std::string::npos) << reason;
    // No control byte of a device reaches the terminal or the JSON lines.
    for (const std::string* text : {&run.out, &run.err})
        for (const char c : {'\x1b', '\x07'})
            EXPECT_EQ(text->find(c), std::string::npos) << "byte " << static_cast<int>(c);
    EXPECT_EQ(Count(fleet.devices[9]->StopAndReport(), "\"succeeded\": true"), 0u)
        << "the device whose reply never ended was not served";
}
