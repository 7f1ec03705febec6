#include "cli/cli.h"
#include "cli/commands.h"
#include "cli/device_cli.h"

#include "engine/events.h"
#include "engine/messages.h"
#include "engine/trace.h"
#include "engine/upgrade_record.h"
#include "http/device_http.h"

#include "cli/cmdline.h"

#include <cstdio>
#include <memory>

namespace skelvo::cli {
namespace {

constexpr char kProbeFooter[] = "Identifies the device by the Server header of its web server and reads its\n"
                                "firmware version. Sends no command. Prints e.g.\n"
                                "  192.0.2.7: Tolva 22xx, firmware 1.0.8\n"
                                "\n";

struct ProbeOptions {
    std::string host;
    bool json = false;
    bool trace = false;
    std::uint16_t port = kHttpPort;
};

int Probe(const ProbeOptions& o) {
    const std::string& host = o.host;
    RouteTrace(o.trace, o.json);
    SetHttpPort(o.port);
    SetHostName(host);
    EventMonitor monitor;
    const std::string shown = PrintableText(host);

    int type = DetectServerType(host.c_str());
    std::optional<std::string> version;
    if (type != SERVER_UNKNOWN) {
        version = QueryServerVersion(host.c_str());
        if (!version)
            version = kNotKnown;
    }
    std::optional<CliEvent> error = monitor.FirstError();
    int exitCode = kExitComplete;
    if (error)
        exitCode = kExitUnreachable;
    else if (type == SERVER_UNKNOWN)
        exitCode = kExitUnknownType;

    if (o.json) {
        JsonLine line;
        line.Add("event", "probe").Add("host", host).Add("type", type).Add("model", ModelName(type));
        line.Add("version", version);
        if (error)
            line.Add("error", ErrorName(error->code))
                .Add("text", ErrorText(error->code, g_TftpConfigData.HostName, g_TftpConfigData.LoginName));
        line.Add("exit_code", exitCode);
        line.Write(stdout);
    } else if (error) {
        std::fprintf(stderr, "%s: %s\n", shown.c_str(),
                     ErrorText(error->code, g_TftpConfigData.HostName, g_TftpConfigData.LoginName).c_str());
    } else if (type == SERVER_UNKNOWN) {
        std::fprintf(stderr, "%s: the device names no known server type\n", shown.c_str());
    } else {
        std::printf("%s: %s, firmware %s\n", shown.c_str(), ModelName(type), version->c_str());
    }
    RouteTrace(true, false);
    return exitCode;
}

} // namespace

Command AddProbe(CLI::App& program) {
    CLI::App* command = program.add_subcommand(
        "probe", "identify a device and read its firmware version, sending no command");
    auto o = std::make_shared<ProbeOptions>();
    command->add_option("HOST", o->host, "the device's name or address")->required()->check(HostName());
    cmdline::AddNumber<std::uint16_t>(*command, "--http-port", o->port, 1, 65535, "a port number",
                                      "the device's HTTP port (default 80)");
    command->add_flag("--json", o->json, "the result as one JSON object on standard output");
    command->add_flag("--trace", o->trace, "the diagnostic trace lines on standard output");
    command->footer(std::string(kProbeFooter) + kExitCodeHelp);
    return {command, [o] { return Probe(*o); }};
}

} // namespace skelvo::cli
