#include "cli/interrupt.h"
#include "cli/upgrade.h"

#include "engine/messages.h"
#include "engine/trace.h"
#include "tftp/tftp_callbacks.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#define SKELVO_WRITE _write
#define SKELVO_FSYNC _commit
#define SKELVO_CLOSE _close
#else
#include <fcntl.h>
#include <unistd.h>
#define SKELVO_WRITE ::write
#define SKELVO_FSYNC ::fsync
#define SKELVO_CLOSE ::close
#endif

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

std::string TrimEnd(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == ' '))
        text.pop_back();
    return text;
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

void WriteStepOneLine(const std::string& host) {
    JsonLine()
        .Add("event", "status")
        .Add("host", host)
        .Add("step", 1)
        .Add("title", kStep1Title)
        .Write(stdout);
}

void WriteEventLine(const std::string& host, const CliEvent& e, bool replyWarning, const std::string& detail,
                    int imageToUse, const std::string& login) {
    JsonLine line;
    line.Add("event", e.kind == CliEvent::Status ? "status" : "error").Add("host", host).Add("code", e.code);
    line.Add("name", e.kind == CliEvent::Status ? StatusName(e.code) : ErrorName(e.code));
    if (e.kind == CliEvent::Error) {
        line.Add("text", ErrorText(e.code, host, login));
        if (replyWarning)
            line.Add("warning", true);
        if (!detail.empty())
            line.Add("detail", detail);
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

namespace {

void AddPasses(JsonLine& line, const HostResult& r) {
    auto add = [&line](const char* key, const std::optional<long long>& ms) {
        if (ms)
            line.Add(key, *ms);
        else
            line.AddNull(key);
    };
    add("verify_ms", r.verifyMs);
    add("erase_ms", r.eraseMs);
    add("program_ms", r.programMs);
}

void AddOutcome(JsonLine& line, const HostResult& r) {
    line.Add("result", r.result).Add("exit_code", r.exitCode);
    if (r.commandStatus)
        line.Add("command_status", *r.commandStatus);
    if (r.phase)
        line.Add("phase", *r.phase);
    if (r.rescue)
        line.Add("rescue_command", *r.rescue);
    if (r.attempt > 1 || r.retryInMs)
        line.Add("attempt", r.attempt);
    if (r.retryInMs)
        line.Add("retry_in_ms", *r.retryInMs);
}

} // namespace

std::string AuditRecord(const HostResult& r) {
    JsonLine line;
    line.Add("time", r.startTime.empty() ? UtcTimestamp() : r.startTime)
        .Add("duration_ms", r.durationMs)
        .Add("tool_version", SKELVO_VERSION)
        .Add("host", r.host)
        .Add("model", r.model)
        .Add("image_source", r.imageSource)
        .Add("image_sha256", r.imageSha256)
        .Add("old_version", r.oldVersion)
        .Add("new_version", r.newVersion)
        .Add("version_after_reboot", r.versionAfterReboot);
    AddPasses(line, r);
    AddOutcome(line, r);
    return line.Text();
}

AuditLog::~AuditLog() {
    if (m_fd >= 0)
        SKELVO_CLOSE(m_fd);
}

bool AuditLog::Open(const std::string& path, std::string& error) {
#if defined(_WIN32)
    m_fd = _open(path.c_str(), _O_WRONLY | _O_CREAT | _O_APPEND | _O_BINARY, _S_IREAD | _S_IWRITE);
#else
    m_fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
#endif
    if (m_fd < 0) {
        error = "cannot open the audit log \"" + PrintableText(path) +
                "\" for appending: " + std::strerror(errno);
        return false;
    }
    m_path = path;
    return true;
}

void AuditLog::Write(const HostResult& r) {
    if (m_fd < 0)
        return;
    // One write per record: with O_APPEND, concurrent runs never interleave inside a line.
    const std::string text = AuditRecord(r) + "\n";
    const long long written = SKELVO_WRITE(m_fd, text.data(), static_cast<unsigned>(text.size()));
    const bool synced = SKELVO_FSYNC(m_fd) == 0;
    if (written != static_cast<long long>(text.size()) || !synced)
        std::fprintf(stderr, "skelvo-cli upgrade: cannot write the audit log \"%s\"\n",
                     PrintableText(m_path).c_str());
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
    AddPasses(line, r);
    AddOutcome(line, r);
    line.Write(stdout);
}

} // namespace skelvo::cli
