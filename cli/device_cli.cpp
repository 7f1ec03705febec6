#include "cli/device_cli.h"

#include "engine/trace.h"
#include "engine/upgrade_record.h"
#include "tftp/tftp_callbacks.h"
#include "tftp/tftp_server.h"

#if defined(_WIN32)
#include <winsock2.h>
#endif

#include <cerrno>
#include <ctime>
#include <fstream>
#include <iostream>

namespace skelvo::cli {

const char kExitCodeHelp[] = "exit codes:\n"
                             "   0  the upgrade is complete (probe: the device type is known)\n"
                             "   1  another failure\n"
                             "   2  usage error or bad input\n"
                             "   3  the TFTP port cannot be bound\n"
                             "   4  the device cannot be resolved, reached or read over HTTP\n"
                             "   5  the device names no known server type\n"
                             "   6  the device rejected the login\n"
                             "   7  the device never asked for the image\n"
                             "   8  the image transfer failed\n"
                             "   9  the device did not come back with the new version (--verify-reboot,\n"
                             "      or after a programming download whose end it never acknowledged)\n"
                             "  10  the upgrade was not confirmed\n"
                             "  11  the device verified the image but did not ask for it again, and\n"
                             "      no longer answers: it may have failed while erasing\n"
                             "  12  the device rejected the image: it did not ask for it again and still\n"
                             "      answers with its old version (its flash is intact)\n"
                             "  13  the device refused the upgrade command (an HTTP status 4xx or 5xx)\n"
                             "  14  the device runs a newer version than the image (see --allow-older)\n"
                             "  15  the device's version cannot be read (see --allow-reinstall, --force)\n"
                             "  16  the journal holds an upgrade of the device that did not end: run\n"
                             "      'skelvo-cli recover' (or give --force)\n"
                             " 130  interrupted (SIGINT; 143 SIGTERM, 129 SIGHUP): before the upgrade\n"
                             "      command nothing more is sent; after it, the first signal lets the\n"
                             "      upgrade finish and a second abandons the device\n"
                             "A device already at the image's version is left alone, and that counts\n"
                             "as success. With several hosts the code is that of the first host (in\n"
                             "the order given) that failed; 0 when every one is complete or up to date.\n";

namespace {

std::string FirstLine(std::istream& in) {
    std::string line;
    std::getline(in, line);
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    return line;
}

} // namespace

std::optional<std::string> ReadPassword(const PasswordSource& source, std::string& error) {
    std::string password;
    if (source.fromStdin && !source.file.empty()) {
        error = "--password-stdin and --password-file exclude each other";
        return std::nullopt;
    }
    if (source.fromStdin) {
        if (!std::cin.good()) {
            error = "no password on standard input";
            return std::nullopt;
        }
        password = FirstLine(std::cin);
    } else if (!source.file.empty()) {
        std::ifstream in(source.file, std::ios::binary);
        if (!in) {
            error = "cannot read the password file \"" + source.file + "\"";
            return std::nullopt;
        }
        password = FirstLine(in);
    } else if (const char* env = std::getenv("SKELVO_PASSWORD")) {
        password = env;
    } else {
        password = kDefaultPassword;
    }
    if (password.size() >= kPasswordSize) {
        error = "the password is longer than " + std::to_string(kPasswordSize - 1) + " characters";
        return std::nullopt;
    }
    return password;
}

std::string OneLineText(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\n') {
            out += text[i];
        } else if (i == 0 || text[i - 1] != '\n') {
            out += ' ';
        }
    }
    return out;
}

std::string TftpPortHint(std::uint16_t port, int error) {
#if defined(_WIN32)
    const bool denied = error == WSAEACCES;
    const bool taken = error == WSAEADDRINUSE;
#else
    const bool denied = error == EACCES;
    const bool taken = error == EADDRINUSE;
#endif
    const std::string number = std::to_string(port);
    if (denied)
        return "UDP port " + number +
               " needs privilege: run as root, or grant it once with\n"
               "  setcap cap_net_bind_service=+ep <path of skelvo-cli>";
    if (taken)
        return "another program holds UDP port " + number;
    return {};
}

std::string PortFailure(std::uint16_t port, int error) {
    std::string text = "the TFTP port " + std::to_string(port) + " cannot be bound";
    if (std::string hint = TftpPortHint(port, error); !hint.empty())
        text += ": " + hint;
    return text;
}

void RouteTrace(bool show, bool json, const std::string& onlyHost) {
    if (!show) {
        SetTaggedTraceSink([](std::string_view, std::string_view) {});
    } else if (json) {
        SetTaggedTraceSink([onlyHost](std::string_view tag, std::string_view text) {
            // A tag is "host: ".
            std::string_view host = onlyHost.empty() ? tag : std::string_view(onlyHost);
            if (onlyHost.empty() && host.size() >= 2 && host.substr(host.size() - 2) == ": ")
                host.remove_suffix(2);
            JsonLine line;
            line.Add("event", "trace");
            if (!host.empty())
                line.Add("host", host);
            // As traced: a batch's lines with their host's tag.
            line.Add("text", onlyHost.empty() ? TagLines(tag, text) : std::string(text)).Write(stdout);
        });
    } else if (!onlyHost.empty()) {
        SetTaggedTraceSink([](std::string_view, std::string_view text) {
            std::fwrite(text.data(), 1, text.size(), stdout);
            std::fflush(stdout);
        });
    } else {
        ResetTraceSink();
    }
}

} // namespace skelvo::cli
