#include "cli/cli.h"
#include "cli/commands.h"
#include "cli/device_cli.h"
#include "cli/progress.h"
#include "cli/rescue.h"

#include "engine/events.h"
#include "engine/messages.h"
#include "engine/trace.h"
#include "engine/upgrade_record.h"
#include "net/net.h"
#include "tftp/tftp_callbacks.h"
#include "tftp/tftp_server.h"

#include <charconv>
#include <chrono>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>

namespace skelvo::cli {
namespace {

constexpr char kServeHelp[] =
    "usage: skelvo-cli serve (--image FILE | --builtin tolva21|tolva22|dravenholt)\n"
    "                        [--port N] [--trace] [--client ADDR] [--programming-wait S]\n"
    "\n"
    "Serves one firmware image by TFTP as a device expects it during an upgrade: the file\n"
    "\"image\" in mode \"octet\", twice. The first download lets the device verify the image; the\n"
    "second, after the device has erased its flash, lets it program the image. The command ends\n"
    "after the second download. Use it for a device that is told to fetch its image from its own\n"
    "console; 'skelvo-cli upgrade' also sends the device its command.\n"
    "\n"
    "options:\n"
    "  --image FILE      serve this file, unchanged and unchecked\n"
    "  --builtin NAME    serve a built-in image: tolva21 (Tolva 21xx and generic Tolva),\n"
    "                    tolva22 (Tolva 22xx) or dravenholt (Dravenholt II)\n"
    "  --port N          UDP port to serve on (default 69; 0 picks a free port). Port 69 needs\n"
    "                    root or 'setcap cap_net_bind_service=+ep' on this binary\n"
    "  --trace           print the server's trace lines on standard output\n"
    "  --client ADDR     accept requests only from this IPv4 address (the device); datagrams\n"
    "                    from other hosts are ignored and use up no download\n"
    "  --programming-wait S\n"
    "                    after the first download, wait at most S seconds for the second\n"
    "                    (default 120; the device erases its flash first; 0 waits without limit)\n"
    "  --help            show this text\n"
    "\n"
    "Standard error shows the serving port, then the current step and a progress bar when it is\n"
    "a terminal. A DATA packet that is not acknowledged is sent again after a time-out that\n"
    "follows the measured round-trip time (1 s at first, at least 20 ms, at most 2 s); a transfer\n"
    "fails after 47 s without progress.\n"
    "\n"
    "exit status:\n"
    "  0  both downloads were served (STATUS_COMPLETE)\n"
    "  1  the image could not be loaded, the port could not be bound, or a download failed\n"
    "     (the error's text is printed)\n"
    "  2  the command line is wrong\n";

struct ServeArgs {
    std::optional<std::string> imageFile;
    std::optional<int> builtin; // a ServerType
    std::string builtinName;
    std::uint16_t port = kTftpPort;
    bool trace = false;
    std::optional<net::Ipv4> client;
    int programmingWait = 120;
    bool help = false;
};

std::optional<std::uint16_t> ParsePort(std::string_view text) {
    unsigned value = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc{} || end != text.data() + text.size() || text.empty() || value > 65535)
        return std::nullopt;
    return static_cast<std::uint16_t>(value);
}

// Returns an error text, empty when the arguments are good.
std::string ParseServeArgs(std::span<char*> args, ServeArgs& out) {
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
            if (!v)
                return "--builtin needs one of tolva21, tolva22, dravenholt";
            out.builtin = BuiltinImageType(*v);
            if (!out.builtin)
                return "unknown built-in image \"" + std::string(*v) +
                       "\" (use tolva21, tolva22 or dravenholt)";
            out.builtinName = *v;
        } else if (arg == "--port") {
            auto v = value();
            auto port = v ? ParsePort(*v) : std::nullopt;
            if (!port)
                return "--port needs a number from 0 to 65535";
            out.port = *port;
        } else if (arg == "--client") {
            auto v = value();
            auto ip = v ? net::ParseIpv4(*v) : std::nullopt;
            if (!ip)
                return "--client needs a dotted IPv4 address such as 192.168.1.20";
            out.client = ip;
        } else if (arg == "--programming-wait") {
            auto v = value();
            auto seconds = v ? ParseSeconds(*v) : std::nullopt;
            if (!seconds)
                return "--programming-wait needs a number of seconds from 0 to 86400";
            out.programmingWait = *seconds;
        } else {
            return "unknown option \"" + std::string(arg) + "\"";
        }
    }
    if (out.help)
        return {};
    if (out.imageFile && out.builtin)
        return "give either --image or --builtin, not both";
    if (!out.imageFile && !out.builtin)
        return "give the image to serve with --image FILE or --builtin NAME";
    return {};
}

// What the handlers learn, for the exit status. The worker runs on this thread, so the handlers
// are called here too.
struct ServeState {
    ProgressDisplay* display = nullptr;
    int lastError = 0;
    bool complete = false;
    bool confirmed = true;
};
ServeState* g_state = nullptr;

int OnServeError(int code, void*) {
    // A failed transfer raises its own event and then ERR_READ_REQUEST; the last one is what ended
    // the worker, as the dialog shows it.
    if (g_state != nullptr)
        g_state->lastError = code;
    return 1;
}

int OnServeStatus(int code, void* info) {
    if (g_state == nullptr)
        return 1;
    if (code == STATUS_COMPLETE) {
        g_state->complete = true;
        g_state->confirmed =
            info == nullptr || static_cast<const CompletionInfo*>(info)->FinalAckReceived != 0;
    }
    if (g_state->display != nullptr)
        g_state->display->OnStatus(code, info);
    return 1;
}

void PrintError(int code) {
    std::fprintf(stderr, "skelvo-cli serve: %s\n", ErrorText(code, GetHostName(), "").c_str());
}

} // namespace

int RunServe(std::span<char*> args) {
    ServeArgs opts;
    std::string problem = ParseServeArgs(args, opts);
    if (!problem.empty()) {
        std::fprintf(stderr, "skelvo-cli serve: %s\n(see 'skelvo-cli serve --help')\n", problem.c_str());
        return kExitUsage;
    }
    if (opts.help) {
        std::fputs(kServeHelp, stdout);
        return kExitOk;
    }
    if (!opts.trace)
        SetTraceSink(nullptr);

    ProgressDisplay display(stderr, ProgressDisplay::IsTerminal(stderr));
    ServeState state;
    state.display = &display;
    g_state = &state;
    RegisterTftpCallbacks(&CheckFilename, &ReadImageBlock, nullptr, &OnServeError, &OnServeStatus);

    std::string what;
    if (opts.imageFile) {
        SetImageFilename(*opts.imageFile);
        if (LoadImageFile(opts.imageFile->c_str()) == 0) {
            std::fprintf(stderr, "skelvo-cli serve: cannot read the image file \"%s\"\n",
                         opts.imageFile->c_str());
            g_state = nullptr;
            return kExitFailure;
        }
        SetImageToUse(SERVER_USER_FILE);
        what = "\"" + *opts.imageFile + "\" (" + std::to_string(g_TftpConfigData.FileImage.Size) + " bytes)";
    } else {
        SetImageToUse(*opts.builtin);
        const ImageDescriptor* image = nullptr;
        SelectImage(*opts.builtin, &image);
        what = "the built-in " + opts.builtinName + " image, version " + PresentedVersion(*opts.builtin) +
               " (" + std::to_string(image != nullptr ? image->Size : 0) + " bytes)";
    }

    TftpServerOptions options;
    options.port = opts.port;
    options.expectedClient = opts.client;
    options.programmingWait = std::chrono::seconds(opts.programmingWait);
    TftpSocket socket = OpenTftpSocket(options);
    if (!socket) {
        int error = net::LastError();
        PrintError(state.lastError);
        if (std::string hint = TftpPortHint(opts.port, error); !hint.empty())
            std::fprintf(stderr, "skelvo-cli serve: %s\n", hint.c_str());
        g_state = nullptr;
        return kExitFailure;
    }
    state.lastError = 0;
    options.onBound = [&what, &opts](std::uint16_t port) {
        std::string from = opts.client ? " from " + opts.client->ToString() : std::string();
        std::fprintf(stderr, "skelvo-cli serve: serving %s on UDP port %u; waiting for two downloads%s\n",
                     what.c_str(), static_cast<unsigned>(port), from.c_str());
        std::fflush(stderr);
    };

    int result = TftpServerThread(1, std::move(socket), options);
    display.Finish();
    g_state = nullptr;

    if (result == 1 && state.complete && state.lastError == 0) {
        std::fprintf(stderr, "skelvo-cli serve: both downloads served. %s\n", SuccessDescription().c_str());
        if (!state.confirmed)
            std::fprintf(stderr, "skelvo-cli serve: the last block of the second download was not "
                                 "acknowledged; the device very probably holds it all\n");
        return kExitOk;
    }
    if (state.lastError != 0)
        PrintError(state.lastError);
    else
        std::fprintf(stderr, "skelvo-cli serve: the TFTP server stopped: receiving a request failed\n");
    return kExitFailure;
}

} // namespace skelvo::cli
