#include "cli/terminal_confirm.h"

#include <cctype>
#include <string>

#if defined(_WIN32)
#include <io.h>
#else
#include <cerrno>
#include <poll.h>
#endif

namespace skelvo::cli {
namespace {

std::string Lower(std::string text) {
    for (char& c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

std::string Trim(const std::string& text) {
    std::size_t b = text.find_first_not_of(" \t\r\n");
    if (b == std::string::npos)
        return {};
    std::size_t e = text.find_last_not_of(" \t\r\n");
    return text.substr(b, e - b + 1);
}

} // namespace

ConfirmAnswer ReadAnswer(std::FILE* in, std::FILE* out, const std::function<bool()>& waitForLine) {
    for (int attempt = 0; attempt < 3; ++attempt) {
        std::fputs("[y]es / [n]o / [C]ancel: ", out);
        std::fflush(out);
        if (waitForLine && !waitForLine()) {
            std::fputs("\n", out);
            return ConfirmAnswer::Cancel;
        }
        char line[128];
        if (std::fgets(line, sizeof line, in) == nullptr) {
            std::fputs("\n", out);
            return ConfirmAnswer::Cancel;
        }
        std::string answer = Lower(Trim(line));
        if (answer == "y" || answer == "yes")
            return ConfirmAnswer::Yes;
        if (answer == "n" || answer == "no")
            return ConfirmAnswer::No;
        if (answer.empty() || answer == "c" || answer == "cancel")
            return ConfirmAnswer::Cancel;
        std::fputs("Please answer yes, no or cancel.\n", out);
    }
    return ConfirmAnswer::Cancel;
}

#if defined(_WIN32)

bool HaveTerminal() {
    return _isatty(_fileno(stdin)) != 0;
}

ConfirmAnswer AskOnTerminal(const ConfirmQuestion& q, const std::function<bool()>& interrupted) {
    if (!HaveTerminal())
        return ConfirmAnswer::Cancel;
    std::fprintf(stderr, "\n%s\n\n%s\n\n", q.title.c_str(), q.text.c_str());
    // Ctrl-C ends a console read with nothing read, which is Cancel; the caller tells it apart.
    ConfirmAnswer answer = ReadAnswer(stdin, stderr);
    return interrupted && interrupted() ? ConfirmAnswer::Cancel : answer;
}

#else

bool HaveTerminal() {
    std::FILE* tty = std::fopen("/dev/tty", "r+");
    if (tty == nullptr)
        return false;
    std::fclose(tty);
    return true;
}

ConfirmAnswer AskOnTerminal(const ConfirmQuestion& q, const std::function<bool()>& interrupted) {
    // The terminal itself, not standard input, which may carry the password or be a pipe.
    std::FILE* in = std::fopen("/dev/tty", "r");
    if (in == nullptr)
        return ConfirmAnswer::Cancel;
    std::FILE* out = std::fopen("/dev/tty", "w");
    if (out == nullptr) {
        std::fclose(in);
        return ConfirmAnswer::Cancel;
    }
    std::fprintf(out, "\n%s\n\n%s\n\n", q.title.c_str(), q.text.c_str());
    // Signals restart interrupted reads, so the line is read only once the terminal has one (in
    // canonical mode a read returns one whole line), and the wait looks at the signal flag.
    auto waitForLine = [&]() {
        pollfd p{};
        p.fd = fileno(in);
        p.events = POLLIN;
        for (;;) {
            if (interrupted && interrupted())
                return false;
            const int rc = ::poll(&p, 1, 100);
            if (rc > 0)
                return !(interrupted && interrupted());
            if (rc < 0 && errno != EINTR)
                return true; // let the read report it
        }
    };
    ConfirmAnswer answer = ReadAnswer(in, out, waitForLine);
    std::fclose(out);
    std::fclose(in);
    return answer;
}

#endif

} // namespace skelvo::cli
