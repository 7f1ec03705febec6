#include "engine/trace.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <vector>

#if defined(_WIN32)
#include <io.h>
#else
#include <unistd.h>
#endif

namespace {

std::mutex& TraceLock() {
    static std::mutex lock;
    return lock;
}

TraceSink& Sink() {
    static TraceSink sink;
    return sink;
}

void WriteStdout(std::string_view text) {
    const char* p = text.data();
    std::size_t left = text.size();
    while (left > 0) {
#if defined(_WIN32)
        int n = _write(1, p, static_cast<unsigned>(left));
#else
        ssize_t n = ::write(1, p, left);
#endif
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        p += n;
        left -= static_cast<std::size_t>(n);
    }
}

} // namespace

void TraceMessage(const char* format, ...) {
    int saved = errno; // tracing must not change the error number the caller reports next
    char small[512];
    std::va_list args;
    va_start(args, format);
    std::va_list copy;
    va_copy(copy, args);
    int n = std::vsnprintf(small, sizeof small, format, args);
    va_end(args);
    std::string text;
    if (n < 0) {
        va_end(copy);
        errno = saved;
        return;
    }
    if (static_cast<std::size_t>(n) < sizeof small) {
        text.assign(small, static_cast<std::size_t>(n));
    } else {
        text.resize(static_cast<std::size_t>(n) + 1);
        std::vsnprintf(text.data(), text.size(), format, copy);
        text.resize(static_cast<std::size_t>(n));
    }
    va_end(copy);
    {
        std::lock_guard<std::mutex> guard(TraceLock());
        if (Sink())
            Sink()(text);
        else
            WriteStdout(text);
    }
    errno = saved;
}

void SetTraceSink(TraceSink sink) {
    std::lock_guard<std::mutex> guard(TraceLock());
    Sink() = sink ? std::move(sink) : TraceSink([](std::string_view) {});
}

void ResetTraceSink() {
    std::lock_guard<std::mutex> guard(TraceLock());
    Sink() = nullptr;
}

std::string PrintableText(std::span<const unsigned char> bytes) {
    static const char kHex[] = "0123456789abcdef";
    std::string out;
    out.reserve(bytes.size());
    for (unsigned char c : bytes) {
        if (c == 0)
            break;
        if (c >= 0x20 && c < 0x7F) {
            out.push_back(static_cast<char>(c));
        } else {
            out += "\\x";
            out.push_back(kHex[c >> 4]);
            out.push_back(kHex[c & 0xF]);
        }
    }
    return out;
}

std::string PrintableText(std::string_view text) {
    return PrintableText(
        std::span<const unsigned char>(reinterpret_cast<const unsigned char*>(text.data()), text.size()));
}
