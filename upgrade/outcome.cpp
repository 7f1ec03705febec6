#include "upgrade/outcome.h"

#include "engine/upgrade_record.h"
#include "tftp/tftp_server.h"

#include <algorithm>
#include <filesystem>
#include <system_error>

namespace skelvo::upgrade {

const char* SignalName(int signal) {
    switch (signal) {
    case kSignalHangUp:
        return "SIGHUP";
    case kSignalInterrupt:
        return "SIGINT";
    case kSignalTerminate:
        return "SIGTERM";
    default:
        return "signal";
    }
}

const char* ResultName(int exitCode) {
    switch (exitCode) {
    case kExitComplete:
        return "complete";
    case kExitPort:
        return "tftp-port-unavailable";
    case kExitUnreachable:
        return "unreachable";
    case kExitUnknownType:
        return "unknown-server-type";
    case kExitLogin:
        return "login-rejected";
    case kExitNotFetched:
        return "image-never-fetched";
    case kExitTransfer:
        return "transfer-failed";
    case kExitReboot:
        return "reboot-check-failed";
    case kExitNotConfirmed:
        return "not-confirmed";
    case kExitNoProgrammingRequest:
        return "no-programming-request";
    case kExitImageRejected:
        return "image-rejected";
    case kExitCommandRefused:
        return "command-refused";
    case kExitBadUsage:
        return "bad-input";
    case kExitRefusedNewer:
        return "refused-newer";
    case kExitRefusedUnreadable:
        return "refused-unreadable";
    case kExitUnended:
        return "journal-unended";
    default:
        return "failed";
    }
}

const char* PhaseName(Phase phase) {
    switch (phase) {
    case Phase::NotStarted:
        return "not-started";
    case Phase::Probe:
        return "probe";
    case Phase::Confirmation:
        return "confirmation";
    case Phase::Command:
        return "command";
    case Phase::Verify:
        return "verify";
    case Phase::Erase:
        return "erase";
    case Phase::Program:
        return "program";
    case Phase::RebootCheck:
        return "reboot-check";
    }
    return "?";
}

bool Retryable(const HostResult& r) {
    if (r.commanded)
        return false;
    if (r.exitCode == kExitUnreachable)
        return true;
    // A 5xx status says the device could not take the command now; a 4xx says it never will.
    return r.exitCode == kExitCommandRefused && r.commandStatus && r.commandStatus->rfind('5', 0) == 0;
}

std::chrono::milliseconds RetryDelay(int attempt) {
    constexpr std::chrono::milliseconds first{1000};
    constexpr std::chrono::milliseconds longest{60000};
    std::chrono::milliseconds delay = first;
    for (int i = 1; i < attempt && delay < longest; ++i)
        delay *= 2;
    return std::min(delay, longest);
}

const char* ModelName(int serverType) {
    switch (serverType) {
    case SERVER_TOLVA:
        return "Tolva (other model)";
    case SERVER_DRAVENHOLT:
        return "Dravenholt II";
    case SERVER_TOLVA_21XX:
        return "Tolva 21xx";
    case SERVER_TOLVA_22XX:
        return "Tolva 22xx";
    case SERVER_USER_FILE:
        return "user file";
    default:
        return "unknown";
    }
}

const char* BuiltinImageName(int serverType) {
    switch (serverType) {
    case SERVER_TOLVA:
    case SERVER_TOLVA_21XX:
        return "tolva21";
    case SERVER_TOLVA_22XX:
        return "tolva22";
    case SERVER_DRAVENHOLT:
        return "dravenholt";
    default:
        return nullptr;
    }
}

std::optional<int> BuiltinImageType(std::string_view name) {
    if (name == "tolva21")
        return SERVER_TOLVA_21XX;
    if (name == "tolva22")
        return SERVER_TOLVA_22XX;
    if (name == "dravenholt")
        return SERVER_DRAVENHOLT;
    return std::nullopt;
}

std::string ShellQuote(std::string_view word) {
    auto plain = [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
               std::string_view("-_./:@%+=,").find(c) != std::string_view::npos;
    };
    bool needsQuotes = word.empty();
    for (char c : word)
        needsQuotes = needsQuotes || !plain(c);
    if (!needsQuotes)
        return std::string(word);
#if defined(_WIN32)
    std::string out = "\"";
    for (char c : word) {
        if (c == '"')
            out += '\\';
        out += c;
    }
    return out + "\"";
#else
    // Inside single quotes nothing is special but the quote itself, which closes, is escaped and
    // reopens.
    std::string out = "'";
    for (char c : word) {
        if (c == '\'')
            out += "'\\''";
        else
            out += c;
    }
    return out + "'";
#endif
}

std::string RescueCommandLine(std::string_view host, int imageToUse, std::string_view imageFile,
                              std::uint16_t tftpPort, bool noOptions) {
    std::string line = "skelvo-cli rescue " + ShellQuote(host);
    if (const char* builtin = BuiltinImageName(imageToUse)) {
        line += " --builtin ";
        line += builtin;
    } else {
        std::error_code error;
        std::filesystem::path path(imageFile);
        std::filesystem::path absolute = std::filesystem::absolute(path, error);
        line += " --image " + ShellQuote(error ? path.string() : absolute.lexically_normal().string());
    }
    if (tftpPort != kTftpPort)
        line += " --tftp-port " + std::to_string(tftpPort);
    if (noOptions)
        line += " --tftp-no-options";
    return line;
}

} // namespace skelvo::upgrade
