#include "cli/cli.h"
#include "cli/commands.h"
#include "cli/device_cli.h"
#include "cli/image_choice.h"
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
#include <optional>
#include <string>
#include <string_view>

namespace skelvo::cli {
namespace {

constexpr char kServeFooter[] =
    "Serves one firmware image by TFTP as a device expects it during an upgrade: the file\n"
    "\"image\" in mode \"octet\", twice. The first download lets the device verify the image; the\n"
    "second, after the device has erased its flash, lets it program the image. The command ends\n"
    "after the second download. Use it for a device that is told to fetch its image from its own\n"
    "console; 'skelvo-cli upgrade' also sends the device its command.\n"
    "\n"
    "Standard error shows the serving port, then the current step and a progress bar when it is\n"
    "a terminal. A DATA packet that is not acknowledged is sent again after a time-out that\n"
    "follows the measured round-trip time (1 s at first, at least 20 ms, at most 2 s); a transfer\n"
    "fails after 47 s without progress.\n"
    "\n"
    "A client that asks for TFTP options (RFC 2347: blksize, tsize, timeout, windowsize) gets them\n"
    "answered with an OACK, within what the path carries; --tftp-no-options serves every request\n"
    "as a plain one, in 512-byte blocks.\n"
    "\n"
    "exit status:\n"
    "  0  both downloads were served (STATUS_COMPLETE)\n"
    "  1  the image could not be loaded, the port could not be bound, or a download failed\n"
    "     (the error's text is printed)\n"
    "  2  the command line is wrong\n";

struct ServeArgs {
    ImageChoice image;
    std::uint16_t port = kTftpPort;
    bool trace = false;
    std::optional<net::Ipv4> client;
    int programmingWait = 120;
    bool noOptions = false;
};

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

int Serve(const ServeArgs& opts) {
    if (std::string problem = ImageChoiceProblem(opts.image); !problem.empty())
        return cmdline::UsageError("skelvo-cli serve", problem);
    if (!opts.trace)
        SetTraceSink(nullptr);

    ProgressDisplay display(stderr, ProgressDisplay::IsTerminal(stderr));
    ServeState state;
    state.display = &display;
    g_state = &state;
    RegisterTftpCallbacks(&CheckFilename, &ReadImageBlock, nullptr, &OnServeError, &OnServeStatus);

    const std::optional<std::string> what = SelectImageChoice(opts.image);
    if (!what) {
        std::fprintf(stderr, "skelvo-cli serve: cannot read the image file \"%s\"\n",
                     PrintableText(*opts.image.file).c_str());
        g_state = nullptr;
        return kExitOther;
    }

    TftpServerOptions options;
    options.port = opts.port;
    options.expectedClient = opts.client;
    options.programmingWait = std::chrono::seconds(opts.programmingWait);
    options.negotiateOptions = !opts.noOptions;
    TftpSocket socket = OpenTftpSocket(options);
    if (!socket) {
        int error = net::LastError();
        PrintError(state.lastError);
        if (std::string hint = TftpPortHint(opts.port, error); !hint.empty())
            std::fprintf(stderr, "skelvo-cli serve: %s\n", hint.c_str());
        g_state = nullptr;
        return kExitOther;
    }
    state.lastError = 0;
    options.onBound = [&what, &opts](std::uint16_t port) {
        std::string from = opts.client ? " from " + opts.client->ToString() : std::string();
        std::fprintf(stderr, "skelvo-cli serve: serving %s on UDP port %u; waiting for two downloads%s\n",
                     what->c_str(), static_cast<unsigned>(port), from.c_str());
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
        return kExitComplete;
    }
    if (state.lastError != 0)
        PrintError(state.lastError);
    else
        std::fprintf(stderr, "skelvo-cli serve: the TFTP server stopped: receiving a request failed\n");
    return kExitOther;
}

} // namespace

Command AddServe(CLI::App& program) {
    CLI::App* command =
        program.add_subcommand("serve", "serve an image to a device by TFTP, twice (verify, then program)");
    auto o = std::make_shared<ServeArgs>();
    AddImageOptions(*command, o->image);
    cmdline::AddNumber<std::uint16_t>(*command, "--port", o->port, 0, 65535, "a port number",
                                      "UDP port to serve on (default 69; 0 picks a free port). Port 69\n"
                                      "needs root or 'setcap cap_net_bind_service=+ep' on this binary")
        ->type_name("N");
    command->add_flag("--trace", o->trace, "print the server's trace lines on standard output");
    command
        ->add_option_function<std::string>(
            "--client", [o](const std::string& text) { o->client = net::ParseIpv4(text); },
            "accept requests only from this IPv4 address (the device);\n"
            "datagrams from other hosts are ignored and use up no download")
        ->type_name("ADDR")
        ->check(CLI::Validator(
            [](const std::string& text) {
                return net::ParseIpv4(text) ? std::string()
                                            : "needs a dotted IPv4 address such as 192.168.1.20";
            },
            "", "ipv4"));
    cmdline::AddNumber(*command, "--programming-wait", o->programmingWait, 0, 86400, "a number of seconds",
                       "after the first download, wait at most S seconds for the second\n"
                       "(default 120; the device erases its flash first; 0 waits without limit)")
        ->type_name("S");
    command->add_flag("--tftp-no-options", o->noOptions, kTftpNoOptionsHelp);
    command->footer(kServeFooter);
    return {command, [o] { return Serve(*o); }};
}

} // namespace skelvo::cli
