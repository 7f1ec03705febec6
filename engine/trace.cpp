#include "engine/trace.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <optional>
#include <string>
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

TaggedTraceSink& Sink() {
    static TaggedTraceSink sink;
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

namespace {

// The whole message, or nothing when it cannot be formatted.
std::optional<std::string> Format(const char* format, std::va_list args) {
    char small[512];
    std::va_list copy;
    va_copy(copy, args);
    int n = std::vsnprintf(small, sizeof small, format, args);
    if (n < 0) {
        va_end(copy);
        return std::nullopt;
    }
    std::string text;
    if (static_cast<std::size_t>(n) < sizeof small) {
        text.assign(small, static_cast<std::size_t>(n));
    } else {
        text.resize(static_cast<std::size_t>(n) + 1);
        std::vsnprintf(text.data(), text.size(), format, copy);
        text.resize(static_cast<std::size_t>(n));
    }
    va_end(copy);
    return text;
}

thread_local ThreadTraceCapture* t_capture = nullptr;
thread_local const TaggedTraceSink* t_captureSink = nullptr;

void Write(std::string_view tag, std::string_view text) {
    if (t_captureSink != nullptr) {
        (*t_captureSink)(tag, text);
        return;
    }
    std::lock_guard<std::mutex> guard(TraceLock());
    if (Sink())
        Sink()(tag, text);
    else
        WriteStdout(tag.empty() ? std::string(text) : TagLines(tag, text));
}

} // namespace

void TraceMessage(const char* format, ...) {
    int saved = errno; // tracing must not change the error number the caller reports next
    std::va_list args;
    va_start(args, format);
    const std::optional<std::string> text = Format(format, args);
    va_end(args);
    if (text)
        Write({}, *text);
    errno = saved;
}

std::string TagLines(std::string_view tag, std::string_view text) {
    std::string tagged;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        end = end == std::string_view::npos ? text.size() : end + 1;
        if (end - start > 1 || text[start] != '\n')
            tagged += tag;
        tagged.append(text, start, end - start);
        start = end;
    }
    return tagged;
}

void TraceTagged(std::string_view tag, const char* format, ...) {
    int saved = errno;
    std::va_list args;
    va_start(args, format);
    const std::optional<std::string> text = Format(format, args);
    va_end(args);
    if (text)
        Write(tag, *text);
    errno = saved;
}

ThreadTraceCapture::ThreadTraceCapture(TaggedTraceSink sink) : m_sink(std::move(sink)), m_outer(t_capture) {
    t_capture = this;
    t_captureSink = &m_sink;
}

ThreadTraceCapture::~ThreadTraceCapture() {
    t_capture = m_outer;
    t_captureSink = m_outer != nullptr ? &m_outer->m_sink : nullptr;
}

void TraceWrite(std::string_view tag, std::string_view text) {
    Write(tag, text);
}

void SetTraceSink(TraceSink sink) {
    if (!sink)
        return SetTaggedTraceSink({});
    SetTaggedTraceSink([sink = std::move(sink)](std::string_view tag, std::string_view text) {
        if (tag.empty())
            sink(text);
        else
            sink(TagLines(tag, text));
    });
}

void SetTaggedTraceSink(TaggedTraceSink sink) {
    std::lock_guard<std::mutex> guard(TraceLock());
    Sink() = sink ? std::move(sink) : TaggedTraceSink([](std::string_view, std::string_view) {});
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
