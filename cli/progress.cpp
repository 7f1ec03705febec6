#include "cli/progress.h"

#include "engine/events.h"
#include "engine/messages.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#if defined(_WIN32)
#include <io.h>
#define SKELVO_ISATTY _isatty
#define SKELVO_FILENO _fileno
#else
#include <unistd.h>
#define SKELVO_ISATTY isatty
#define SKELVO_FILENO fileno
#endif

namespace skelvo::cli {
namespace {

constexpr auto kRedrawInterval = std::chrono::milliseconds(100);
constexpr int kBarWidth = 30;

std::string StepLabel(int code) {
    if (code == STATUS_COMPLETE)
        return "Done: both downloads served";
    std::string title = StepTitle(code);
    while (!title.empty() && (title.back() == '\n' || title.back() == ' '))
        title.pop_back();
    return title;
}

} // namespace

std::string ProgressBar(long long sent, long long total, int width) {
    long long percent = total > 0 ? std::clamp(sent * 100 / total, 0LL, 100LL) : (sent > 0 ? 100 : 0);
    int filled = static_cast<int>(percent * width / 100);
    std::string bar = "[";
    bar.append(static_cast<std::size_t>(filled), '#');
    bar.append(static_cast<std::size_t>(width - filled), '.');
    bar.append("] ");
    std::string p = std::to_string(percent);
    bar.append(3 - std::min<std::size_t>(3, p.size()), ' ');
    bar.append(p);
    bar.push_back('%');
    return bar;
}

std::string RateAndTimeLeft(long long bytes, std::chrono::steady_clock::duration elapsed, long long left) {
    const double seconds = std::chrono::duration<double>(elapsed).count();
    if (bytes <= 0 || seconds < 0.25)
        return {};
    const double rate = static_cast<double>(bytes) / seconds;
    char text[64];
    if (rate >= 1024.0 * 1024.0)
        std::snprintf(text, sizeof text, "%.1f MiB/s", rate / (1024.0 * 1024.0));
    else
        std::snprintf(text, sizeof text, "%.0f KiB/s", rate / 1024.0);
    std::string out = text;
    if (left > 0) {
        const long long remaining = static_cast<long long>(std::ceil(static_cast<double>(left) / rate));
        if (remaining >= 3600)
            std::snprintf(text, sizeof text, ", %lld:%02lld:%02lld left", remaining / 3600,
                          remaining / 60 % 60, remaining % 60);
        else
            std::snprintf(text, sizeof text, ", %lld:%02lld left", remaining / 60, remaining % 60);
        out += text;
    }
    return out;
}

ProgressDisplay::ProgressDisplay(std::FILE* out, bool enabled, std::function<Clock::time_point()> now)
    : m_out(out), m_enabled(enabled && out != nullptr),
      m_now(now ? std::move(now) : [] { return Clock::now(); }) {}

ProgressDisplay::~ProgressDisplay() {
    Finish();
}

bool ProgressDisplay::IsTerminal(std::FILE* out) {
    return out != nullptr && SKELVO_ISATTY(SKELVO_FILENO(out)) != 0;
}

void ProgressDisplay::OnStatus(int code, const void* info) {
    switch (code) {
    case STATUS_COMMAND_ACCEPTED:
    case STATUS_VERIFYING:
    case STATUS_ERASING:
    case STATUS_PROGRAMMING:
    case STATUS_COMPLETE:
        Step(StepLabel(code));
        break;
    case STATUS_PROGRESS:
        if (info != nullptr) {
            const auto* p = static_cast<const ProgressInfo*>(info);
            Progress(p->Sent, p->Total);
        }
        break;
    default:
        break;
    }
}

void ProgressDisplay::Step(std::string_view title) {
    std::lock_guard<std::mutex> guard(m_lock);
    if (!m_enabled)
        return;
    if (m_lineOpen)
        std::fputc('\n', m_out);
    m_lineOpen = false;
    m_title.assign(title);
    m_sent = 0;
    m_total = 0;
    m_hasBar = false;
    // The title has a line of its own, so that the bar line below it fits a narrow terminal.
    std::fputs((m_title + "\n").c_str(), m_out);
    std::fflush(m_out);
}

void ProgressDisplay::Progress(long long sent, long long total) {
    std::lock_guard<std::mutex> guard(m_lock);
    if (!m_enabled)
        return;
    bool first = !m_hasBar;
    if (first) {
        m_firstAt = m_now();
        m_firstSent = sent;
    }
    m_sent = sent;
    m_total = total;
    m_hasBar = true;
    Draw(first || sent >= total);
}

void ProgressDisplay::Finish() {
    std::lock_guard<std::mutex> guard(m_lock);
    if (m_enabled && m_lineOpen) {
        std::fputc('\n', m_out);
        std::fflush(m_out);
    }
    m_lineOpen = false;
}

int ProgressDisplay::Redraws() const {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_redraws;
}

void ProgressDisplay::Draw(bool force) {
    Clock::time_point now = m_now();
    if (!force && m_lineOpen && now - m_lastDraw < kRedrawInterval)
        return;
    m_lastDraw = now;
    ++m_redraws;
    // "\r" and erase-to-end-of-line redraw the same terminal line.
    std::string line = "\r\x1b[K  " + ProgressBar(m_sent, m_total, kBarWidth) + "  " +
                       std::to_string(std::min(m_sent, m_total)) + "/" + std::to_string(m_total) + " bytes";
    if (const std::string rate =
            RateAndTimeLeft(m_sent - m_firstSent, now - m_firstAt, std::max(0LL, m_total - m_sent));
        !rate.empty())
        line += "  " + rate;
    std::fputs(line.c_str(), m_out);
    std::fflush(m_out);
    m_lineOpen = true;
}

} // namespace skelvo::cli
