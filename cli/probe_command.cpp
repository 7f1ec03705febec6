#include "cli/cli.h"
#include "cli/commands.h"
#include "cli/device_cli.h"
#include "cli/host_list.h"
#include "cli/interrupt.h"

#include "engine/events.h"
#include "engine/messages.h"
#include "engine/trace.h"
#include "engine/upgrade_record.h"
#include "http/device_http.h"

#include "cli/cmdline.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <memory>
#include <mutex>
#include <thread>

namespace skelvo::cli {
namespace {

constexpr char kProbeFooter[] =
    "Identifies each device by the Server header of its web server and reads its\n"
    "firmware version. Sends no command. Prints a line a device, e.g.\n"
    "  192.0.2.7: Tolva 22xx, firmware 1.0.8\n"
    "Several devices are probed at once (--parallel); the lines come as\n"
    "the answers do. The exit code is that of the first host, in the order\n"
    "given, that failed.\n"
    "\n";

constexpr int kDefaultProbeParallel = 20;

struct ProbeOptions {
    std::vector<std::string> hosts;
    std::string hostsFile;
    int parallel = kDefaultProbeParallel;
    bool json = false;
    bool trace = false;
    std::uint16_t port = kHttpPort;
};

struct ProbeResult {
    int type = SERVER_UNKNOWN;
    std::optional<std::string> version;
    std::optional<int> error; // the first error event
    std::string bound;        // a bound that broke, in words
    bool cancelled = false;   // a signal ended it
    int exitCode = kExitComplete;
};

// The two exchanges of one device, each bounded; the events they raise are this device's own.
ProbeResult ProbeOne(const std::string& host, std::uint16_t port, HttpCancel& cancel) {
    ProbeResult r;
    HttpCall call;
    call.host = host;
    call.port = port;
    call.cancel = &cancel;
    call.traceTag = PrintableText(host) + ": ";
    call.events = [&r](bool error, int code) {
        if (error && !r.error)
            r.error = code;
    };
    const ServerDetection detection = DetectServer(call);
    r.type = detection.type;
    r.bound = BoundText(detection.failure, HttpExchange::Probe, call.bounds);
    r.cancelled = detection.failure == HttpFailure::Cancelled;
    if (r.type != SERVER_UNKNOWN) {
        if (detection.reached)
            call.host = detection.reached->ToString();
        const VersionAnswer answer = AskServerVersion(call);
        r.version = answer.version.value_or(kNotKnown);
        if (r.bound.empty())
            r.bound = BoundText(answer.failure, HttpExchange::Version, call.bounds);
        r.cancelled = answer.failure == HttpFailure::Cancelled;
    }
    if (r.error || !r.bound.empty())
        r.exitCode = kExitUnreachable;
    else if (r.type == SERVER_UNKNOWN)
        r.exitCode = kExitUnknownType;
    return r;
}

void Report(const std::string& host, const ProbeResult& r, bool json) {
    const std::string shown = PrintableText(host);
    const auto errorText = [&] { return !r.bound.empty() ? r.bound : ErrorText(*r.error, host.c_str(), ""); };
    if (r.cancelled) {
        if (!json)
            std::fprintf(stderr, "%s: interrupted; the probe was stopped\n", shown.c_str());
        return;
    }
    if (json) {
        JsonLine line;
        line.Add("event", "probe").Add("host", host).Add("type", r.type).Add("model", ModelName(r.type));
        line.Add("version", r.version);
        if (r.error)
            line.Add("error", ErrorName(*r.error));
        if (r.error || !r.bound.empty())
            line.Add("text", errorText());
        line.Add("exit_code", r.exitCode);
        line.Write(stdout);
    } else if (r.error || !r.bound.empty()) {
        std::fprintf(stderr, "%s: %s\n", shown.c_str(), errorText().c_str());
    } else if (r.type == SERVER_UNKNOWN) {
        std::fprintf(stderr, "%s: the device names no known server type\n", shown.c_str());
    } else {
        std::printf("%s: %s, firmware %s\n", shown.c_str(), ModelName(r.type), r.version->c_str());
        std::fflush(stdout);
    }
}

int Probe(ProbeOptions& o) {
    if (!o.hostsFile.empty())
        if (std::string error = AddHostsFile(o.hostsFile, o.hosts); !error.empty())
            return cmdline::UsageError("skelvo-cli probe", error);
    if (o.hosts.empty())
        return cmdline::UsageError("skelvo-cli probe", "no HOST given (name one, or --hosts-file F)");
    RouteTrace(o.trace, o.json, o.hosts.size() == 1 ? o.hosts.front() : std::string());
    // Ctrl-C ends the exchanges under way at once.
    HttpCancel cancel;
    InterruptWatch interrupts;
    interrupts.SetListener([&cancel](int, int) { cancel.Request(); });

    std::vector<ProbeResult> results(o.hosts.size());
    std::atomic<std::size_t> next{0};
    std::mutex output;
    const auto work = [&] {
        for (std::size_t i = next++; i < o.hosts.size(); i = next++) {
            results[i] = ProbeOne(o.hosts[i], o.port, cancel);
            std::lock_guard lock(output);
            Report(o.hosts[i], results[i], o.json);
        }
    };
    {
        std::vector<std::jthread> workers;
        const std::size_t count = std::min<std::size_t>(static_cast<std::size_t>(o.parallel), o.hosts.size());
        for (std::size_t i = 0; i < count; ++i)
            workers.emplace_back(work);
    }
    interrupts.SetListener({});
    RouteTrace(true, false);
    if (interrupts.Count() > 0)
        return interrupts.ExitCode();
    for (const ProbeResult& r : results)
        if (r.exitCode != kExitComplete)
            return r.exitCode;
    return kExitComplete;
}

} // namespace

Command AddProbe(CLI::App& program) {
    CLI::App* command = program.add_subcommand(
        "probe", "identify devices and read their firmware versions, sending no command");
    auto o = std::make_shared<ProbeOptions>();
    AddHostOptions(*command, o->hosts, o->hostsFile, o->parallel,
                   "probe at most N devices at once (default " + std::to_string(kDefaultProbeParallel) + ")");
    cmdline::AddNumber<std::uint16_t>(*command, "--http-port", o->port, 1, 65535, "a port number",
                                      "the devices' HTTP port (default 80)");
    command->add_flag("--json", o->json, "one JSON object a device on standard output");
    command->add_flag("--trace", o->trace, "the diagnostic trace lines on standard output");
    command->footer(std::string(kProbeFooter) + kExitCodeHelp);
    return {command, [o] { return Probe(*o); }};
}

} // namespace skelvo::cli
