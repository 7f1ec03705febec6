#include "devsim/cli_options.h"

#include <atomic>
#include <charconv>
#include <csignal>
#include <cstdio>
#include <thread>

namespace devsim {
namespace {

volatile std::sig_atomic_t g_signalled = 0;

extern "C" void OnSignal(int) {
    g_signalled = 1;
}

template <typename T> bool Number(const std::string& text, T& out) {
    auto [p, ec] = std::from_chars(text.data(), text.data() + text.size(), out);
    return ec == std::errc() && p == text.data() + text.size();
}

bool Seconds(const std::string& text, std::chrono::milliseconds& out) {
    double s = 0;
    auto [p, ec] = std::from_chars(text.data(), text.data() + text.size(), s);
    if (ec != std::errc() || p != text.data() + text.size() || s < 0 || s > 86400)
        return false;
    out = std::chrono::milliseconds(static_cast<long long>(s * 1000 + 0.5));
    return true;
}

} // namespace

std::string Usage() {
    return "usage: skelvo-devsim --model tolva21|tolva22|tolva|dravenholt|vintrosphere [options]\n"
           "\n"
           "A simulated device server: a web server that names the model and firmware in its Server\n"
           "line and takes the upgrade command GET /config?if=image&ih=ADDR[&id=1] (Basic login),\n"
           "and a TFTP client that then fetches the image from ADDR twice: to verify, and, after the\n"
           "erase wait, to program it. If the second download fails after the erase, the device\n"
           "has no firmware: its web server stays down and its boot loader asks the same server for\n"
           "\"image\" until one complete download of a good image programs it.\n"
           "\n"
           "options:\n"
           "  --firmware VERSION       version shown before any upgrade (1.0.8 or 6.2.0)\n"
           "  --address A              address of the web server and of the TFTP client (127.0.0.1)\n"
           "  --http-port N            web server port (80); 0 takes any free port\n"
           "  --tftp-port N            port the read requests go to (69)\n"
           "  --login L --password P   credentials of the upgrade command (root / marlin)\n"
           "  --erase-seconds S        erase wait between the downloads (3)\n"
           "  --reboot-seconds S       unreachable after programming (4)\n"
           "  --bootloader-retry-seconds S\n"
           "                           with the flash erased, between the boot loader's read\n"
           "                           requests (3)\n"
           "  --tftp-timeout-ms MS     TFTP client's wait before it repeats (2000)\n"
           "  --tftp-retries N         time-outs in a row before it gives up (5)\n"
           "  --tftp-dally-ms MS       stay after the last block to repeat its ACK (1000)\n"
           "  --accept-any-image       program an image without a trailer too\n"
           "  --once                   exit after one upgrade: 0 only if it succeeded, or if the\n"
           "                           boot loader has rescued the device it bricked\n"
           "  --report FILE            JSON record of requests and downloads\n"
           "  --ready-file FILE        write ADDR:PORT here once listening\n"
           "  --seed N                 seed of the drop faults (1)\n"
           "  --fault NAME[=VALUE]     a fault; repeat or separate by commas for several:\n" +
           FaultHelp() + "  --help                   this text\n";
}

bool ParseCommandLine(const std::vector<std::string>& args, CommandLine& out, std::string* error) {
    auto fail = [&](const std::string& why) {
        *error = why;
        return false;
    };
    Options& o = out.options;
    bool haveModel = false, haveLogin = false, havePassword = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        auto value = [&](std::string& v) {
            if (i + 1 >= args.size())
                return false;
            v = args[++i];
            return true;
        };
        std::string v;
        if (a == "--help" || a == "-h") {
            out.help = true;
        } else if (a == "--once") {
            out.once = true;
        } else if (a == "--accept-any-image") {
            o.acceptAnyImage = true;
        } else if (!a.starts_with("--")) {
            return fail("unexpected argument: " + a);
        } else if (!value(v)) {
            return fail(a + " needs a value");
        } else if (a == "--model") {
            auto m = ParseModel(v);
            if (!m)
                return fail("unknown model: " + v);
            o.model = *m;
            haveModel = true;
        } else if (a == "--firmware") {
            o.firmware = v;
        } else if (a == "--address") {
            auto ip = v == "0.0.0.0" ? std::optional<net::Ipv4>(net::kAnyAddress) : net::ParseIpv4(v);
            if (!ip)
                return fail("--address needs a dotted IPv4 address: " + v);
            o.address = *ip;
        } else if (a == "--http-port" || a == "--tftp-port") {
            std::uint16_t port = 0;
            if (!Number(v, port) || (a == "--tftp-port" && port == 0))
                return fail(a + " needs a port number: " + v);
            (a == "--http-port" ? o.httpPort : o.tftpPort) = port;
        } else if (a == "--login") {
            o.login = v;
            haveLogin = true;
        } else if (a == "--password") {
            o.password = v;
            havePassword = true;
        } else if (a == "--erase-seconds" || a == "--reboot-seconds") {
            if (!Seconds(v, a == "--erase-seconds" ? o.eraseTime : o.rebootTime))
                return fail(a + " needs seconds: " + v);
        } else if (a == "--bootloader-retry-seconds") {
            if (!Seconds(v, o.bootLoaderRetry))
                return fail(a + " needs seconds: " + v);
        } else if (a == "--tftp-timeout-ms" || a == "--tftp-dally-ms") {
            std::uint32_t ms = 0;
            if (!Number(v, ms) || (a == "--tftp-timeout-ms" && ms == 0))
                return fail(a + " needs milliseconds: " + v);
            (a == "--tftp-timeout-ms" ? o.tftp.timeout : o.tftp.dally) = std::chrono::milliseconds(ms);
        } else if (a == "--tftp-retries") {
            if (!Number(v, o.tftp.retries) || o.tftp.retries < 0)
                return fail(a + " needs a count: " + v);
        } else if (a == "--report") {
            o.reportFile = v;
        } else if (a == "--ready-file") {
            o.readyFile = v;
        } else if (a == "--seed") {
            if (!Number(v, o.seed))
                return fail("--seed needs a number: " + v);
        } else if (a == "--fault") {
            std::string_view rest = v;
            while (!rest.empty()) {
                std::string_view one = rest.substr(0, rest.find(','));
                rest.remove_prefix(std::min(rest.size(), one.size() + 1));
                std::string why;
                if (!ParseFault(one, o.faults, &why))
                    return fail(why);
            }
        } else {
            return fail("unknown option: " + a);
        }
    }
    if (out.help)
        return true;
    if (!haveModel)
        return fail("--model is required");
    if (haveLogin != havePassword)
        return fail("--login and --password go together");
    return true;
}

int RunDevsim(const std::vector<std::string>& args) {
    CommandLine cl;
    std::string why;
    if (!ParseCommandLine(args, cl, &why)) {
        std::fprintf(stderr, "skelvo-devsim: %s\n%s", why.c_str(), Usage().c_str());
        return 2;
    }
    if (cl.help) {
        std::fputs(Usage().c_str(), stdout);
        return 0;
    }
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
