#include "cli/interrupt.h"
#include "cli/upgrade.h"

#include "engine/messages.h"
#include "engine/trace.h"
#include "tftp/tftp_callbacks.h"

#include <algorithm>
#include <cstdio>

namespace skelvo::cli {

int StepNumber(int statusCode) {
    switch (statusCode) {
    case STATUS_COMMAND_ACCEPTED:
        return 2;
    case STATUS_VERIFYING:
        return 3;
    case STATUS_ERASING:
        return 4;
    case STATUS_PROGRAMMING:
        return 5;
    default:
        return 0;
    }
}

void WriteStepOneLine(const std::string& host) {
    JsonLine()
        .Add("event", "status")
        .Add("host", host)
        .Add("step", 1)
        .Add("title", kStep1Title)
        .Write(stdout);
}

void WriteEventLine(const std::string& host, const DeviceEvent& e, int imageToUse, const std::string& login) {
    JsonLine line;
    line.Add("event", e.error ? "error" : "status").Add("host", host).Add("code", e.code);
    line.Add("name", e.error ? ErrorName(e.code) : StatusName(e.code));
    if (e.error) {
        line.Add("text", ErrorText(e.code, host, login));
        if (e.replyWarning)
            line.Add("warning", true);
        else if (!e.detail.empty())
            line.Add("detail", e.detail);
    } else if (e.code == STATUS_PROGRESS) {
        line.Add("sent", e.sent).Add("total", e.total).Add("percent", ProgressPosition(e.sent, e.total));
    } else if (int step = StepNumber(e.code)) {
        line.Add("step", step).Add("title", TrimEnd(StepTitle(e.code, PresentedVersion(imageToUse))));
    } else if (e.code == STATUS_COMPLETE) {
        line.Add("title", TrimEnd(SuccessTitle(host, PresentedVersion(imageToUse))));
        line.Add("final_ack", !e.unconfirmed);
        if (e.unconfirmed)
            line.Add("note", UnconfirmedEndNote());
    }
    line.Write(stdout);
}

void WriteConfirmLine(const std::string& host, const ConfirmQuestion& q, bool yes) {
    JsonLine()
        .Add("event", "confirm")
        .Add("host", host)
        .Add("title", q.title)
        .Add("text", q.text)
        .Add("current_version", q.currentVersion)
        .Add("new_version", q.newVersion)
        .Add("answer", yes ? "yes" : "ask")
        .Write(stdout);
}

void WriteInterruptLine(const std::string& host, int signal, int count, Phase phase) {
    JsonLine()
        .Add("event", "interrupt")
        .Add("host", host)
        .Add("signal", SignalName(signal))
        .Add("count", count)
        .Add("phase", PhaseName(phase))
        .Write(stdout);
}

void WriteRebootLine(const std::string& host, const std::optional<std::string>& version,
                     const std::optional<std::string>& expected, bool ok) {
    JsonLine()
        .Add("event", "reboot")
        .Add("host", host)
        .Add("version", version)
        .Add("expected", expected)
        .Add("ok", ok)
        .Write(stdout);
}

void WriteRetryLine(const HostResult& r, int retries, std::chrono::milliseconds delay) {
    JsonLine()
        .Add("event", "retry")
        .Add("host", r.host)
        .Add("attempt", r.attempt)
        .Add("retries", retries)
        .Add("after", r.result)
        .Add("exit_code", r.exitCode)
        .Add("delay_ms", static_cast<long long>(delay.count()))
        .Write(stdout);
}

void PrintSummary(const std::vector<HostResult>& results) {
    std::size_t hostWidth = 4;
    for (const auto& r : results)
        hostWidth = std::max(hostWidth, PrintableText(r.host).size());
    std::printf("\n%-*s  %-19s  %-10s  %-10s  %s\n", static_cast<int>(hostWidth), "HOST", "MODEL", "OLD",
                "NEW", "RESULT");
    for (const auto& r : results)
        std::printf("%-*s  %-19s  %-10s  %-10s  %s\n", static_cast<int>(hostWidth),
                    PrintableText(r.host).c_str(), r.model.c_str(), r.oldVersion.value_or("-").c_str(),
                    r.newVersion.value_or("-").c_str(), r.result.c_str());
    std::fflush(stdout);
}

void WriteResultLine(const HostResult& r) {
    JsonLine line;
    line.Add("event", "result")
        .Add("host", r.host)
        .Add("model", r.model)
        .Add("old_version", r.oldVersion)
        .Add("new_version", r.newVersion)
        .Add("image_sha256", r.imageSha256);
    AddPassFields(line, r);
    AddOutcomeFields(line, r);
    line.Write(stdout);
}

} // namespace skelvo::cli
