#include "cli/upgrade.h"

#include "engine/trace.h"

#include <algorithm>
#include <cstdio>

namespace skelvo::cli {

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

void ReportRetry(const HostResult& r, int retries, std::chrono::milliseconds delay, AuditLog& audit,
                 bool json, const std::function<void(const std::string&)>& say) {
    HostResult record = r;
    record.retryInMs = delay.count();
    audit.Write(record);
    if (json)
        JsonLine()
            .Add("event", "retry")
            .Add("host", r.host)
            .Add("attempt", r.attempt)
            .Add("retries", retries)
            .Add("after", r.result)
            .Add("exit_code", r.exitCode)
            .Add("delay_ms", static_cast<long long>(delay.count()))
            .Write(stdout);
    char text[160];
    std::snprintf(text, sizeof text,
                  "%s; no upgrade command was taken, trying again in %.0f s (retry %d of %d)",
                  r.result.c_str(), static_cast<double>(delay.count()) / 1000.0, r.attempt, retries);
    say(text);
}

} // namespace skelvo::cli
