#include "cli/image_choice.h"
#include "cli/interrupt.h"
#include "cli/progress.h"
#include "cli/terminal_confirm.h"
#include "cli/upgrade.h"

#include "engine/messages.h"
#include "engine/sha256.h"
#include "engine/trace.h"
#include "engine/upgrade_record.h"
#include "engine/version_policy.h"
#include "http/device_http.h"
#include "tftp/tftp_fleet.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>

namespace skelvo::cli {
namespace {

using Clock = std::chrono::steady_clock;

// How often a device in its reboot check is asked for its version.
constexpr auto kRebootPoll = std::chrono::milliseconds(250);

long long Millis(Clock::duration d) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(d).count();
}

struct Device {
    std::string host;
    HostResult r;
    Clock::time_point started;
    int type = SERVER_UNKNOWN; // the image it is served: a built-in type or SERVER_USER_FILE
    const ImageDescriptor* image = nullptr;
    net::Ipv4 address;   // as the device's web server was reached: where its requests come from
    std::string contact; // the address in dotted form, for every exchange after the probe
    std::string current = kNotKnown;
    PolicyDecision decision = PolicyDecision::Upgrade;
    bool done = false;
    bool commanded = false;
    // --retries: a failed attempt waits until then before it is probed, or commanded, again.
    std::optional<Clock::time_point> retryAt;

    // Shared with the TFTP server's thread and the signal listener, under Batch::m_lock.
    Phase phase = Phase::NotStarted;
    std::vector<CliEvent> events;
    bool sessionEnded = false;
    bool abandoned = false;
    Phase abandonedAt = Phase::NotStarted;
    bool errorShown = false;
    Clock::time_point lastEvent;
    Clock::time_point commandAt;
    std::optional<Clock::time_point> verifyAt, erasingAt, programAt, completeAt;
    ProgressThrottle progressLines;
    ProgressThrottle textProgress{std::chrono::seconds(5)};

    // The reboot check, on the main thread only.
    bool rebootCheck = false;
    bool unconfirmedEnd = false;
    int rebootSeconds = 0;
    Clock::time_point rebootDeadline;
    Clock::time_point nextPoll;
    bool wentAway = false;
    std::optional<std::string> lastVersion;
};

class Batch {
  public:
    Batch(const UpgradeOptions& o, const std::string& password, InterruptWatch& interrupts, AuditLog& audit);
    ~Batch();
    Batch(const Batch&) = delete;
    Batch& operator=(const Batch&) = delete;
    int Run();

  private:
    void Say(const std::string& host, const std::string& text);
    void OnInterrupt(int count, int signal);
    void OnHttpEvent(const CliEvent& e);
    void OnDeviceEvent(Device& d, bool error, int code, const void* info);
    void Probe(Device& d);
    bool Ask(const std::vector<Device*>& toUpgrade);
    void Command(Device& d);
    void Check(Device& d);
    void StartRebootCheck(Device& d, int seconds);
    void PollReboot(Device& d);
    void OfferRescue(Device& d, const std::string& why);
    void Interrupted(Device& d, Phase phase);
    void Finish(Device& d, int exitCode, const std::string& message = {});
    bool Retry(Device& d);
    std::vector<Device*> DueProbeRetries();
    std::string ImageSha(int type, const ImageDescriptor* image);
    std::string ActionText(const Device& d) const;

    const UpgradeOptions& m_o;
    std::string m_password;
    InterruptWatch& m_interrupts;
    AuditLog& m_audit;
    EventMonitor m_monitor;
    std::unique_ptr<TftpFleetServer> m_fleet;
    std::vector<std::unique_ptr<Device>> m_devices;
    std::deque<Device*> m_queue; // confirmed, waiting for their command
    std::map<int, std::string> m_sha;
    std::mutex m_printLock;

    mutable std::mutex m_lock;
    std::condition_variable m_changed;
    Device* m_http = nullptr; // the device whose HTTP exchange runs, under m_lock
    // The same, for the trace lines of that exchange, which come on the main thread.
    std::atomic<const Device*> m_tracing{nullptr};
    std::thread::id m_mainThread = std::this_thread::get_id();
};

Batch::Batch(const UpgradeOptions& o, const std::string& password, InterruptWatch& interrupts,
             AuditLog& audit)
    : m_o(o), m_password(password), m_interrupts(interrupts), m_audit(audit) {
    for (const auto& host : o.hosts) {
        auto d = std::make_unique<Device>();
        d->host = host;
        d->r.host = host;
        d->r.model = ModelName(SERVER_UNKNOWN);
        d->r.imageSource = o.image.empty() ? "built-in" : o.image;
        d->r.startTime = UtcTimestamp();
        d->started = Clock::now();
        m_devices.push_back(std::move(d));
    }
    m_monitor.SetListener([this](const CliEvent& e) { OnHttpEvent(e); });
    // A TFTP session's trace lines start with its device's tag; an HTTP exchange's are the current
    // device's.
    RouteTrace(o.trace, o.json, [this](std::string_view text) -> std::string {
        for (const auto& d : m_devices)
            if (text.substr(0, d->host.size() + 2) == PrintableText(d->host) + ": ")
                return d->host;
        const Device* http = m_tracing.load();
        return http != nullptr && std::this_thread::get_id() == m_mainThread ? http->host : std::string();
    });
    m_interrupts.SetListener([this](int count, int signal) { OnInterrupt(count, signal); });
}

Batch::~Batch() {
    m_interrupts.SetListener({});
    m_monitor.SetListener({});
    if (m_fleet)
        m_fleet->Stop();
    // The sink looks at this batch's devices.
    RouteTrace(m_o.trace, m_o.json);
}

void Batch::Say(const std::string& host, const std::string& text) {
    std::lock_guard lock(m_printLock);
    if (host.empty())
        std::fprintf(stderr, "%s\n", text.c_str());
    else
        std::fprintf(stderr, "%s: %s\n", PrintableText(host).c_str(), text.c_str());
    std::fflush(stderr);
}

std::string Batch::ImageSha(int type, const ImageDescriptor* image) {
    auto it = m_sha.find(type);
    if (it == m_sha.end())
        it =
            m_sha.emplace(type, Sha256::HexOf(std::span<const std::uint8_t>(image->Data, image->Size))).first;
    return it->second;
}

void Batch::Finish(Device& d, int exitCode, const std::string& message) {
    if (!message.empty())
        Say(d.host, message);
    {
        std::lock_guard lock(m_lock);
        d.r.exitCode = exitCode;
        if (d.r.result.empty())
            d.r.result = ResultName(exitCode);
    }
    if (Retry(d))
        return;
    {
        std::lock_guard lock(m_lock);
        if (d.verifyAt && d.erasingAt)
            d.r.verifyMs = Millis(*d.erasingAt - *d.verifyAt);
        if (d.erasingAt && d.programAt)
            d.r.eraseMs = Millis(*d.programAt - *d.erasingAt);
        if (d.programAt && d.completeAt)
            d.r.programMs = Millis(*d.completeAt - *d.programAt);
        d.done = true;
    }
    d.r.durationMs = Millis(Clock::now() - d.started);
    m_audit.Write(d.r);
    if (m_o.json)
        WriteResultLine(d.r);
}

// A device that never took the command is tried again, while --retries allows: from its probe
// when that failed, else from its command.
bool Batch::Retry(Device& d) {
    if (d.r.attempt > m_o.retries || !Retryable(d.r) || m_interrupts.Count() > 0)
        return false;
    d.r.durationMs = Millis(Clock::now() - d.started);
    const auto delay = RetryDelay(d.r.attempt);
    ReportRetry(d.r, m_o.retries, delay, m_audit, m_o.json,
                [this, &d](const std::string& text) { Say(d.host, text); });
    const bool probed = d.image != nullptr;
    HostResult next;
    next.host = d.host;
    next.model = d.r.model;
    next.imageSource = d.r.imageSource;
    next.attempt = d.r.attempt + 1;
    if (probed) {
        next.oldVersion = d.r.oldVersion;
        next.newVersion = d.r.newVersion;
        next.imageSha256 = d.r.imageSha256;
    }
    std::lock_guard lock(m_lock);
    d.r = next;
    d.retryAt = Clock::now() + delay;
    d.commanded = false;
    d.phase = probed ? Phase::Confirmation : Phase::NotStarted;
    d.events.clear();
    d.sessionEnded = false;
    d.errorShown = false;
    d.verifyAt.reset();
    d.erasingAt.reset();
    d.programAt.reset();
    d.completeAt.reset();
    if (probed)
        m_queue.push_back(&d);
    return true;
}

// The devices whose probe failed and waits for a retry, once their wait is over; waits a little
// for one when none is due yet. (A probed device waits for its retry in the command queue.)
std::vector<Device*> Batch::DueProbeRetries() {
    std::vector<Device*> due;
    std::unique_lock lock(m_lock);
    const auto now = Clock::now();
    for (auto& d : m_devices)
        if (!d->done && d->retryAt && d->image == nullptr && *d->retryAt <= now)
            due.push_back(d.get());
    if (due.empty())
        m_changed.wait_for(lock, std::chrono::milliseconds(200));
    for (Device* d : due)
        d->retryAt.reset();
    return due;
}

void Batch::Interrupted(Device& d, Phase phase) {
    d.r.result = "interrupted";
    d.r.phase = PhaseName(phase);
    if (phase == Phase::NotStarted)
        Finish(d, m_interrupts.ExitCode());
    else if (phase < Phase::Command)
        Finish(d, m_interrupts.ExitCode(),
               std::string("interrupted (") + SignalName(m_interrupts.LastSignal()) + ") at the " +
                   PhaseName(phase) + " step; no upgrade command was sent");
    else
        Finish(d, m_interrupts.ExitCode(),
               std::string("interrupted (") + SignalName(m_interrupts.LastSignal()) +
                   ") during the reboot check; the device was served its whole image");
}

void Batch::OfferRescue(Device& d, const std::string& why) {
    d.r.rescue = RescueCommandLine(d.host, d.type, m_o.image, m_o.tftpPort);
    Say(d.host,
        why + " While its flash is empty its boot loader keeps asking for the image; serve it with:\n    " +
            *d.r.rescue);
}

void Batch::OnInterrupt(int count, int signal) {
    std::vector<std::pair<std::string, Phase>> inProgress;
    std::size_t commanded = 0;
    {
        std::lock_guard lock(m_lock);
        for (auto& d : m_devices) {
            if (d->done || d->phase == Phase::NotStarted)
                continue;
            inProgress.emplace_back(d->host, d->phase);
            if (d->commanded)
                ++commanded;
            // Only a device that has been sent the command can be abandoned; once it has its
            // image (the reboot check) a second signal merely ends the check.
            if (count >= 2 && d->commanded && d->phase >= Phase::Command && d->phase < Phase::RebootCheck &&
                !d->abandoned) {
                d->abandoned = true;
                d->abandonedAt = d->phase;
                if (m_fleet)
                    m_fleet->Stop(d->address);
            }
        }
    }
    if (m_o.json) {
        for (const auto& [host, phase] : inProgress)
            WriteInterruptLine(host, signal, count, phase);
        if (inProgress.empty())
            WriteInterruptLine("", signal, count, Phase::NotStarted);
    }
    if (count == 1) {
        std::string text =
            std::string("interrupted (") + SignalName(signal) + "): no further device will be ";
        if (commanded == 0)
            text += "contacted; no upgrade command will be sent";
        else
            text +=
                "commanded. The " + std::to_string(commanded) +
                " device(s) already commanded may be erasing their flash: Skelvo will finish serving "
                "them, or they would be left without firmware. A second Ctrl-C (or signal) abandons them.";
        Say("", text);
    }
    m_changed.notify_all();
    m_monitor.Wake();
}

// The handler table's events: raised by the HTTP exchange under way, which runs on the main
// thread, one device at a time.
void Batch::OnHttpEvent(const CliEvent& e) {
    Device* d = nullptr;
    Phase phase = Phase::NotStarted;
    {
        std::lock_guard lock(m_lock);
        d = m_http;
        if (d != nullptr)
            phase = d->phase;
    }
    if (d == nullptr)
        return;
    const bool replyWarning = e.kind == CliEvent::Error && e.code == ERR_RECEIVE && phase == Phase::Command;
    if (m_o.json)
        WriteEventLine(d->host, e, replyWarning, "", d->type, m_o.login);
    if (e.kind == CliEvent::Error) {
        Say(d->host, replyWarning
                         ? "warning: receiving the reply to the upgrade command failed (the connection "
                           "was reset, or no reply came in time). The device may have taken the "
                           "command all the same: Skelvo goes on serving its image."
                         : ErrorText(e.code, d->host, m_o.login));
    } else if (e.code == STATUS_COMMAND_ACCEPTED) {
        Say(d->host, TrimEnd(StepTitle(e.code, PresentedVersion(d->type))));
    }
}

// The TFTP server's events for one device, on the server's thread.
void Batch::OnDeviceEvent(Device& d, bool error, int code, const void* info) {
    CliEvent e{error ? CliEvent::Error : CliEvent::Status, code};
    e.at = Clock::now();
    if (!error && code == STATUS_PROGRESS && info != nullptr) {
        const auto* p = static_cast<const ProgressInfo*>(info);
        e.sent = p->Sent;
        e.total = p->Total;
    } else if (!error && code == STATUS_COMPLETE && info != nullptr) {
        e.unconfirmed = static_cast<const CompletionInfo*>(info)->FinalAckReceived == 0;
    }
    bool writeProgress = false;
    std::string progressText;
    bool shown = false;
    Phase phase;
    {
        std::lock_guard lock(m_lock);
        if (!error) {
            if (code == STATUS_VERIFYING) {
                d.phase = Phase::Verify;
                d.verifyAt = e.at;
            } else if (code == STATUS_ERASING) {
                d.phase = Phase::Erase;
                d.erasingAt = e.at;
            } else if (code == STATUS_PROGRAMMING) {
                d.phase = Phase::Program;
                d.programAt = e.at;
            } else if (code == STATUS_COMPLETE) {
                d.completeAt = e.at;
            } else if (code == STATUS_PROGRESS) {
                if (m_o.json)
                    writeProgress = d.progressLines.Due(e);
                else if (const auto passStart = d.phase == Phase::Program ? d.programAt : d.verifyAt;
                         passStart && d.textProgress.Due(e))
                    progressText =
                        TrimEnd(ProgressBar(e.sent, e.total, 20) + "  " +
                                RateAndTimeLeft(e.sent, e.at - *passStart, std::max(0, e.total - e.sent)));
            }
        }
        phase = d.phase;
        shown = d.errorShown;
        if (error)
            d.errorShown = true;
        if (code != STATUS_PROGRESS || error)
            d.events.push_back(e);
        d.lastEvent = e.at;
    }
    std::string detail;
    if (error && code == ERR_RECEIVE && (phase == Phase::Verify || phase == Phase::Program))
        detail = TransferTimeoutText(phase);
    if (m_o.json && (error || code != STATUS_PROGRESS || writeProgress))
        WriteEventLine(d.host, e, false, detail, d.type, m_o.login);
    if (error) {
        if (!detail.empty())
            Say(d.host, detail);
        else if (!(shown && code == ERR_READ_REQUEST)) // the failure was told already
            Say(d.host, ErrorText(code, d.host, m_o.login));
    } else if (StepNumber(code) != 0) {
        Say(d.host, TrimEnd(StepTitle(code, PresentedVersion(d.type))));
    } else if (!progressText.empty()) {
        Say(d.host, progressText);
    }
    // A block's progress changes nothing the main thread acts on, and waking it for each of
    // thousands of blocks costs a batch half its processor time; it looks every 200 ms anyway.
    if (error || code != STATUS_PROGRESS)
        m_changed.notify_all();
}

void Batch::Probe(Device& d) {
    d.r.startTime = UtcTimestamp();
    d.started = Clock::now();
    {
        std::lock_guard lock(m_lock);
        m_http = &d;
        m_tracing = &d;
        d.phase = Phase::Probe;
    }
    if (m_o.json)
        WriteStepOneLine(d.host);
    else
        Say(d.host, kStep1Title);
    m_monitor.Clear();
    std::optional<net::Ipv4> reached;
    if (!m_o.image.empty()) {
        d.type = SERVER_USER_FILE;
        d.r.model = ModelName(SERVER_USER_FILE);
    } else {
        const ServerDetection detection = DetectServer(d.host.c_str());
        reached = detection.reached;
        d.type = detection.type == SERVER_TOLVA ? SERVER_TOLVA_21XX : detection.type;
        if (d.type != SERVER_UNKNOWN)
            d.r.model = ModelName(d.type);
        if (m_interrupts.Count() > 0)
            return Interrupted(d, Phase::Probe);
        if (d.type == SERVER_UNKNOWN) {
            if (auto err = m_monitor.FirstError())
                return Finish(d, ExitForError(err->code, false));
            return Finish(d, kExitUnknownType, "the device names no known server type; nothing was sent");
        }
    }
    // From here on the device is spoken to at the address its web server was reached on, which is
    // also where the TFTP server expects its requests from.
    const VersionAnswer answer = AskServerVersion(reached ? reached->ToString().c_str() : d.host.c_str());
    {
        std::lock_guard lock(m_lock);
        m_http = nullptr;
        m_tracing = nullptr;
    }
    if (m_interrupts.Count() > 0)
        return Interrupted(d, Phase::Probe);
    if (!answer.version || !answer.reached) {
        if (auto err = m_monitor.FirstError())
            return Finish(d, ExitForError(err->code, false));
        return Finish(d, kExitUnreachable, "the device's version cannot be read");
    }
    d.address = *answer.reached;
    d.contact = d.address.ToString();
    d.current = *answer.version;
    d.r.oldVersion = d.current;
    // Two names of one device: it is upgraded once, under the first.
    for (const auto& other : m_devices)
        if (other.get() != &d && other->image != nullptr && other->address == d.address)
            return Finish(d, kExitBadUsage,
                          "the same device (" + d.contact + ") as " + PrintableText(other->host) +
                              ", which it is upgraded as; nothing was sent");
    if (SelectImage(d.type, &d.image) != ImageSelection::Selected || d.image == nullptr)
        return Finish(d, kExitOther, "no image to serve");
    d.r.imageSha256 = ImageSha(d.type, d.image);
    d.r.newVersion = d.type == SERVER_USER_FILE ? std::string("(user file)") : PresentedVersion(d.type);
    d.decision = Decide(d.type, d.current, m_o.policy);
    std::lock_guard lock(m_lock);
    d.phase = Phase::Confirmation;
}

std::string Batch::ActionText(const Device& d) const {
    return PolicyDecisionName(d.decision);
}

// One question for the whole batch: every probed device with what would be done to it.
bool Batch::Ask(const std::vector<Device*>& toUpgrade) {
    std::size_t hostWidth = 4;
    for (const auto& d : m_devices)
        hostWidth = std::max(hostWidth, PrintableText(d->host).size());
    auto row = [hostWidth](const std::string& host, const std::string& model, const std::string& current,
                           const std::string& next, const std::string& action) {
        char line[512];
        std::snprintf(line, sizeof line, "%-*s  %-13s  %-10s  %-10s  %s\n", static_cast<int>(hostWidth),
                      host.c_str(), model.c_str(), current.c_str(), next.c_str(), action.c_str());
        return std::string(line);
    };
    std::string table = row("HOST", "MODEL", "CURRENT", "NEW", "ACTION");
    for (const auto& d : m_devices) {
        if (d->done || d->image == nullptr)
            continue;
        table += row(PrintableText(d->host), d->r.model, d->current,
                     d->type == SERVER_USER_FILE ? "unknown" : PresentedVersion(d->type), ActionText(*d));
        if (m_o.json)
            JsonLine()
                .Add("event", "confirm")
                .Add("host", d->host)
                .Add("model", d->r.model)
                .Add("current_version", d->current)
                .Add("new_version", d->r.newVersion)
                .Add("action", ActionText(*d))
                .Add("answer", m_o.yes      ? "yes"
                               : m_o.dryRun ? "dry-run"
                                            : "ask")
                .Write(stdout);
    }
    if (!m_o.image.empty())
        table += "\nThe image is the file \"" + PrintableText(m_o.image) +
                 "\"; its version is unknown, so it is not compared with the devices' versions.\n";
    const std::string question =
        "Warning: You have chosen to upgrade the flash image of " + std::to_string(toUpgrade.size()) +
        " Varnek Server(s).\nThis action cannot be interrupted and should only be done if and when "
        "required.\n\n" +
        table + "\nDo you really want to upgrade the flash image of the devices marked \"upgrade\"?";
    if (m_o.dryRun) {
        if (!m_o.json) {
            std::lock_guard lock(m_printLock);
            std::printf("%s\n\n%s\n\n", kConfirmTitle, question.c_str());
            std::fflush(stdout);
        }
        return false;
    }
    if (m_o.yes) {
        if (!m_o.json) {
            std::lock_guard lock(m_printLock);
            std::fprintf(stderr, "\n%s\nconfirmed by --yes\n\n", table.c_str());
            std::fflush(stderr);
        }
        return m_interrupts.Count() == 0;
    }
    ConfirmQuestion q;
    q.title = kConfirmTitle;
    q.text = question;
    const ConfirmAnswer answer = AskOnTerminal(q, [this] { return m_interrupts.Count() > 0; });
    return answer == ConfirmAnswer::Yes && m_interrupts.Count() == 0;
}

void Batch::Command(Device& d) {
    auto context = std::make_shared<TftpDeviceContext>();
    context->image = d.image;
    context->tag = PrintableText(d.host) + ": ";
    context->report = [this, &d](bool error, int code, const void* info) {
        OnDeviceEvent(d, error, code, info);
    };
    FleetDevice device;
    device.address = d.address;
    device.context = context;
    device.firstPass = 1;
    device.onEnd = [this, &d](int) {
        {
            std::lock_guard lock(m_lock);
            d.sessionEnded = true;
        }
        m_changed.notify_all();
    };
    if (d.r.attempt > 1) {
        d.r.startTime = UtcTimestamp();
        d.started = Clock::now();
    }
    {
        std::lock_guard lock(m_lock);
        d.phase = Phase::Command;
        d.commanded = true;
        d.commandAt = Clock::now();
        d.lastEvent = d.commandAt;
        m_http = &d;
        m_tracing = &d;
    }
    // The device is served before it is commanded, so that no request of it can come first.
    if (!m_fleet->Add(device)) {
        std::lock_guard lock(m_lock);
        d.commanded = false;
        m_http = nullptr;
        m_tracing = nullptr;
    }
    if (!d.commanded)
        return Finish(d, kExitOther, "the TFTP server cannot serve the device; nothing was sent");
    m_monitor.Clear();
    const CommandReply reply = SendUpgradeCommand(d.contact.c_str(), m_o.login.c_str(), m_password.c_str(),
                                                  m_o.downloadTrace ? kCommandFormatTrace : kCommandFormat);
    bool fetched;
    {
        std::lock_guard lock(m_lock);
        m_http = nullptr;
        m_tracing = nullptr;
        fetched = d.verifyAt.has_value();
    }
    const bool accepted = m_monitor.Has(CliEvent::Status, STATUS_COMMAND_ACCEPTED);
    if (reply.result != 1 || !accepted) {
        m_fleet->Stop(d.address);
        if (auto err = m_monitor.FirstError())
            return Finish(d, ExitForError(err->code, false));
        return Finish(d, kExitUnreachable, "the upgrade command could not be sent");
    }
    if (reply.status && reply.status->code >= 400 && !fetched) {
        m_fleet->Stop(d.address);
        if (reply.status->code == 401)
            return Finish(d, kExitLogin, ErrorText(ERR_LOGIN, d.host, m_o.login));
        d.r.commandStatus = reply.status->Text();
        return Finish(d, kExitCommandRefused,
                      "the device refused the upgrade command: " + reply.status->Text() +
                          ". Nothing was served; its firmware is unchanged.");
    }
    d.r.commanded = true;
}

void Batch::StartRebootCheck(Device& d, int seconds) {
    {
        std::lock_guard lock(m_lock);
        d.phase = Phase::RebootCheck;
    }
    d.rebootCheck = true;
    d.rebootSeconds = seconds;
    d.rebootDeadline = Clock::now() + std::chrono::seconds(seconds);
    d.nextPoll = Clock::now();
    Say(d.host, "waiting up to " + std::to_string(seconds) + " s for the device to come back");
}

void Batch::PollReboot(Device& d) {
    const std::optional<std::string> expected =
        d.type == SERVER_USER_FILE ? std::nullopt : std::optional<std::string>(PresentedVersion(d.type));
    const std::optional<std::string> before =
        d.current != kNotKnown ? std::optional(d.current) : std::nullopt;
    const bool stopped = m_interrupts.Count() >= 2;
    bool ok = false;
    if (!stopped) {
        if (Clock::now() < d.nextPoll)
            return;
        m_monitor.SetMuted(true);
        const std::optional<std::string> v = QueryServerVersion(d.contact.c_str());
        m_monitor.SetMuted(false);
        d.nextPoll = Clock::now() + kRebootPoll;
        if (!v) {
            d.wentAway = true;
        } else if (*v != kNotKnown) {
            d.lastVersion = v;
            // As in the single-device check: only an answer after a restart counts.
            const bool restarted = d.wentAway || (before && *v != *before);
            ok = restarted && (!expected || *v == *expected);
        }
        if (!ok && Clock::now() < d.rebootDeadline)
            return;
    }
    // A restart quicker than one poll goes unseen; then the last answer decides.
    ok = ok || (d.lastVersion && (!expected || *d.lastVersion == *expected));
    d.rebootCheck = false;
    d.r.versionAfterReboot = d.lastVersion;
    if (m_o.json)
        WriteRebootLine(d.host, d.lastVersion, expected, ok);
    if (ok) {
        Say(d.host, "back up, running version " + d.lastVersion.value_or("?"));
        if (d.unconfirmedEnd)
            Say(d.host, TrimEnd(SuccessTitle(d.host, PresentedVersion(d.type))));
        return Finish(d, kExitComplete);
    }
    if (stopped)
        return Interrupted(d, Phase::RebootCheck);
    if (d.lastVersion)
        Say(d.host, "the device answers with version " + *d.lastVersion + ", not " + expected.value_or("?"));
    else
        Say(d.host, "the device did not come back within " + std::to_string(d.rebootSeconds) + " s");
    if (d.unconfirmedEnd)
        OfferRescue(d, "if the device is still without firmware after all (it asks for its image again "
                       "instead of starting),");
    Finish(d, kExitReboot);
}

// The main thread's look at a commanded device: its end, its time-outs, its reboot check.
void Batch::Check(Device& d) {
    if (d.rebootCheck)
        return PollReboot(d);
    std::vector<CliEvent> events;
    bool ended;
    bool abandoned;
    Phase abandonedAt;
    Clock::time_point lastEvent;
    bool verifying, erasing, programming;
    {
        std::lock_guard lock(m_lock);
        events = d.events;
        ended = d.sessionEnded;
        abandoned = d.abandoned;
        abandonedAt = d.abandonedAt;
        lastEvent = d.lastEvent;
        verifying = d.verifyAt.has_value();
        programming = d.programAt.has_value();
        erasing = d.erasingAt.has_value() && !programming;
    }
    if (abandoned) {
        d.r.result = "abandoned";
        d.r.phase = PhaseName(abandonedAt);
        OfferRescue(d, std::string("abandoned (") + SignalName(m_interrupts.LastSignal()) +
                           "): Skelvo has stopped serving the device during the " + PhaseName(abandonedAt) +
                           " step. If it had begun erasing its flash, it is left without firmware.");
        return Finish(d, m_interrupts.ExitCode());
    }
    for (const auto& e : events) {
        if (e.kind == CliEvent::Error) {
            const int code = ExitForError(e.code, true);
            if (code == kExitNoProgrammingRequest) {
                const int checked = CheckImageRejected(
                    d.contact, d.r.oldVersion.value_or(kNotKnown), m_monitor,
                    [this] { return m_interrupts.Count() >= 2; },
                    [this, &d](const std::string& text) { Say(d.host, text); });
                if (checked == kExitNoProgrammingRequest)
                    OfferRescue(d,
                                "the device does not answer with its old version: it may have failed while "
                                "erasing its flash and be left without firmware.");
                return Finish(d, checked);
            }
            if (code == kExitTransfer && programming)
                OfferRescue(d,
                            "the programming download failed after the device had erased its flash: it may "
                            "be left without firmware.");
            return Finish(d, code);
        }
        if (e.kind == CliEvent::Status && e.code == STATUS_COMPLETE) {
            if (e.unconfirmed) {
                // The device went silent after the last block: it very probably programmed it all
                // and restarted, so only its coming back with the new version makes this a success.
                Say(d.host, "the device did not acknowledge the last block. It very probably holds the whole "
                            "image; checking that it restarts with the new version");
                d.unconfirmedEnd = true;
                return StartRebootCheck(d, m_o.verifyReboot.value_or(kDefaultRebootWait));
            }
            Say(d.host, TrimEnd(SuccessTitle(d.host, PresentedVersion(d.type))));
            if (m_o.verifyReboot)
                return StartRebootCheck(d, *m_o.verifyReboot);
            return Finish(d, kExitComplete);
        }
    }
    if (ended) {
        if (programming)
            OfferRescue(d, "the TFTP server ended before the programming download was complete: the device "
                           "may be left without firmware.");
        return Finish(d, kExitTransfer,
                      verifying ? "the TFTP server ended before the upgrade was complete"
                                : "the TFTP server ended without serving the image");
    }
    const auto now = Clock::now();
    if (!verifying) {
        // Nothing is at stake before the device's first request: its flash is untouched.
        if (now >= d.commandAt + std::chrono::seconds(m_o.fetchTimeout)) {
            m_fleet->Stop(d.address);
            return Finish(d, kExitNotFetched,
                          "the device did not ask for the image within " + std::to_string(m_o.fetchTimeout) +
                              " s");
        }
        return;
    }
    // The server bounds the erase wait (--programming-wait) and a silent transfer itself; this only
    // backs it up.
    const auto bound = std::chrono::seconds(m_o.idleTimeout) +
                       (erasing ? std::chrono::seconds(m_o.programmingWait) : std::chrono::seconds(0));
    if (now >= lastEvent + bound) {
        m_fleet->Stop(d.address);
        if (programming)
            OfferRescue(d,
                        "the programming download stalled after the device had erased its flash: it may be "
                        "left without firmware.");
        Finish(d, kExitTransfer, "nothing happened for " + std::to_string(bound.count()) + " s; giving up");
    }
}

int Batch::Run() {
    TftpServerOptions tftp;
    tftp.port = m_o.tftpPort;
    tftp.programmingWait = std::chrono::seconds(m_o.programmingWait);
    // The port is held from before the first probe until the last device is served.
    TftpSocket socket = OpenTftpSocket(tftp);
    if (!socket) {
        const int error = net::LastError();
        Say("", "skelvo-cli upgrade: " + PortFailure(m_o.tftpPort, error) + "; no device was contacted");
        for (auto& d : m_devices)
            Finish(*d, kExitPort);
    } else {
        m_fleet = std::make_unique<TftpFleetServer>(std::move(socket), tftp);
        SetHttpPort(m_o.httpPort);
        ResetUpgradeRecord();
        if (!m_o.image.empty() && !LoadUserImage(m_o.image)) {
            for (auto& d : m_devices)
                Finish(*d, kExitBadUsage, "cannot read the image file \"" + PrintableText(m_o.image) + "\"");
        }
    }

    // Each device in turn: its model, its version, the policy's decision.
    for (auto& d : m_devices) {
        if (d->done)
            continue;
        if (m_interrupts.Count() > 0)
            Interrupted(*d, Phase::NotStarted);
        else
            Probe(*d);
    }
    // Probes that failed and may be tried again, before the one question.
    for (;;) {
        const bool waiting = std::any_of(m_devices.begin(), m_devices.end(), [](const auto& d) {
            return !d->done && d->retryAt && d->image == nullptr;
        });
        if (!waiting)
            break;
        for (Device* d : DueProbeRetries())
            Probe(*d);
        if (m_interrupts.Count() > 0)
            for (auto& d : m_devices)
                if (!d->done && d->retryAt && d->image == nullptr)
                    Interrupted(*d, Phase::NotStarted);
    }
    std::vector<Device*> toUpgrade;
    for (auto& d : m_devices)
        if (!d->done && d->decision == PolicyDecision::Upgrade)
            toUpgrade.push_back(d.get());
    bool hasProbed = false;
    for (auto& d : m_devices)
        hasProbed = hasProbed || (!d->done && d->image != nullptr);
    const bool confirmed =
        hasProbed && m_interrupts.Count() == 0 && (!toUpgrade.empty() || m_o.dryRun) && Ask(toUpgrade);
    // The devices the policy leaves alone.
    for (auto& d : m_devices) {
        if (d->done || d->decision == PolicyDecision::Upgrade)
            continue;
        std::string message;
        const int exitCode = PolicyExit(d->decision, d->current, d->type, !m_o.image.empty(), message);
        d->r.result = PolicyDecisionName(d->decision);
        Finish(*d, exitCode, (m_o.dryRun ? "dry run: " : "") + message);
    }
    for (Device* d : toUpgrade) {
        if (m_o.dryRun) {
            d->r.result = "dry-run";
            Finish(*d, kExitComplete);
        } else if (m_interrupts.Count() > 0) {
            Interrupted(*d, Phase::Confirmation);
        } else if (!confirmed) {
            Finish(*d, kExitNotConfirmed, "not confirmed; nothing was sent");
        } else {
            m_queue.push_back(d);
        }
    }

    // The commands, one at a time, each when fewer than --parallel devices are being served.
    for (;;) {
        std::vector<Device*> active;
        for (auto& d : m_devices)
            if (d->commanded && !d->done)
                active.push_back(d.get());
        if (m_interrupts.Count() > 0) {
            const std::deque<Device*> left = std::exchange(m_queue, {});
            for (Device* d : left)
                Interrupted(*d, Phase::NotStarted);
        }
        if (m_queue.empty() && active.empty())
            break;
        // The first device in the queue that is not waiting for a retry.
        const auto now = Clock::now();
        const auto next = std::find_if(m_queue.begin(), m_queue.end(),
                                       [now](const Device* d) { return !d->retryAt || *d->retryAt <= now; });
        if (next != m_queue.end() && active.size() < static_cast<std::size_t>(m_o.parallel)) {
            Device* d = *next;
            m_queue.erase(next);
            d->retryAt.reset();
            Command(*d);
            continue;
        }
        for (Device* d : active)
            Check(*d);
        std::unique_lock lock(m_lock);
        m_changed.wait_for(lock, std::chrono::milliseconds(200));
    }
    if (m_fleet)
        m_fleet->Stop();

    std::vector<HostResult> results;
    int exitCode = kExitComplete;
    for (auto& d : m_devices) {
        if (exitCode == kExitComplete && d->r.exitCode != kExitComplete)
            exitCode = d->r.exitCode;
        results.push_back(d->r);
    }
    if (!m_o.json)
        PrintSummary(results);
    return exitCode;
}

} // namespace

int RunBatch(const UpgradeOptions& o, const std::string& password, InterruptWatch& interrupts,
             AuditLog& audit) {
    Batch batch(o, password, interrupts, audit);
    return batch.Run();
}

} // namespace skelvo::cli
