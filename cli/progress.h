// A terminal progress display on a stream (standard error): each step's title on a line of its
// own and below it one bar line, driven by the engine's status events and redrawn at most every
// 100 ms so that a fast transfer costs next to nothing.
#pragma once

#include <chrono>
#include <cstdio>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>

namespace skelvo::cli {

class ProgressDisplay {
  public:
    using Clock = std::chrono::steady_clock;

    // A disabled display draws nothing; `now` may replace the clock (tests).
    ProgressDisplay(std::FILE* out, bool enabled, std::function<Clock::time_point()> now = {});
    ~ProgressDisplay();
    ProgressDisplay(const ProgressDisplay&) = delete;
    ProgressDisplay& operator=(const ProgressDisplay&) = delete;

    // True when the stream is a terminal, the only case where a redrawn line makes sense.
    static bool IsTerminal(std::FILE* out);

    // Feeds one status event (code and payload as the handler receives them): step events start a
    // new line with their step title, STATUS_PROGRESS moves the bar, other codes are ignored.
    void OnStatus(int code, const void* info);
    // Begins a new step with this title and an empty bar.
    void Step(std::string_view title);
    // Moves the bar to sent of total bytes (sent may exceed total on the last block).
    void Progress(long long sent, long long total);
    // Ends the current line, if any, so that later text starts on a fresh one.
    void Finish();

    // How many times the line has been drawn (for tests of the throttle).
    int Redraws() const;

  private:
    void Draw(bool force);

    std::FILE* m_out;
    bool m_enabled;
    std::function<Clock::time_point()> m_now;
    mutable std::mutex m_lock;
    std::string m_title;
    long long m_sent = 0;
    long long m_total = 0;
    bool m_lineOpen = false;
    bool m_hasBar = false;
    Clock::time_point m_lastDraw{};
    // The pass's first progress event: the rate is measured from there.
    Clock::time_point m_firstAt{};
    long long m_firstSent = 0;
    int m_redraws = 0;
};

// The bar text alone, e.g. "[#######.............]  35%" (width characters between brackets).
std::string ProgressBar(long long sent, long long total, int width);

// The rate of bytes sent over elapsed and, before the end, the time left at that rate:
// "1.4 MiB/s, 0:07 left", "620 KiB/s" at the end; empty while too little has been measured.
std::string RateAndTimeLeft(long long bytes, std::chrono::steady_clock::duration elapsed, long long left);

} // namespace skelvo::cli
