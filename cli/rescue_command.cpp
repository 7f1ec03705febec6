#include "cli/cli.h"
#include "cli/commands.h"
#include "cli/device_cli.h"
#include "cli/image_choice.h"
#include "cli/interrupt.h"
#include "cli/progress.h"
#include "upgrade/outcome.h"

#include "engine/events.h"
#include "engine/messages.h"
#include "engine/trace.h"
#include "engine/upgrade_record.h"
#include "net/net.h"
#include "tftp/tftp_callbacks.h"
#include "tftp/tftp_server.h"

#include "cli/cmdline.h"

#include <chrono>
#include <cstdio>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

namespace skelvo::cli {
namespace {

constexpr char kRescueFooter[] =
    "Serves a device whose programming download failed its image again. With its flash erased,\n"
    "its boot loader keeps asking for the file \"image\" by TFTP; this command answers HOST alone,\n"
    "as often as it asks, and ends once a download has completed and the device has not asked\n"
    "again for S seconds, or on Ctrl-C. 'skelvo-cli upgrade' prints this command, complete, when it\n"
    "leaves a device that may be in that state.\n"
    "\n"
    "Standard error shows each download, with a progress bar on a terminal. The mode \"octet\" is\n"
    "accepted in any letter case, and TFTP options are answered unless --tftp-no-options is given.\n"
    "\n"
    "exit status:\n"
    "    0  at least one complete download was served\n"
    "    2  the command line is wrong, or the image cannot be read\n"
    "    3  the TFTP port cannot be bound\n"
    "    4  HOST cannot be resolved\n"
    "    8  no download completed\n"
    "  130  a signal ended it before any download completed (143 SIGTERM, 129 SIGHUP)\n";

constexpr int kDefaultQuietEnd = 60;

struct RescueArgs {
    std::string host;
    ImageChoice image;
    std::uint16_t port = kTftpPort;
    int quietEnd = kDefaultQuietEnd;
    bool trace = false;
    bool noOptions = false;
};

// What the handlers learn. The server runs on the command's own thread, so they are called there;
// the interrupt listener prints from its own thread, hence the lock.
struct RescueState {
    std::string host;
    ProgressDisplay* display = nullptr;
    bool tty = false;
    int quietEnd = kDefaultQuietEnd;
    int started = 0;
    int complete = 0;
    bool failureShown = false;
    std::mutex printLock;

    void Say(const std::string& text) {
        std::lock_guard lock(printLock);
        display->Finish();
        std::fprintf(stderr, "%s: %s\n", host.c_str(), text.c_str());
        std::fflush(stderr);
    }
};
RescueState* g_rescue = nullptr;

int OnRescueError(int code, void*) {
    if (g_rescue == nullptr)
        return 1;
    RescueState& s = *g_rescue;
    // A failed download raises its own event and then ERR_READ_REQUEST: one message is enough.
    if (code == ERR_READ_REQUEST && s.failureShown)
        return 1;
    s.failureShown = true;
    const std::string which = "download " + std::to_string(s.started);
    if (code == ERR_RECEIVE)
        s.Say(which + " failed: the device stopped acknowledging blocks (nothing came back for " +
              std::to_string(std::chrono::ceil<std::chrono::seconds>(RetransmitPolicy{}.giveUp).count()) +
              " s while the block was resent). Waiting for it to ask again.");
    else
        s.Say(which + " failed: " + OneLineText(ErrorText(code, s.host, "")) +
              " Waiting for it to ask again.");
    return 1;
}

int OnRescueStatus(int code, void* info) {
    if (g_rescue == nullptr)
        return 1;
    RescueState& s = *g_rescue;
    if (code == STATUS_PROGRAMMING) {
        ++s.started;
        s.failureShown = false;
        const std::string title =
            "download " + std::to_string(s.started) + ": the device is fetching its image";
        if (s.tty) {
            std::lock_guard lock(s.printLock);
            s.display->Step(s.host + ": " + title);
        } else {
            s.Say(title);
        }
    } else if (code == STATUS_PROGRESS) {
        std::lock_guard lock(s.printLock);
        s.display->OnStatus(code, info);
    } else if (code == STATUS_COMPLETE) {
        ++s.complete;
        const bool confirmed =
            info == nullptr || static_cast<const CompletionInfo*>(info)->FinalAckReceived != 0;
        std::string text = "download " + std::to_string(s.started) + " complete";
        if (!confirmed)
            text += " (the last block was not acknowledged; the device very probably holds it all)";
        text += ". The device should now program its flash and restart; waiting " +
                std::to_string(s.quietEnd) + " s in case it asks again (Ctrl-C ends).";
        s.Say(text);
    }
    return 1;
}

int Rescue(const RescueArgs& opts) {
    if (std::string problem = ImageChoiceProblem(opts.image); !problem.empty())
        return cmdline::UsageError("skelvo-cli rescue", problem);
    RouteTrace(opts.trace, false);
    const std::string shownHost = PrintableText(opts.host);

    const std::optional<std::string> what = SelectImageChoice(opts.image);
    if (!what) {
        std::fprintf(stderr, "skelvo-cli rescue: cannot read the image file \"%s\"\n",
                     PrintableText(*opts.image.file).c_str());
        return kExitBadUsage;
    }

    std::optional<net::Ipv4> address;
    {
        net::StartupGuard startup;
        address = net::ParseIpv4(opts.host);
        if (!address && startup.ok())
            address = net::ResolveFirstIpv4(opts.host);
    }
    if (!address) {
        std::fprintf(stderr, "skelvo-cli rescue: cannot resolve \"%s\" to an IPv4 address\n",
                     shownHost.c_str());
        return kExitUnreachable;
    }

    ProgressDisplay display(stderr, ProgressDisplay::IsTerminal(stderr));
    RescueState state;
    state.host = shownHost;
    state.display = &display;
    state.tty = ProgressDisplay::IsTerminal(stderr);
    state.quietEnd = opts.quietEnd;
    g_rescue = &state;
    RegisterTftpCallbacks(&CheckFilename, &ReadImageBlock, nullptr, &OnRescueError, &OnRescueStatus);

    auto stop = std::make_shared<TftpServerStop>();
    TftpServerOptions options;
    options.port = opts.port;
    options.expectedClient = address;
    options.stop = stop;
    options.negotiateOptions = !opts.noOptions;
    // Boot loaders write the mode as they like ("OCTET"); RFC 1350 allows any case.
    options.modeAnyCase = true;
    TftpSocket socket = OpenTftpSocket(options);
    if (!socket) {
        const int error = net::LastError();
        std::fprintf(stderr, "skelvo-cli rescue: the TFTP port %u cannot be bound\n",
                     static_cast<unsigned>(opts.port));
        if (std::string hint = TftpPortHint(opts.port, error); !hint.empty())
            std::fprintf(stderr, "skelvo-cli rescue: %s\n", hint.c_str());
        g_rescue = nullptr;
        return kExitPort;
    }
    options.onBound = [&](std::uint16_t port) {
        state.Say("serving " + *what + " to " + address->ToString() + " on UDP port " + std::to_string(port) +
                  "; waiting for the device to ask for its image (Ctrl-C ends)");
    };

    int served = 0;
    {
        InterruptWatch interrupts;
        interrupts.SetListener([&](int count, int signal) {
            if (count == 1)
                state.Say(std::string("interrupted (") + SignalName(signal) + "): stopping");
            stop->Request();
        });
        served = ServeRescue(std::move(socket), options, std::chrono::seconds(opts.quietEnd));
        interrupts.SetListener({});
        display.Finish();
        g_rescue = nullptr;
        if (served == 0 && interrupts.Count() > 0) {
            std::fprintf(stderr, "%s: no download completed\n", shownHost.c_str());
            return interrupts.ExitCode();
        }
    }
    if (served == 0) {
        std::fprintf(stderr, "%s: no download completed\n", shownHost.c_str());
        return kExitTransfer;
    }
    std::fprintf(stderr, "%s: served %d complete download%s\n", shownHost.c_str(), served,
                 served == 1 ? "" : "s");
    return kExitComplete;
}

} // namespace

Command AddRescue(CLI::App& program) {
    CLI::App* command = program.add_subcommand(
        "rescue", "serve a device left without firmware its image again, for as long as it asks");
    auto o = std::make_shared<RescueArgs>();
    command->add_option("HOST", o->host, "the device's name or address")->required()->check(HostName());
    AddImageOptions(*command, o->image);
    cmdline::AddNumber<std::uint16_t>(*command, "--tftp-port,--port", o->port, 1, 65535, "a port number",
                                      "UDP port to serve on (default 69, where the device asks;\n"
                                      "it needs root or 'setcap cap_net_bind_service=+ep' on this binary)")
        ->type_name("N");
    cmdline::AddNumber(*command, "--quiet-end", o->quietEnd, 0, 86400, "a number of seconds",
                       "end S seconds after a complete download if the device has not\n"
                       "asked again (default 60)")
        ->type_name("S");
    command->add_flag("--trace", o->trace, "print the server's trace lines on standard output");
    command->add_flag("--tftp-no-options", o->noOptions, kTftpNoOptionsHelp);
    command->footer(kRescueFooter);
    return {command, [o] { return Rescue(*o); }};
}

} // namespace skelvo::cli
