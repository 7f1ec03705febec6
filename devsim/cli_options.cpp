#include "devsim/cli_options.h"

#include "cli/cmdline.h"
#include "devsim/fleet.h"

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <thread>

namespace devsim {
namespace {

volatile std::sig_atomic_t g_signalled = 0;

extern "C" void OnSignal(int) {
    g_signalled = 1;
}

constexpr char kDescription[] =
    "A simulated device server: a web server that names the model and firmware in its Server\n"
    "line and takes the upgrade command GET /config?if=image&ih=ADDR[&id=1] (Basic login),\n"
    "and a TFTP client that then fetches the image from ADDR twice: to verify, and, after the\n"
    "erase wait, to program it. If the second download fails after the erase, the device\n"
    "has no firmware: its web server stays down and its boot loader asks the same server for\n"
    "\"image\" until one complete download of a good image programs it.";

// Seconds with a fraction, from 0 to a day, as milliseconds.
void AddSeconds(CLI::App& app, const std::string& name, std::chrono::milliseconds& target,
                const std::string& help) {
    skelvo::cmdline::AddNumber<double>(
        app, name, 0, 86400, "a number of seconds",
        [&target](double s) { target = std::chrono::milliseconds(static_cast<long long>(s * 1000 + 0.5)); },
        help)
        ->type_name("S");
}

// --fleet and --fleet-file: every member from one process, until a signal or, with --once, the
// end of every member's first upgrade.
int RunFleet(const CommandLine& cl, bool modelGiven) {
    FleetOptions f;
    f.device = cl.options;
    f.addressBase = cl.addressBase;
    f.size = cl.fleet;
    f.reportFile = cl.options.reportFile;
    f.readyFile = cl.options.readyFile;
    std::string why;
    if (!cl.fleetFile.empty()) {
        std::ifstream in(cl.fleetFile, std::ios::binary);
        std::stringstream text;
        text << in.rdbuf();
        if (!in)
            return skelvo::cmdline::UsageError("skelvo-devsim", "--fleet-file: cannot read " + cl.fleetFile);
        auto entries =
            ParseFleetList(text.str(), modelGiven ? std::optional(cl.options.model) : std::nullopt, &why);
        if (!entries)
            return skelvo::cmdline::UsageError("skelvo-devsim", "--fleet-file " + cl.fleetFile + ": " + why);
        f.entries = std::move(*entries);
    } else if (modelGiven) {
        f.entries.resize(1);
        f.entries[0].model = cl.options.model;
    }
    if (!FleetMemberOptions(f, &why))
        return skelvo::cmdline::UsageError("skelvo-devsim", why);
    std::signal(SIGTERM, OnSignal);
    std::signal(SIGINT, OnSignal);
    Fleet fleet(f);
    if (!fleet.Start(&why)) {
        std::fprintf(stderr, "skelvo-devsim: %s\n", why.c_str());
        return 1;
    }
    const std::string summary = "fleet of " + std::to_string(fleet.size()) + " listening on " +
                                fleet.HttpEndpoint(0).ip.ToString() + " to " +
                                fleet.HttpEndpoint(fleet.size() - 1).ip.ToString() + ", HTTP port " +
                                std::to_string(fleet.HttpEndpoint(0).port) + "\n";
    std::fputs(summary.c_str(), stdout);
    std::fflush(stdout);
    int status = 0;
    std::size_t ended = 0; // members, in order, whose first upgrade has ended (a bricked one: rescued)
    while (!g_signalled) {
        if (cl.once) {
            for (; ended < fleet.size(); ++ended) {
                auto up = fleet.Member(ended).WaitForUpgrade(std::chrono::milliseconds(0));
                if (up && up->state == "bricked")
                    up = fleet.Member(ended).WaitForRescue(std::chrono::milliseconds(0));
                if (!up)
                    break;
                if (!up->succeeded() && !up->rescued)
                    status = 1;
            }
            if (ended == fleet.size())
                break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    if (cl.once && g_signalled)
        status = 1;
    fleet.Stop();
    return status;
}

} // namespace

void DeclareOptions(CLI::App& app, CommandLine& out) {
    Options& o = out.options;
    app.description(kDescription);
    app.add_option_function<std::string>(
           "--model", [&o](const std::string& name) { o.model = *ParseModel(name); },
           "tolva21, tolva22, tolva, dravenholt or vintrosphere\n(a fleet's default model)")
        ->type_name("MODEL")
        ->check(CLI::Validator(
            [](const std::string& name) {
                return ParseModel(name) ? std::string() : "unknown model: " + name;
            },
            "", "model"));
    app.add_option("--firmware", o.firmware, "version shown before any upgrade (1.0.8 or 6.2.0)")
        ->type_name("VERSION");
    app.add_option_function<std::string>(
           "--address",
           [&o](const std::string& text) {
               o.address = text == "0.0.0.0" ? net::kAnyAddress : *net::ParseIpv4(text);
           },
           "address of the web server and of the TFTP client (127.0.0.1)")
        ->type_name("A")
        ->check(CLI::Validator(
            [](const std::string& text) {
                return text == "0.0.0.0" || net::ParseIpv4(text) ? std::string()
                                                                 : "needs a dotted IPv4 address: " + text;
            },
            "", "ipv4"));
    skelvo::cmdline::AddNumber<std::uint16_t>(app, "--http-port", o.httpPort, 0, 65535, "a port number",
                                              "web server port (80); 0 takes any free port")
        ->type_name("N");
    skelvo::cmdline::AddNumber<std::uint16_t>(app, "--tftp-port", o.tftpPort, 1, 65535, "a port number",
                                              "port the read requests go to (69)")
        ->type_name("N");
    app.add_option("--login", o.login,
                   "credentials of the upgrade command (root / marlin);\ngive both or neither")
        ->type_name("L");
    app.add_option("--password", o.password, "the password that goes with --login")->type_name("P");
    AddSeconds(app, "--erase-seconds", o.eraseTime, "erase wait between the downloads (3)");
    AddSeconds(app, "--reboot-seconds", o.rebootTime, "unreachable after programming (4)");
    AddSeconds(app, "--bootloader-retry-seconds", o.bootLoaderRetry,
               "with the flash erased, between the boot loader's read\nrequests (3)");
    skelvo::cmdline::AddNumber<std::uint32_t>(
        app, "--tftp-timeout-ms", 1, 86'400'000, "a number of milliseconds",
        [&o](std::uint32_t ms) { o.tftp.timeout = std::chrono::milliseconds(ms); },
        "TFTP client's wait before it repeats (2000)")
        ->type_name("MS");
    skelvo::cmdline::AddNumber(app, "--tftp-retries", o.tftp.retries, 0, 1'000'000, "a count",
                               "time-outs in a row before it gives up (5)")
        ->type_name("N");
    skelvo::cmdline::AddNumber<std::uint32_t>(
        app, "--tftp-dally-ms", 0, 86'400'000, "a number of milliseconds",
        [&o](std::uint32_t ms) { o.tftp.dally = std::chrono::milliseconds(ms); },
        "stay after the last block to repeat its ACK (1000)")
        ->type_name("MS");
    app.add_flag("--accept-any-image", o.acceptAnyImage, "program an image without a trailer too");
    app.add_flag("--once", out.once,
                 "exit after one upgrade: 0 only if it succeeded, or if the\n"
                 "boot loader has rescued the device it bricked");
    app.add_option("--report", o.reportFile, "JSON record of requests and downloads")->type_name("FILE");
    app.add_option("--ready-file", o.readyFile, "write ADDR:PORT here once listening")->type_name("FILE");
    skelvo::cmdline::AddNumber<std::uint64_t>(app, "--seed", o.seed, 0, UINT64_MAX, "a number",
                                              "seed of the drop faults (1)")
        ->type_name("N");
    app.add_option("--fault")
        ->description("a fault; repeat or separate by commas for several (below)")
        ->type_name("NAME[=VALUE]")
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll)
        ->allow_extra_args(false)
        ->check(CLI::Validator(
            [](const std::string& text) {
                Faults scratch;
                std::string why;
                return ParseFaultList(text, scratch, &why) ? std::string() : why;
            },
            "", "fault"))
        ->each([&o](const std::string& text) { ParseFaultList(text, o.faults, nullptr); });
    skelvo::cmdline::AddNumber<std::size_t>(app, "--fleet", out.fleet, 1, kMaxFleet, "a number of devices",
                                            "run N devices, one per address from --address-base")
        ->type_name("N");
    app.add_option("--fleet-file", out.fleetFile,
                   "JSON list of the fleet's members: [{\"count\": 10, \"model\":\n"
                   "\"tolva22\", \"version\": \"1.0.7\", \"faults\": \"slow\"}, ...]")
        ->type_name("FILE");
    app.add_option_function<std::string>(
           "--address-base", [&out](const std::string& text) { out.addressBase = *net::ParseIpv4(text); },
           "the first member's address (127.0.1.1); the next ones follow")
        ->type_name("A")
        ->check(CLI::Validator(
            [](const std::string& text) {
                auto ip = net::ParseIpv4(text);
                return ip && ip->addr != 0 ? std::string() : "needs a dotted IPv4 address: " + text;
            },
            "", "ipv4"));
    app.footer("faults:\n" + FaultHelp());
}

int RunDevsim(int argc, char** argv) {
    CommandLine cl;
    CLI::App app("", "skelvo-devsim");
    skelvo::cmdline::Configure(app, "skelvo-devsim " SKELVO_VERSION);
    DeclareOptions(app, cl);
    if (auto end = skelvo::cmdline::Parse(app, argc, argv))
        return *end;
    if ((app.count("--login") > 0) != (app.count("--password") > 0))
        return skelvo::cmdline::UsageError("skelvo-devsim", "--login and --password go together");
    const bool fleet = cl.fleet != 0 || app.count("--fleet-file") > 0;
    if (!fleet && app.count("--model") == 0)
        return skelvo::cmdline::UsageError("skelvo-devsim", "--model is required");
    if (!fleet && app.count("--address-base") > 0)
        return skelvo::cmdline::UsageError("skelvo-devsim", "--address-base needs --fleet or --fleet-file");
    if (fleet && app.count("--address") > 0)
        return skelvo::cmdline::UsageError("skelvo-devsim", "a fleet takes --address-base, not --address");
    if (fleet)
        return RunFleet(cl, app.count("--model") > 0);
    std::string why;
    std::signal(SIGTERM, OnSignal);
    std::signal(SIGINT, OnSignal);
    Simulator sim(cl.options);
    if (!sim.Start(&why)) {
        std::fprintf(stderr, "skelvo-devsim: %s\n", why.c_str());
        return 1;
    }
    int status = 0;
    while (!g_signalled) {
        if (cl.once) {
            // A bricked device has not ended its upgrade yet: it waits in its boot loader for a
            // rescue, or for a signal.
            auto up = sim.WaitForUpgrade(std::chrono::milliseconds(100));
            if (up && up->state == "bricked")
                up = sim.WaitForRescue(std::chrono::milliseconds(100));
            if (up) {
                status = up->succeeded() || up->rescued ? 0 : 1;
                break;
            }
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    }
    if (cl.once && g_signalled)
        status = 1;
    sim.Stop();
    return status;
}

} // namespace devsim
