#include "cli/rescue.h"

#include "engine/upgrade_record.h"
#include "tftp/tftp_server.h"

#include <filesystem>
#include <system_error>

namespace skelvo::cli {

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
                              std::uint16_t tftpPort) {
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
    return line;
}

} // namespace skelvo::cli
