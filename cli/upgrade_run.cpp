#include "cli/host_list.h"
#include "cli/image_choice.h"
#include "cli/interrupt.h"
#include "cli/progress.h"
#include "cli/terminal_confirm.h"
#include "cli/upgrade.h"

#include "cli/cmdline.h"
#include "engine/messages.h"
#include "engine/sha256.h"
#include "engine/trace.h"
#include "engine/upgrade_record.h"
#include "http/continue_sequence.h"
#include "http/device_http.h"
#include "tftp/tftp_callbacks.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <memory>
#include <thread>

namespace skelvo::cli {
namespace {

// The longest a device takes to erase its flash between the two downloads.
constexpr int kLongestErase = 45;

int UsageError(const std::string& message) {
    return cmdline::UsageError("skelvo-cli upgrade", message);
}

// WaitForWorker's answer when a second signal abandoned the device.
constexpr int kAbandoned = -1;

// Past the TFTP server's own bound on a silent transfer, so that the server, not this front end,
// decides how a transfer ends: it alone can tell a failure from an unconfirmed end.
std::chrono::seconds IdleFloor() {
    return std::chrono::ceil<std::chrono::seconds>(RetransmitPolicy{}.giveUp) + std::chrono::seconds(10);
}

std::string GiveUpSeconds() {
    return std::to_string(std::chrono::ceil<std::chrono::seconds>(RetransmitPolicy{}.giveUp).count());
}

constexpr char kCommandReplyWarning[] =
    "warning: receiving the reply to the upgrade command failed (the connection was reset, or no "
    "reply came in time). The device may have taken the command all the same: Skelvo goes on "
    "serving its image.";

} // namespace

PolicyDecision Decide(int imageToUse, const std::string& deviceVersion, const VersionPolicy& policy) {
    const char* digits = ImageVersion(imageToUse);
    const std::string imageVersion =
        imageToUse == SERVER_USER_FILE || digits == nullptr ? std::string() : FormatVersion(digits);
    return DecideUpgrade(deviceVersion, imageVersion, policy);
}

int PolicyExit(PolicyDecision decision, const std::string& current, int imageToUse, bool userFile,
               std::string& message) {
    switch (decision) {
    case PolicyDecision::UpToDate:
        message = "already at version " + current + "; nothing was sent";
        return kExitComplete;
    case PolicyDecision::RefusedNewer:
        message = "runs version " + current + ", newer than the image's " + PresentedVersion(imageToUse) +
                  "; nothing was sent (--allow-older flashes it)";
        return kExitRefusedNewer;
    case PolicyDecision::RefusedUnreadable:
        message = std::string("its version cannot be read; nothing was sent (") +
                  (userFile ? "--force" : "--allow-reinstall") + " flashes it)";
        return kExitRefusedUnreadable;
    case PolicyDecision::Upgrade:
        break;
    }
    return kExitComplete;
}

int ExitForError(int code, bool workerStarted) {
    switch (code) {
    case ERR_LOGIN:
        return kExitLogin;
    case ERR_NO_PROGRAMMING_REQUEST:
        return kExitNoProgrammingRequest;
    case ERR_TFTP_BIND:
        return kExitPort;
    case ERR_TFTP_SOCKET:
    case ERR_SOCKETS_SETUP:
        return workerStarted ? kExitPort : kExitUnreachable;
    case ERR_CONNECT:
    case ERR_RESOLVE:
        return kExitUnreachable;
    case ERR_SEND:
    case ERR_RECEIVE:
        return workerStarted ? kExitTransfer : kExitUnreachable;
    default:
        return kExitTransfer;
    }
}

// ERR_RECEIVE during a transfer: the server resent a block until its bound ran out. The engine's
// text for that code speaks of the classification over HTTP, which is not what happened.
std::string TransferTimeoutText(Phase phase) {
    std::string text = "the device stopped acknowledging blocks of the " +
                       std::string(phase == Phase::Program ? "programming" : "verify") +
                       " download: nothing came back for " + GiveUpSeconds() +
                       " s while Skelvo resent the block.";
    if (phase == Phase::Program)
        text += " It had erased its flash and may be left without firmware.";
    else
        text += " It had not begun erasing, so its firmware is unchanged.";
    return text;
}

namespace {

class Upgrader {
  public:
    Upgrader(const UpgradeOptions& o, std::string password, InterruptWatch& interrupts)
        : m_o(o), m_password(std::move(password)), m_interrupts(interrupts),
          m_tty(ProgressDisplay::IsTerminal(stderr)), m_display(stderr, m_tty) {
        m_interrupts.SetListener([this](int count, int signal) { OnInterrupt(count, signal); });
    }
    ~Upgrader() { m_interrupts.SetListener({}); }
    Upgrader(const Upgrader&) = delete;
    Upgrader& operator=(const Upgrader&) = delete;

    HostResult Run(const std::string& host);
    // The record of a host that a signal kept from being started.
    HostResult NotStarted(const std::string& host) const;

  private:
    void Say(const std::string& host, const std::string& text);
    void OnEvent(const std::string& host, const CliEvent& e);
    void OnInterrupt(int count, int signal);
    ConfirmAnswer Confirm(const std::string& host, const ConfirmQuestion& q);
    int AfterCommand(const std::string& host, const ContinueResult& c, HostResult& r);
    int WaitForWorker(const std::string& host, std::size_t workerEvents);
    bool EndedUnconfirmed() const;
    int VerifyReboot(const std::string& host, int imageToUse, int seconds, HostResult& r);
    void OfferRescue(const std::string& host, int imageToUse, const std::string& why, HostResult& r);
    void Interrupted(const std::string& host, Phase phase, HostResult& r);
    int Fail(const std::string& host, int exitCode, const std::string& message);
    Phase CurrentPhase() const;
    void SetPhase(Phase phase);

    const UpgradeOptions& m_o;
    std::string m_password;
    InterruptWatch& m_interrupts;
    bool m_tty;
    ProgressDisplay m_display;
    EventMonitor m_monitor;
    std::mutex m_printLock;

    // Shared with the interrupt listener, under m_stateLock.
    mutable std::mutex m_stateLock;
    Phase m_phase = Phase::NotStarted;
    std::string m_host;
    std::shared_ptr<TftpServerStop> m_stop;
    Phase m_abandonedAt = Phase::NotStarted;
    bool m_abandoned = false;
    bool m_commandAnswered = false; // STATUS_COMMAND_ACCEPTED has come
    bool m_workerErrorShown = false;
    int m_classified = SERVER_UNKNOWN; // the image chosen when the question was asked
    // What the version policy decided when the question was composed.
    std::optional<PolicyDecision> m_decision;
    ProgressThrottle m_progressLines;
};

void Upgrader::Say(const std::string& host, const std::string& text) {
    std::lock_guard lock(m_printLock);
    m_display.Finish();
    std::fprintf(stderr, "%s: %s\n", PrintableText(host).c_str(), text.c_str());
    std::fflush(stderr);
}

int Upgrader::Fail(const std::string& host, int exitCode, const std::string& message) {
    if (!message.empty())
        Say(host, message);
    return exitCode;
}

Phase Upgrader::CurrentPhase() const {
    std::lock_guard lock(m_stateLock);
    return m_phase;
}

void Upgrader::SetPhase(Phase phase) {
    std::lock_guard lock(m_stateLock);
    m_phase = phase;
}

void Upgrader::OnInterrupt(int count, int signal) {
    Phase phase;
    std::string host;
    std::shared_ptr<TftpServerStop> stop;
    bool abandon = false;
    {
        std::lock_guard lock(m_stateLock);
        phase = m_phase;
        host = m_host;
        stop = m_stop;
        // Only a device that has been sent the command can be abandoned; once it has its image
        // (the reboot check) a second signal merely ends the check.
        if (count >= 2 && phase >= Phase::Command && phase < Phase::RebootCheck && !m_abandoned) {
            m_abandoned = true;
            m_abandonedAt = phase;
            abandon = true;
        }
    }
    if (m_o.json)
        WriteInterruptLine(host, signal, count, phase);
    if (phase == Phase::NotStarted) {
        // Between hosts: the run ends once the current host's record is written.
    } else if (phase < Phase::Command) {
        if (count == 1)
            Say(host, std::string("interrupted (") + SignalName(signal) +
                          "): stopping; no upgrade command will be sent");
    } else if (phase == Phase::RebootCheck) {
        if (count == 1)
            Say(host, std::string("interrupted (") + SignalName(signal) +
                          "): the device has been served its image; Skelvo is checking that it restarts "
                          "with it. A second Ctrl-C (or signal) ends the check.");
    } else if (abandon) {
        if (stop)
            stop->Request();
    } else if (count == 1) {
        Say(host, std::string("interrupted (") + SignalName(signal) +
                      "): the upgrade command has been sent, and the device may be erasing its flash. "
                      "Skelvo will finish serving it its image, or the device would be left without "
                      "firmware. A second Ctrl-C (or signal) abandons it.");
    }
    m_monitor.Wake();
}

void Upgrader::OnEvent(const std::string& host, const CliEvent& e) {
    Phase phase;
    bool answered;
    bool shown;
    {
        std::lock_guard lock(m_stateLock);
        if (e.kind == CliEvent::Status) {
            if (e.code == STATUS_COMMAND_ACCEPTED)
                m_commandAnswered = true;
            else if (e.code == STATUS_VERIFYING)
                m_phase = Phase::Verify;
            else if (e.code == STATUS_ERASING)
                m_phase = Phase::Erase;
            else if (e.code == STATUS_PROGRAMMING)
                m_phase = Phase::Program;
        }
        phase = m_phase;
        answered = m_commandAnswered;
        shown = m_workerErrorShown;
        if (e.kind == CliEvent::Error && answered)
            m_workerErrorShown = true;
    }
    // What an error means here, where the engine's text would mislead.
    const bool replyWarning =
        e.kind == CliEvent::Error && e.code == ERR_RECEIVE && phase == Phase::Command && !answered;
    std::string detail;
    if (e.kind == CliEvent::Error && e.code == ERR_RECEIVE &&
        (phase == Phase::Verify || phase == Phase::Program))
        detail = TransferTimeoutText(phase);

    if (m_o.json && !(e.kind == CliEvent::Status && e.code == STATUS_PROGRESS && !m_progressLines.Due(e)))
        WriteEventLine(host, e, replyWarning, detail, GetImageToUse(), m_o.login);
    if (e.kind == CliEvent::Error) {
        if (replyWarning)
            Say(host, kCommandReplyWarning);
        else if (!detail.empty())
            Say(host, detail);
        else if (!(answered && shown && e.code == ERR_READ_REQUEST)) // the failure was told already
            Say(host, ErrorText(e.code, g_TftpConfigData.HostName, g_TftpConfigData.LoginName));
        return;
    }
    if (e.code == STATUS_PROGRESS) {
        if (m_tty) {
            ProgressInfo info{e.sent, e.total};
            m_display.OnStatus(STATUS_PROGRESS, &info);
        }
        return;
    }
    if (StepNumber(e.code) != 0) {
        std::string title = TrimEnd(StepTitle(e.code, PresentedVersion(GetImageToUse())));
        std::lock_guard lock(m_printLock);
        if (m_tty) {
            m_display.Step(title);
        } else {
            std::fprintf(stderr, "%s: %s\n", PrintableText(host).c_str(), title.c_str());
            std::fflush(stderr);
        }
    }
}

ConfirmAnswer Upgrader::Confirm(const std::string& host, const ConfirmQuestion& q) {
    {
        std::lock_guard lock(m_stateLock);
        m_classified = GetImageToUse();
        if (m_interrupts.Count() > 0)
            return ConfirmAnswer::Cancel;
        m_phase = Phase::Confirmation;
        m_decision = Decide(m_classified, q.currentVersion, m_o.policy);
        // The policy leaves the device alone: nothing is asked, nothing is sent.
        if (*m_decision != PolicyDecision::Upgrade)
            return ConfirmAnswer::Cancel;
    }
    if (m_o.json)
        WriteConfirmLine(host, q, m_o.yes);
    ConfirmAnswer answer = ConfirmAnswer::Yes;
    if (m_o.yes) {
        if (!m_o.json) {
            std::lock_guard lock(m_printLock);
            std::fprintf(
                stderr, "%s: %s; confirmed by --yes\n", PrintableText(host).c_str(),
                OneLineText(q.text.substr(std::min(q.text.size(), q.text.find("The Varnek Server you wish"))))
                    .c_str());
        }
    } else {
        std::lock_guard lock(m_printLock);
        m_display.Finish();
        answer = AskOnTerminal(q, [this] { return m_interrupts.Count() > 0; });
    }
    // From here on a signal no longer keeps the command from leaving: the device is then served.
    std::lock_guard lock(m_stateLock);
    if (answer != ConfirmAnswer::Yes || m_interrupts.Count() > 0)
        return ConfirmAnswer::Cancel;
    m_phase = Phase::Command;
    return ConfirmAnswer::Yes;
}

int Upgrader::WaitForWorker(const std::string& host, std::size_t workerEvents) {
    using Clock = std::chrono::steady_clock;
    // The worker's own events begin at workerEvents; earlier ones belong to the command.
    auto workerError = [workerEvents](const std::vector<CliEvent>& events) -> std::optional<CliEvent> {
        for (std::size_t i = workerEvents; i < events.size(); ++i)
            if (events[i].kind == CliEvent::Error)
                return events[i];
        return std::nullopt;
    };
    auto has = [](const std::vector<CliEvent>& events, int code) {
        return std::any_of(events.begin(), events.end(), [code](const CliEvent& e) {
            return e.kind == CliEvent::Status && e.code == code;
        });
    };
    auto abandoned = [this] {
        std::lock_guard lock(m_stateLock);
        return m_abandoned;
    };
    auto ended = [&](const std::vector<CliEvent>& events) {
        return workerError(events) || has(events, STATUS_COMPLETE) || abandoned();
    };
    const auto fetchDeadline = Clock::now() + std::chrono::seconds(m_o.fetchTimeout);
    const auto idle = std::chrono::seconds(m_o.idleTimeout);
    for (;;) {
        const std::vector<CliEvent> events = m_monitor.Events();
        if (abandoned())
            return kAbandoned;
        if (auto err = workerError(events))
            return ExitForError(err->code, true);
        if (has(events, STATUS_COMPLETE))
            return kExitComplete;
        if (m_monitor.HasWorkerEnded()) {
            const bool started = has(events, STATUS_VERIFYING);
            return Fail(host, kExitTransfer,
                        started ? "the TFTP server ended before the upgrade was complete"
                                : "the TFTP server ended without serving the image");
        }
        Clock::time_point deadline;
        if (!has(events, STATUS_VERIFYING)) {
            // Nothing is at stake before the device's first request: its flash is untouched.
            deadline = fetchDeadline;
            if (Clock::now() >= deadline)
                return Fail(host, kExitNotFetched,
                            "the device did not ask for the image within " +
                                std::to_string(m_o.fetchTimeout) + " s");
        } else {
            // While the device erases, nothing happens for up to 45 s by design; the worker bounds
            // that wait itself (--programming-wait) and raises ERR_NO_PROGRAMMING_REQUEST, and
            // during a transfer it bounds the silence itself. These waits only back it up.
            const bool erasing = has(events, STATUS_ERASING) && !has(events, STATUS_PROGRAMMING);
            const auto bound =
                idle + (erasing ? std::chrono::seconds(m_o.programmingWait) : std::chrono::seconds(0));
            deadline = m_monitor.LastEventTime() + bound;
            if (Clock::now() >= deadline)
                return Fail(host, kExitTransfer,
                            "nothing happened for " + std::to_string(bound.count()) + " s; giving up");
        }
        m_monitor.WaitUntil(ended, std::min(deadline, Clock::now() + std::chrono::seconds(1)));
    }
}

bool Upgrader::EndedUnconfirmed() const {
    for (const auto& e : m_monitor.Events())
        if (e.kind == CliEvent::Status && e.code == STATUS_COMPLETE)
            return e.unconfirmed;
    return false;
}

int Upgrader::VerifyReboot(const std::string& host, int imageToUse, int seconds, HostResult& r) {
    using Clock = std::chrono::steady_clock;
    const std::optional<std::string> expected =
        imageToUse == SERVER_USER_FILE ? std::nullopt
                                       : std::optional<std::string>(PresentedVersion(imageToUse));
    const std::optional<std::string> before =
        r.oldVersion && *r.oldVersion != kNotKnown ? r.oldVersion : std::nullopt;
    SetPhase(Phase::RebootCheck);
    Say(host, "waiting up to " + std::to_string(seconds) + " s for the device to come back");
    m_monitor.SetMuted(true);
    const auto deadline = Clock::now() + std::chrono::seconds(seconds);
    bool wentAway = false;
    bool stopped = false;
    std::optional<std::string> last;
    int outcome = kExitReboot;
    while (Clock::now() < deadline) {
        if (m_interrupts.Count() >= 2) {
            stopped = true;
            break;
        }
        std::optional<std::string> v = QueryServerVersion(host.c_str());
        if (!v) {
            wentAway = true;
        } else if (*v != kNotKnown) {
            last = v;
            // Only an answer after the restart counts: until it goes away the device may still
            // answer from before, with either version. A version other than the one it reported
            // before the command proves a restart too; the device may have restarted unseen
            // while the server was still resending an unacknowledged last block.
            const bool restarted = wentAway || (before && *v != *before);
            if (restarted && (!expected || *v == *expected)) {
                outcome = kExitComplete;
                break;
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
    }
    m_monitor.SetMuted(false);
    // A restart quicker than one poll goes unseen; then the last answer decides. A user file
    // names no version, so answering at all is all that can be checked.
    if (outcome != kExitComplete && last && (!expected || *last == *expected))
        outcome = kExitComplete;
    if (m_o.json)
        WriteRebootLine(host, last, expected, outcome == kExitComplete);
    r.versionAfterReboot = last;
    if (outcome == kExitComplete)
        Say(host, "back up, running version " + last.value_or("?"));
    else if (stopped)
        Interrupted(host, Phase::RebootCheck, r);
    else if (last)
        Say(host, "the device answers with version " + *last + ", not " + expected.value_or("?"));
    else
        Say(host, "the device did not come back within " + std::to_string(seconds) + " s");
    return stopped && outcome != kExitComplete ? r.exitCode : outcome;
}

void Upgrader::OfferRescue(const std::string& host, int imageToUse, const std::string& why, HostResult& r) {
    r.rescue = RescueCommandLine(host, imageToUse, m_o.image, m_o.tftpPort);
    Say(host,
        why + " While its flash is empty its boot loader keeps asking for the image; serve it with:\n    " +
            *r.rescue);
}

void Upgrader::Interrupted(const std::string& host, Phase phase, HostResult& r) {
    r.exitCode = m_interrupts.ExitCode();
    r.result = "interrupted";
    r.phase = PhaseName(phase);
    if (phase < Phase::Command)
        Say(host, std::string("interrupted (") + SignalName(m_interrupts.LastSignal()) + ") at the " +
                      PhaseName(phase) + " step; no upgrade command was sent");
    else
        Say(host, std::string("interrupted (") + SignalName(m_interrupts.LastSignal()) +
                      ") during the reboot check; the device was served its whole image");
}

HostResult Upgrader::NotStarted(const std::string& host) const {
    HostResult r;
    r.host = host;
    r.model = ModelName(SERVER_UNKNOWN);
    r.exitCode = m_interrupts.ExitCode();
    r.result = "interrupted";
    r.phase = PhaseName(Phase::NotStarted);
    return r;
}

int Upgrader::AfterCommand(const std::string& host, const ContinueResult& c, HostResult& r) {
    const std::vector<CliEvent> events = m_monitor.Events();
    std::optional<std::size_t> accepted;
    std::optional<CliEvent> commandError;
    for (std::size_t i = 0; i < events.size() && !accepted; ++i) {
        if (events[i].kind == CliEvent::Status && events[i].code == STATUS_COMMAND_ACCEPTED)
            accepted = i;
        else if (events[i].kind == CliEvent::Error && !commandError)
            commandError = events[i];
    }
    if (c.commandResult != 1 || !accepted) {
        if (commandError)
            return ExitForError(commandError->code, false);
        return Fail(host, kExitUnreachable, "the upgrade command could not be sent");
    }
    const bool fetched = std::any_of(events.begin(), events.end(), [](const CliEvent& e) {
        return e.kind == CliEvent::Status && e.code == STATUS_VERIFYING;
    });
    if (c.commandStatus && c.commandStatus->code >= 400 && !fetched) {
        if (c.commandStatus->code == 401)
            return Fail(host, kExitLogin,
                        ErrorText(ERR_LOGIN, g_TftpConfigData.HostName, g_TftpConfigData.LoginName));
        r.commandStatus = c.commandStatus->Text();
        return Fail(host, kExitCommandRefused,
                    "the device refused the upgrade command: " + c.commandStatus->Text() +
                        ". Nothing was served; its firmware is unchanged.");
    }
    r.commanded = true;
    const int outcome = WaitForWorker(host, *accepted + 1);
    if (outcome == kAbandoned) {
        Phase at;
        {
            std::lock_guard lock(m_stateLock);
            at = m_abandonedAt;
        }
        r.result = "abandoned";
        r.phase = PhaseName(at);
        OfferRescue(host, c.imageToUse,
                    std::string("abandoned (") + SignalName(m_interrupts.LastSignal()) +
                        "): Skelvo has stopped serving the device during the " + PhaseName(at) +
                        " step. If it had begun erasing its flash, it is left without firmware.",
                    r);
        return m_interrupts.ExitCode();
    }
    if (outcome == kExitNoProgrammingRequest) {
        const int checked = CheckImageRejected(
            host, r.oldVersion.value_or(kNotKnown), m_monitor, [this] { return m_interrupts.Count() >= 2; },
            [this, &host](const std::string& text) { Say(host, text); });
        if (checked == kExitNoProgrammingRequest)
            OfferRescue(host, c.imageToUse,
                        "the device does not answer with its old version: it may have failed while erasing "
                        "its flash and be left without firmware.",
                        r);
        return checked;
    }
    if (outcome == kExitTransfer && m_monitor.Has(CliEvent::Status, STATUS_PROGRAMMING))
        OfferRescue(host, c.imageToUse,
                    "the programming download failed after the device had erased its flash: it may be "
                    "left without firmware.",
                    r);
    return outcome;
}

HostResult Upgrader::Run(const std::string& host) {
    HostResult r;
    r.host = host;
    r.model = ModelName(SERVER_UNKNOWN);
    r.startTime = UtcTimestamp();
    r.imageSource = m_o.image.empty() ? "built-in" : m_o.image;
    const auto started = std::chrono::steady_clock::now();
    m_decision.reset();

    ResetUpgradeRecord();
    SetDownloadTrace(m_o.downloadTrace ? 1 : 0);
    if (!m_o.image.empty()) {
        if (!LoadUserImage(m_o.image)) {
            r.exitCode = Fail(host, kExitBadUsage, "cannot read the image file \"" + m_o.image + "\"");
            r.result = ResultName(r.exitCode);
            return r;
        }
        SetImageToUse(SERVER_USER_FILE);
    }
    SetHttpPort(m_o.httpPort);
    m_monitor.Clear();
    m_monitor.SetListener([this, host](const CliEvent& e) { OnEvent(host, e); });

    TftpServerOptions tftp;
    tftp.port = m_o.tftpPort;
    tftp.programmingWait = std::chrono::seconds(m_o.programmingWait);
    // Lets this front end end a worker that waits for a device that will never ask (a rejected
    // login, a failed command), so that the next host can have the port, and lets a second
    // signal abandon the device.
    auto stop = std::make_shared<TftpServerStop>();
    tftp.stop = stop;
    {
        std::lock_guard lock(m_stateLock);
        m_phase = Phase::Probe;
        m_host = host;
        m_stop = stop;
        m_abandoned = false;
        m_abandonedAt = Phase::NotStarted;
        m_commandAnswered = false;
        m_workerErrorShown = false;
        m_classified = SERVER_UNKNOWN;
    }

    if (m_o.json)
        WriteStepOneLine(host);
    else
        Say(host, kStep1Title);

    ContinueRequest request;
    request.hostName = host;
    request.loginName = m_o.login;
    request.password = m_password;
    request.confirm = [this, &host](const ConfirmQuestion& q) { return Confirm(host, q); };
    request.tftp = tftp;
    request.worker = WorkerMode::Joinable;
    request.onWorkerEnd = [this](int ended) { m_monitor.WorkerEnded(ended); };
    request.dryRun = m_o.dryRun;
    request.cancelled = [this] {
        std::lock_guard lock(m_stateLock);
        return m_phase < Phase::Command && m_interrupts.Count() > 0;
    };

    ContinueResult c = RunContinueSequence(request);
    // The reason a bind failed, before anything else can change it.
    const int portError = c.outcome == ContinueOutcome::PortUnavailable ? net::LastError() : 0;
    const Phase reached = CurrentPhase();
    const bool interruptedEarly = reached < Phase::Command && m_interrupts.Count() > 0;
    if (c.question)
        r.oldVersion = c.question->currentVersion;
    int imageToUse = c.imageToUse;
    if (imageToUse == SERVER_UNKNOWN) {
        // A cancelled question drops the classification; the record keeps what was found.
        std::lock_guard lock(m_stateLock);
        imageToUse = m_classified;
    }
    if (imageToUse != SERVER_UNKNOWN)
        r.model = ModelName(imageToUse);
    const ImageDescriptor* image = nullptr;
    if (imageToUse != SERVER_UNKNOWN && SelectImage(imageToUse, &image) == ImageSelection::Selected) {
        r.imageSha256 = Sha256::HexOf(std::span<const std::uint8_t>(image->Data, image->Size));
        r.newVersion =
            imageToUse == SERVER_USER_FILE ? std::string("(user file)") : PresentedVersion(imageToUse);
    }

    switch (c.outcome) {
    case ContinueOutcome::PortUnavailable:
        r.exitCode = Fail(host, kExitPort, PortFailure(m_o.tftpPort, portError));
        break;
    case ContinueOutcome::UnknownServer:
        if (interruptedEarly)
            Interrupted(host, reached, r);
        else if (auto err = m_monitor.FirstError())
            r.exitCode = ExitForError(err->code, false);
        else
            r.exitCode =
                Fail(host, kExitUnknownType, "the device names no known server type; nothing was sent");
        break;
    case ContinueOutcome::NotConfirmed:
    case ContinueOutcome::Cancelled:
        if (interruptedEarly) {
            Interrupted(host, reached, r);
        } else if (m_decision && *m_decision != PolicyDecision::Upgrade) {
            std::string message;
            r.exitCode = Fail(host,
                              PolicyExit(*m_decision, r.oldVersion.value_or(kNotKnown), imageToUse,
                                         !m_o.image.empty(), message),
                              message);
            r.result = PolicyDecisionName(*m_decision);
        } else {
            r.exitCode = Fail(host, kExitNotConfirmed, "not confirmed; nothing was sent");
        }
        break;
    case ContinueOutcome::DryRun:
        if (interruptedEarly) {
            Interrupted(host, reached, r);
            break;
        }
        if (c.question && image != nullptr) {
            const PolicyDecision decision = Decide(imageToUse, c.question->currentVersion, m_o.policy);
            if (decision != PolicyDecision::Upgrade) {
                std::string message;
                r.exitCode = Fail(
                    host,
                    PolicyExit(decision, c.question->currentVersion, imageToUse, !m_o.image.empty(), message),
                    "dry run: " + message);
                r.result = PolicyDecisionName(decision);
                break;
            }
        }
        if (image == nullptr) {
            r.exitCode = Fail(host, kExitOther, "no image to serve");
            break;
        }
        if (!m_o.json) {
            std::lock_guard lock(m_printLock);
            std::printf("%s\n\n%s\n\n", c.question->title.c_str(), c.question->text.c_str());
            std::fflush(stdout);
        }
        r.exitCode = Fail(host, kExitComplete,
                          std::string("dry run: ") + ModelName(c.imageToUse) + ", image of " +
                              std::to_string(image->Size) + " bytes ready; nothing was sent");
        break;
    case ContinueOutcome::WorkerStarted:
        r.exitCode = AfterCommand(host, c, r);
        stop->Request();
        c.worker.join();
        {
            std::lock_guard lock(m_printLock);
            m_display.Finish();
        }
        if (r.exitCode != kExitComplete)
            break;
        if (EndedUnconfirmed()) {
            // The device went silent after the last block: it very probably programmed it all and
            // restarted, so only its coming back with the new version makes this a success.
            Say(host, "the device did not acknowledge the last block. It very probably holds the whole "
                      "image; checking that it restarts with the new version");
            r.exitCode = VerifyReboot(host, c.imageToUse, m_o.verifyReboot.value_or(kDefaultRebootWait), r);
            if (r.exitCode == kExitComplete)
                Say(host, TrimEnd(SuccessTitle(host, PresentedVersion(c.imageToUse))));
            else if (r.exitCode == kExitReboot)
                OfferRescue(host, c.imageToUse,
                            "if the device is still without firmware after all (it asks for its image "
                            "again instead of starting),",
                            r);
            break;
        }
        Say(host, TrimEnd(SuccessTitle(host, PresentedVersion(c.imageToUse))));
        if (m_o.verifyReboot)
            r.exitCode = VerifyReboot(host, c.imageToUse, *m_o.verifyReboot, r);
        break;
    }
    if (c.worker.joinable()) {
        stop->Request();
        c.worker.join();
    }
    {
        std::lock_guard lock(m_stateLock);
        m_phase = Phase::NotStarted;
        m_host.clear();
        m_stop.reset();
    }
    if (r.result.empty())
        r.result = m_o.dryRun && r.exitCode == kExitComplete ? "dry-run" : ResultName(r.exitCode);
    std::optional<std::chrono::steady_clock::time_point> at[4];
    const int marks[4] = {STATUS_VERIFYING, STATUS_ERASING, STATUS_PROGRAMMING, STATUS_COMPLETE};
    for (const auto& e : m_monitor.Events())
        for (int i = 0; i < 4; ++i)
            if (e.kind == CliEvent::Status && e.code == marks[i] && !at[i])
                at[i] = e.at;
    auto span = [&at](int from, int to) -> std::optional<long long> {
        if (!at[from] || !at[to])
            return std::nullopt;
        return std::chrono::duration_cast<std::chrono::milliseconds>(*at[to] - *at[from]).count();
    };
    r.verifyMs = span(0, 1);
    r.eraseMs = span(1, 2);
    r.programMs = span(2, 3);
    r.durationMs =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started)
            .count();
    return r;
}

} // namespace

int RunUpgrade(UpgradeOptions& o) {
    if (!o.hostsFile.empty()) {
        if (o.hostsFile == "-" && o.passwordSource.fromStdin)
            return UsageError("--hosts-file - and --password-stdin both read standard input; give the "
                              "password with --password-file F or SKELVO_PASSWORD instead");
        if (std::string error = AddHostsFile(o.hostsFile, o.hosts); !error.empty())
            return UsageError(error);
    }
    if (!o.image.empty()) {
        std::ifstream probe(o.image, std::ios::binary);
        if (!probe)
            return UsageError("cannot read the image file \"" + o.image + "\"");
    }
    if (o.passwordSource.fromStdin && !o.passwordSource.file.empty())
        return UsageError("--password-stdin and --password-file exclude each other");
    // Opened before any device is contacted: an upgrade that cannot be recorded is not begun.
    AuditLog audit;
    std::string auditError;
    if (!o.auditLog.empty() && !audit.Open(o.auditLog, auditError))
        return UsageError(auditError + "; no device was contacted");
    if (!o.yes && !o.dryRun && !HaveTerminal()) {
        std::fprintf(stderr,
                     "skelvo-cli upgrade: no terminal to confirm on; refusing to flash without --yes\n");
        return kExitNotConfirmed;
    }
    if (std::chrono::seconds(o.idleTimeout) < IdleFloor()) {
        std::fprintf(stderr,
                     "skelvo-cli upgrade: --idle-timeout %d s is shorter than the %s s for which the TFTP "
                     "server itself resends an unacknowledged block; waiting %lld s instead\n",
                     o.idleTimeout, GiveUpSeconds().c_str(), static_cast<long long>(IdleFloor().count()));
        o.idleTimeout = static_cast<int>(IdleFloor().count());
    }
    if (o.programmingWait < kLongestErase)
        std::fprintf(stderr,
                     "skelvo-cli upgrade: warning: --programming-wait %d s is shorter than the %d s a device "
                     "may take to erase its flash; a device still erasing when it ends is left without "
                     "firmware\n",
                     o.programmingWait, kLongestErase);
    // One password read serves every host: standard input can be read only once.
    std::string passwordError;
    std::optional<std::string> password = ReadPassword(o.passwordSource, passwordError);
    if (!password)
        return UsageError(passwordError);
    // A single device's trace lines are all its own; a batch names each line's host itself.
    if (o.hosts.size() == 1)
        RouteTrace(o.trace, o.json, [host = o.hosts.front()](std::string_view) { return host; });
    else
        RouteTrace(o.trace, o.json);

    InterruptWatch interrupts;
    if (o.hosts.size() > 1) {
        const int exitCode = RunBatch(o, *password, interrupts, audit);
        RouteTrace(true, false);
        return exitCode;
    }
    Upgrader upgrader(o, std::move(*password), interrupts);
    std::vector<HostResult> results;
    int exitCode = kExitComplete;
    for (const auto& host : o.hosts) {
        // After a signal the host under way is finished, and no other is begun.
        HostResult r = interrupts.Count() > 0 ? upgrader.NotStarted(host) : upgrader.Run(host);
        while (r.attempt <= o.retries && Retryable(r) && interrupts.Count() == 0) {
            const auto delay = RetryDelay(r.attempt);
            ReportRetry(r, o.retries, delay, audit, o.json, [&host](const std::string& text) {
                std::fprintf(stderr, "%s: %s\n", PrintableText(host).c_str(), text.c_str());
            });
            const auto due = std::chrono::steady_clock::now() + delay;
            while (std::chrono::steady_clock::now() < due && interrupts.Count() == 0)
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
            const int attempt = r.attempt + 1;
            r = interrupts.Count() > 0 ? upgrader.NotStarted(host) : upgrader.Run(host);
            r.attempt = attempt;
        }
        audit.Write(r);
        if (o.json)
            WriteResultLine(r);
        if (exitCode == kExitComplete && r.exitCode != kExitComplete)
            exitCode = r.exitCode;
        results.push_back(std::move(r));
    }
    if (!o.json && results.size() > 1)
        PrintSummary(results);
    RouteTrace(true, false);
    return exitCode;
}

int CheckImageRejected(const std::string& contact, const std::string& oldVersion, EventMonitor& monitor,
                       const std::function<bool()>& giveUp,
                       const std::function<void(const std::string&)>& say) {
    using Clock = std::chrono::steady_clock;
    monitor.SetMuted(true);
    std::optional<std::string> answer;
    // A few tries: a device that has just rejected an image may take a moment to answer again.
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    do {
        answer = QueryServerVersion(contact.c_str());
        if (answer || giveUp())
            break;
        std::this_thread::sleep_for(std::chrono::seconds(1));
    } while (Clock::now() < deadline);
    monitor.SetMuted(false);
    if (answer && *answer == oldVersion) {
        say("the device still answers with its old version " + oldVersion +
            ": it rejected the image, and its flash is intact");
        return kExitImageRejected;
    }
    if (answer)
        say("the device answers with version " + *answer + ", not its old version " + oldVersion);
    return kExitNoProgrammingRequest;
}

} // namespace skelvo::cli
