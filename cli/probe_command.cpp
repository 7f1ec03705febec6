#include "cli/cli.h"
#include "cli/commands.h"
#include "cli/device_cli.h"

#include "engine/events.h"
#include "engine/messages.h"
#include "engine/trace.h"
#include "engine/upgrade_record.h"
#include "http/device_http.h"

#include <cstdio>

namespace skelvo::cli {
namespace {

constexpr char kProbeHelp[] = "usage: skelvo-cli probe HOST [--http-port N] [--json] [--trace]\n"
                              "\n"
                              "Identifies the device by the Server header of its web server and reads its\n"
                              "firmware version. Sends no command. Prints e.g.\n"
                              "  192.0.2.7: Tolva 22xx, firmware 1.0.8\n"
                              "\n"
                              "  --http-port N   the device's HTTP port (default 80)\n"
                              "  --json          the result as one JSON object on standard output\n"
                              "  --trace         the diagnostic trace lines on standard output\n"
                              "\n";

int ProbeUsage(const std::string& message) {
    std::fprintf(stderr, "skelvo-cli probe: %s\n(see 'skelvo-cli probe --help')\n", message.c_str());
    return kExitBadUsage;
}

} // namespace

int RunProbe(std::span<char*> args) {
    std::string host;
    bool json = false;
    bool trace = false;
    std::uint16_t port = kHttpPort;
    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string_view arg = args[i];
        if (arg == "--help" || arg == "-h") {
            std::printf("%s%s", kProbeHelp, kExitCodeHelp);
            return kExitOk;
        } else if (arg == "--json") {
            json = true;
        } else if (arg == "--trace") {
            trace = true;
        } else if (arg == "--http-port" || arg.starts_with("--http-port=")) {
            std::string_view v;
            if (arg.size() > 11)
                v = arg.substr(12);
            else if (i + 1 < args.size())
                v = args[++i];
            auto p = ParsePort(v);
            if (!p)
                return ProbeUsage("--http-port needs a port number from 1 to 65535");
            port = *p;
        } else if (arg.starts_with("-") && arg.size() > 1) {
            return ProbeUsage("unknown option \"" + std::string(arg) + "\"");
        } else if (!host.empty()) {
            return ProbeUsage("one HOST only");
        } else if (arg.empty() || arg.size() >= kHostNameSize) {
            return ProbeUsage("the host name must hold 1 to 127 characters");
        } else {
            host = arg;
        }
    }
    if (host.empty())
        return ProbeUsage("no HOST given");

    RouteTrace(trace, json);
    SetHttpPort(port);
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
    int exitCode = kExitOk;
    if (error)
        exitCode = kExitUnreachable;
    else if (type == SERVER_UNKNOWN)
        exitCode = kExitUnknownType;

    if (json) {
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

} // namespace skelvo::cli
