#include "cli/cli.h"
#include "cli/commands.h"
#include "cli/device_cli.h"
#include "cli/interrupt.h"
#include "cli/progress.h"
#include "cli/rescue.h"

#include "engine/events.h"
#include "engine/messages.h"
#include "engine/trace.h"
#include "engine/upgrade_record.h"
#include "net/net.h"
#include "tftp/tftp_callbacks.h"
#include "tftp/tftp_server.h"

#include <chrono>
#include <cstdio>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

namespace skelvo::cli {
namespace {

constexpr char kRescueHelp[] =
    "usage: skelvo-cli rescue HOST (--builtin tolva21|tolva22|dravenholt | --image FILE)\n"
    "                         [--tftp-port N] [--quiet-end S] [--trace]\n"
    "\n"
    "Serves a device whose programming download failed its image again. With its flash erased,\n"
    "its boot loader keeps asking for the file \"image\" by TFTP; this command answers HOST alone,\n"
    "as often as it asks, and ends once a download has completed and the device has not asked\n"
    "again for S seconds, or on Ctrl-C. 'skelvo-cli upgrade' prints this command, complete, when it\n"
    "leaves a device that may be in that state.\n"
    "\n"
    "options:\n"
    "  --builtin NAME    serve a built-in image: tolva21 (Tolva 21xx and generic Tolva),\n"
    "                    tolva22 (Tolva 22xx) or dravenholt (Dravenholt II)\n"
    "  --image FILE      serve this file, unchanged and unchecked\n"
    "  --tftp-port N     UDP port to serve on (default 69, where the device asks; it needs root or\n"
    "                    'setcap cap_net_bind_service=+ep' on this binary)\n"
    "  --quiet-end S     end S seconds after a complete download if the device has not asked\n"
    "                    again (default 60)\n"
    "  --trace           print the server's trace lines on standard output\n"
    "  --help            show this text\n"
    "\n"
    "Standard error shows each download, with a progress bar on a terminal.\n"
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
    std::optional<std::string> imageFile;
    std::optional<int> builtin;
    std::string builtinName;
    std::uint16_t port = kTftpPort;
    int quietEnd = kDefaultQuietEnd;
    bool trace = false;
    bool help = false;
};

// Returns an error text, empty when the arguments are good.
std::string ParseRescueArgs(std::span<char*> args, RescueArgs& out) {
    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string_view arg = args[i];
        auto value = [&]() -> std::optional<std::string_view> {
            if (i + 1 >= args.size())
                return std::nullopt;
            return std::string_view(args[++i]);
        };
        if (arg == "--help" || arg == "-h") {
            out.help = true;
        } else if (arg == "--trace") {
            out.trace = true;
        } else if (arg == "--image") {
            auto v = value();
            if (!v || v->empty())
                return "--image needs a file name";
            out.imageFile = std::string(*v);
        } else if (arg == "--builtin") {
            auto v = value();
            out.builtin = v ? BuiltinImageType(*v) : std::nullopt;
            if (!out.builtin)
                return "--builtin needs one of tolva21, tolva22, dravenholt";
            out.builtinName = *v;
        } else if (arg == "--tftp-port" || arg == "--port") {
            auto v = value();
            auto port = v ? ParsePort(*v) : std::nullopt;
            if (!port)
                return std::string(arg) + " needs a port number from 1 to 65535";
            out.port = *port;
        } else if (arg == "--quiet-end") {
            auto v = value();
            auto seconds = v ? ParseSeconds(*v) : std::nullopt;
            if (!seconds)
                return "--quiet-end needs a number of seconds from 0 to 86400";
            out.quietEnd = *seconds;
        } else if (arg.starts_with("-") && arg.size() > 1) {
            return "unknown option \"" + std::string(arg) + "\"";
        } else if (!out.host.empty()) {
            return "one HOST only";
        } else {
            if (arg.empty())
                return "an empty host name";
            out.host = arg;
        }
    }
    if (out.help)
        return {};
    if (out.host.empty())
        return "no HOST given";
    if (out.imageFile && out.builtin)
        return "give either --image or --builtin, not both";
    if (!out.imageFile && !out.builtin)
        return "give the image to serve with --builtin NAME or --image FILE";
    return {};
}

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

} // namespace

int RunRescue(std::span<char*> args) {
    RescueArgs opts;
    std::string problem = ParseRescueArgs(args, opts);
    if (!problem.empty()) {
        std::fprintf(stderr, "skelvo-cli rescue: %s\n(see 'skelvo-cli rescue --help')\n", problem.c_str());
        return kExitBadUsage;
    }
    if (opts.help) {
        std::fputs(kRescueHelp, stdout);
        return kExitOk;
    }
    RouteTrace(opts.trace, false);
    const std::string shownHost = PrintableText(opts.host);

    std::string what;
    if (opts.imageFile) {
        SetImageFilename(*opts.imageFile);
        if (LoadImageFile(opts.imageFile->c_str()) == 0) {
            std::fprintf(stderr, "skelvo-cli rescue: cannot read the image file \"%s\"\n",
                         PrintableText(*opts.imageFile).c_str());
            return kExitBadUsage;
        }
        SetImageToUse(SERVER_USER_FILE);
        what = "\"" + PrintableText(*opts.imageFile) + "\" (" +
               std::to_string(g_TftpConfigData.FileImage.Size) + " bytes)";
    } else {
        SetImageToUse(*opts.builtin);
        const ImageDescriptor* image = nullptr;
        SelectImage(*opts.builtin, &image);
        what = "the built-in " + opts.builtinName + " image, version " + PresentedVersion(*opts.builtin) +
               " (" + std::to_string(image != nullptr ? image->Size : 0) + " bytes)";
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
        state.Say("serving " + what + " to " + address->ToString() + " on UDP port " + std::to_string(port) +
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
    return kExitOk;
}

} // namespace skelvo::cli
