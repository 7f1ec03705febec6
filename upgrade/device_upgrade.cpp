#include "upgrade/device_upgrade.h"

#include "engine/messages.h"
#include "engine/sha256.h"
#include "engine/trace.h"
#include "engine/upgrade_record.h"
#include "upgrade/policy.h"
#include "upgrade/records.h"

#include <algorithm>
#include <thread>

namespace skelvo::upgrade {
namespace {

using Clock = std::chrono::steady_clock;

// Execute's answer when an abandon ended the wait.
constexpr int kAbandonedCode = -1;
// How often a device in its reboot check is asked for its version.
constexpr auto kRebootPoll = std::chrono::milliseconds(250);
// How long a stopped session may take to end before the device is given up on.
constexpr auto kSessionEndBound = std::chrono::seconds(5);

constexpr char kCommandReplyWarning[] =
    "warning: receiving the reply to the upgrade command failed (the connection was reset, or no "
    "reply came in time). The device may have taken the command all the same: Skelvo goes on "
    "serving its image.";

long long Millis(Clock::duration d) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(d).count();
}

std::string Seconds(std::chrono::seconds s) {
    return std::to_string(s.count());
}

// The exit code of an engine error event; workerStarted once the image is being served.
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
std::string TransferTimeoutText(Phase phase, std::chrono::milliseconds giveUp) {
    std::string text = "the device stopped acknowledging blocks of the " +
                       std::string(phase == Phase::Program ? "programming" : "verify") +
                       " download: nothing came back for " +
                       std::to_string(std::chrono::ceil<std::chrono::seconds>(giveUp).count()) +
                       " s while Skelvo resent the block.";
    if (phase == Phase::Program)
        text += " It had erased its flash and may be left without firmware.";
    else
        text += " It had not begun erasing, so its firmware is unchanged.";
    return text;
}

// The Continue sequence's trace line for what the Server line named.
const char* FoundTrace(int detected) {
    switch (detected) {
    case SERVER_DRAVENHOLT:
        return "Found an Dravenholt-II.\n";
    case SERVER_TOLVA:
        return "Found an Tolva.\n";
    case SERVER_TOLVA_21XX:
        return "Found an Tolva-21xx.\n";
    case SERVER_TOLVA_22XX:
        return "Found an Tolva-22xx.\n";
    default:
        return nullptr;
    }
}

} // namespace

DeviceUpgrade::DeviceUpgrade(UpgradeTarget target, const UpgradeSettings& settings, UpgradeSink& sink)
    : m_target(std::move(target)), m_settings(settings), m_sink(sink) {
    m_result.host = m_target.host;
    m_result.model = ModelName(SERVER_UNKNOWN);
    m_result.imageSource = settings.userImage != nullptr ? settings.imagePath : "built-in";
    m_result.startTime = UtcTimestamp();
    m_started = Clock::now();
}

DeviceUpgrade::~DeviceUpgrade() = default;

Phase DeviceUpgrade::phase() const {
    std::lock_guard lock(m_lock);
    return m_phase;
}

bool DeviceUpgrade::commanded() const {
    std::lock_guard lock(m_lock);
    return m_commanded;
}

bool DeviceUpgrade::ended() const {
    std::lock_guard lock(m_lock);
    return m_ended;
}

HostResult DeviceUpgrade::result() const {
    std::lock_guard lock(m_lock);
    return m_result;
}

void DeviceUpgrade::SetPhase(Phase phase) {
    std::lock_guard lock(m_lock);
    m_phase = phase;
}

HttpCall DeviceUpgrade::Call(const std::string& host) {
    HttpCall call;
    call.host = host;
    call.port = m_target.httpPort;
    call.bounds = m_settings.http;
    call.cancel = &m_cancel;
    call.events = [this](bool error, int code) { OnHttpEvent(error, code); };
    if (m_settings.tagTrace)
        call.traceTag = PrintableText(m_target.host) + ": ";
    return call;
}

void DeviceUpgrade::OnHttpEvent(bool error, int code) {
    DeviceEvent e;
    e.error = error;
    e.code = code;
    e.at = Clock::now();
    {
        std::lock_guard lock(m_lock);
        if (m_muted)
            return;
        if (!error && code == STATUS_COMMAND_ACCEPTED)
            m_accepted = true;
        if (error && !m_firstHttpError)
            m_firstHttpError = code;
        // The device may have begun its download before the reset reached us, so the phase may
        // already be past the command while its exchange still runs.
        e.replyWarning = error && code == ERR_RECEIVE && m_commandExchange && !m_accepted;
        if (e.replyWarning)
            e.detail = kCommandReplyWarning;
        e.phase = m_commandExchange ? Phase::Command : m_phase;
    }
    m_sink.Event(*this, e);
}

void DeviceUpgrade::OnTftpEvent(bool error, int code, const void* info) {
    DeviceEvent e;
    e.error = error;
    e.code = code;
    e.at = Clock::now();
    if (!error && code == STATUS_PROGRESS && info != nullptr) {
        const auto* p = static_cast<const ProgressInfo*>(info);
        e.sent = p->Sent;
        e.total = p->Total;
    } else if (!error && code == STATUS_COMPLETE && info != nullptr) {
        e.unconfirmed = static_cast<const CompletionInfo*>(info)->FinalAckReceived == 0;
    }
    std::optional<Phase> reached;
    {
        std::lock_guard lock(m_lock);
        if (!error) {
            switch (code) {
            case STATUS_VERIFYING:
                m_phase = Phase::Verify;
                m_verifyAt = e.at;
                reached = m_phase;
                break;
            case STATUS_ERASING:
                m_phase = Phase::Erase;
                m_erasingAt = e.at;
                reached = m_phase;
                break;
            case STATUS_PROGRAMMING:
                m_phase = Phase::Program;
                m_programAt = e.at;
                reached = m_phase;
                break;
            case STATUS_PROGRESS:
                if (m_phase == Phase::Program && e.sent >= e.total)
                    m_lastProgramBlockSent = true;
                break;
            case STATUS_COMPLETE:
                m_completeAt = e.at;
                m_complete = e;
                break;
            default:
                break;
            }
        } else {
            if (code == ERR_RECEIVE && (m_phase == Phase::Verify || m_phase == Phase::Program))
                e.detail = TransferTimeoutText(m_phase, m_settings.tftp.retransmit.giveUp);
            // ERR_READ_REQUEST follows the transfer's own error, which has told the failure.
            e.told = m_errorTold && code == ERR_READ_REQUEST;
            m_errorTold = true;
            if (!m_tftpError)
                m_tftpError = e;
        }
        e.phase = m_phase;
        m_lastEvent = e.at;
        if (m_holdTftpEvents) {
            m_heldEvents.push_back(e);
            return;
        }
    }
    Pass(e, reached);
    // A block's progress changes nothing the device's thread acts on, and waking it for each of
    // thousands of blocks would cost the run much of its processor time.
    if (error || code != STATUS_PROGRESS)
        m_changed.notify_all();
}

void DeviceUpgrade::Pass(const DeviceEvent& e, std::optional<Phase> reached) {
    if (reached)
        m_sink.Reached(*this, *reached);
    m_sink.Event(*this, e);
}

void DeviceUpgrade::ReleaseHeldEvents() {
    for (;;) {
        std::vector<DeviceEvent> held;
        {
            std::lock_guard lock(m_lock);
            if (m_heldEvents.empty()) {
                m_holdTftpEvents = false;
                break;
            }
            held.swap(m_heldEvents);
        }
        for (const DeviceEvent& e : held) {
            std::optional<Phase> reached;
            if (!e.error &&
                (e.code == STATUS_VERIFYING || e.code == STATUS_ERASING || e.code == STATUS_PROGRAMMING))
                reached = e.phase;
            Pass(e, reached);
        }
    }
    m_changed.notify_all();
}

void DeviceUpgrade::OnSessionEnd() {
    {
        std::lock_guard lock(m_lock);
        m_sessionEnded = true;
    }
    m_changed.notify_all();
}

bool DeviceUpgrade::Probe() {
    SetPhase(Phase::Probe);
    m_sink.Began(*this);
    const auto halfWay = [this](const std::string& state) {
        Fail(kExitUnended, "the journal holds an upgrade of this device that did not end (left at \"" +
                               state + "\"); it may be half-way: run skelvo-cli recover (or give --force)");
        return false;
    };
    if (auto it = m_settings.unendedHosts.find(m_target.host); it != m_settings.unendedHosts.end())
        return halfWay(it->second);
    const std::string tag = m_settings.tagTrace ? PrintableText(m_target.host) + ": " : std::string();
    TraceTagged(tag, "%s\n", MaskedFieldsTrace(m_target.host.c_str(), m_target.login.c_str()).c_str());
    std::optional<net::Ipv4> reached;
    if (m_settings.userImage != nullptr) {
        TraceTagged(tag, "Using a file....\n");
        m_type = SERVER_USER_FILE;
        std::lock_guard lock(m_lock);
        m_result.model = ModelName(SERVER_USER_FILE);
    } else {
        const ServerDetection detection = DetectServer(Call(m_target.host));
        if (detection.failure == HttpFailure::Cancelled) {
            Interrupted(Phase::Probe, Signal());
            return false;
        }
        m_detected = detection.type;
        m_type = detection.type == SERVER_TOLVA ? SERVER_TOLVA_21XX : detection.type;
        if (m_type != SERVER_UNKNOWN) {
            std::lock_guard lock(m_lock);
            m_result.model = ModelName(m_type);
        }
        if (const char* found = FoundTrace(m_detected))
            TraceTagged(tag, "%s", found);
        if (m_type == SERVER_UNKNOWN) {
            TraceTagged(tag, "Error getting server type.\n");
            const std::string bound = BoundText(detection.failure, HttpExchange::Probe, m_settings.http);
            std::optional<int> error;
            {
                std::lock_guard lock(m_lock);
                error = m_firstHttpError;
            }
            if (!bound.empty())
                Fail(kExitUnreachable, bound);
            else if (error)
                Fail(ExitForError(*error, false), ErrorText(*error, m_target.host, m_target.login));
            else
                End(kExitUnknownType, "the device names no known server type; nothing was sent");
            return false;
        }
        reached = detection.reached;
    }
    const char* digits = ImageVersion(m_type);
    TraceTagged(tag, "\nNew flash image version is %s\n",
                m_type == SERVER_USER_FILE ? kUserFileVersion
                : digits != nullptr        ? digits
                                           : "Error");
    // From here on the device is spoken to at the address its web server was reached on, which is
    // also where the TFTP server expects its requests from.
    const VersionAnswer answer = AskServerVersion(Call(reached ? reached->ToString() : m_target.host));
    if (answer.failure == HttpFailure::Cancelled) {
        Interrupted(Phase::Probe, Signal());
        return false;
    }
    if (const std::string bound = BoundText(answer.failure, HttpExchange::Version, m_settings.http);
        !bound.empty()) {
        Fail(kExitUnreachable, bound);
        return false;
    }
    if (!answer.version || !answer.reached) {
        std::optional<int> error;
        {
            std::lock_guard lock(m_lock);
            error = m_firstHttpError;
        }
        if (error)
            Fail(ExitForError(*error, false), ErrorText(*error, m_target.host, m_target.login));
        else
            Fail(kExitUnreachable, "the device's version cannot be read");
        return false;
    }
    m_address = *answer.reached;
    m_contact = m_address->ToString();
    if (auto it = m_settings.unendedAddresses.find(m_contact); it != m_settings.unendedAddresses.end())
        return halfWay(it->second);
    m_current = *answer.version;
    {
        std::lock_guard lock(m_lock);
        m_result.oldVersion = m_current;
        m_result.address = m_contact;
    }
    const ImageDescriptor* image = m_type == SERVER_USER_FILE ? m_settings.userImage : nullptr;
    if (m_type != SERVER_USER_FILE && SelectImage(m_type, &image) != ImageSelection::Selected)
        image = nullptr;
    if (image == nullptr || image->Data == nullptr) {
        Fail(kExitOther, m_type == SERVER_USER_FILE ? "the image file could not be read; nothing was sent"
                                                    : "no image to serve");
        return false;
    }
    if (image->Size > kTftpMaxImageSize) {
        Fail(kExitBadUsage,
             "the image of " + std::to_string(image->Size) +
                 " bytes is larger than a TFTP transfer in 512-byte blocks can number (at most " +
                 std::to_string(kTftpMaxImageSize) + " bytes); nothing was sent");
        return false;
    }
    m_image = image;
    {
        std::lock_guard lock(m_lock);
        m_result.imageSha256 = Digest(*image);
        m_result.newVersion =
            m_type == SERVER_USER_FILE ? std::string("(user file)") : PresentedVersion(m_type);
    }
    m_decision = Decide(m_type, m_current, m_settings.policy);
    m_question = ComposeQuestion(m_target.host, m_current, m_type);
    TraceTagged(tag, "\n%s is at version-%s\n", PrintableText(m_target.host).c_str(), m_current.c_str());
    TraceTagged(tag, "\nDisplay version is %s\n", m_question.newVersion.c_str());
    SetPhase(Phase::Confirmation);
    return true;
}

void DeviceUpgrade::Fail(int exitCode, const std::string& message) {
    End(exitCode, message);
}

void DeviceUpgrade::End(int exitCode, const std::string& message, const std::string& resultName) {
    if (!message.empty())
        m_sink.Say(*this, message);
    std::lock_guard lock(m_lock);
    m_result.exitCode = exitCode;
    m_result.result = resultName.empty() ? ResultName(exitCode) : resultName;
    if (!message.empty() && exitCode != kExitComplete)
        m_result.reason = message;
    m_ended = true;
}

void DeviceUpgrade::Interrupted(Phase phase, int signal) {
    std::string message;
    if (phase == Phase::NotStarted) {
        // Nothing was said about a device that was never begun.
    } else if (phase < Phase::Command) {
        message = std::string("interrupted (") + SignalName(signal) + ") at the " + PhaseName(phase) +
                  " step; no upgrade command was sent";
    } else {
        message = std::string("interrupted (") + SignalName(signal) +
                  ") during the reboot check; the device was served its whole image";
    }
    End(128 + signal, message, "interrupted");
    std::lock_guard lock(m_lock);
    m_result.phase = PhaseName(phase);
}

void DeviceUpgrade::NextAttempt() {
    std::lock_guard lock(m_lock);
    HostResult next;
    next.host = m_result.host;
    next.model = m_result.model;
    next.imageSource = m_result.imageSource;
    next.attempt = m_result.attempt + 1;
    next.startTime = UtcTimestamp();
    if (m_image != nullptr) {
        next.oldVersion = m_result.oldVersion;
        next.newVersion = m_result.newVersion;
        next.imageSha256 = m_result.imageSha256;
    }
    m_result = next;
    m_started = Clock::now();
    m_ended = false;
    m_commanded = false;
    m_accepted = false;
    m_firstHttpError.reset();
    m_tftpError.reset();
    m_complete.reset();
    m_errorTold = false;
    m_lastProgramBlockSent = false;
    m_verifyAt.reset();
    m_erasingAt.reset();
    m_programAt.reset();
    m_completeAt.reset();
    m_phase = m_image != nullptr ? Phase::Confirmation : Phase::NotStarted;
}

void DeviceUpgrade::Stamp() {
    std::lock_guard lock(m_lock);
    if (m_verifyAt && m_erasingAt)
        m_result.verifyMs = Millis(*m_erasingAt - *m_verifyAt);
    if (m_erasingAt && m_programAt)
        m_result.eraseMs = Millis(*m_programAt - *m_erasingAt);
    if (m_programAt && m_completeAt)
        m_result.programMs = Millis(*m_completeAt - *m_programAt);
    m_result.durationMs = Millis(Clock::now() - m_started);
}

void DeviceUpgrade::Publish() {
    Stamp();
    m_sink.Finished(*this, result());
}

void DeviceUpgrade::Cancel(int signal) {
    {
        std::lock_guard lock(m_lock);
        if (m_commanded || m_phase >= Phase::Command)
            return;
        m_signal = signal;
        m_cancelled = true;
    }
    m_cancel.Request();
}

void DeviceUpgrade::Abandon(int signal) {
    TftpFleetServer* fleet = nullptr;
    bool cancelExchange = false;
    {
        std::lock_guard lock(m_lock);
        if (m_phase < Phase::Command || m_abandoned)
            return;
        m_signal = signal;
        m_abandoned = true;
        m_abandonedAt = m_phase;
        fleet = m_phase < Phase::RebootCheck ? m_fleet : nullptr;
        cancelExchange = true;
    }
    if (fleet != nullptr && m_address)
        fleet->Stop(*m_address);
    if (cancelExchange)
        m_cancel.Request();
    m_changed.notify_all();
}

int DeviceUpgrade::Signal() const {
    std::lock_guard lock(m_lock);
    return m_signal;
}

bool DeviceUpgrade::AbandonRequested() const {
    std::lock_guard lock(m_lock);
    return m_abandoned;
}

void DeviceUpgrade::StopSession(TftpFleetServer& fleet) {
    if (!m_address)
        return;
    fleet.Stop(*m_address);
    std::unique_lock lock(m_lock);
    m_changed.wait_for(lock, kSessionEndBound, [this] { return m_sessionEnded; });
}

void DeviceUpgrade::Execute(TftpFleetServer& fleet) {
    auto context = std::make_shared<TftpDeviceContext>();
    context->image = m_image;
    if (m_settings.tagTrace)
        context->tag = PrintableText(m_target.host) + ": ";
    context->report = [this](bool error, int code, const void* info) { OnTftpEvent(error, code, info); };
    FleetDevice device;
    device.address = *m_address;
    device.context = context;
    device.firstPass = 1;
    device.onEnd = [this](int) { OnSessionEnd(); };
    // A request held for a transfer slot is the device's first request: its fetch wait is over.
    device.onWait = [this](bool started, std::chrono::milliseconds) {
        std::lock_guard lock(m_lock);
        if (!started)
            m_heldForSlot = true;
        m_lastEvent = Clock::now();
        m_changed.notify_all();
    };
    device.onSummary = [this](const FleetDeviceSummary& summary) {
        std::lock_guard lock(m_lock);
        if (summary.waited.count() > 0)
            m_result.queuedMs = summary.waited.count();
    };
    {
        std::unique_lock lock(m_lock);
        if (m_cancelled) {
            const int signal = m_signal;
            lock.unlock();
            return Interrupted(Phase::Confirmation, signal);
        }
        m_phase = Phase::Command;
        m_commandAt = Clock::now();
        m_lastEvent = m_commandAt;
        m_sessionEnded = false;
        m_heldForSlot = false;
        m_fleet = &fleet;
        m_holdTftpEvents = true;
        if (m_result.attempt > 1) {
            m_result.startTime = UtcTimestamp();
            m_started = m_commandAt;
        }
    }
    // What a crash would leave is recorded first; a device whose record cannot be kept is not
    // commanded.
    if (!m_sink.Commanding(*this)) {
        {
            std::lock_guard lock(m_lock);
            m_sessionEnded = true;
            m_holdTftpEvents = false;
        }
        return Fail(kExitOther, "the journal cannot be written; nothing was sent");
    }
    // The device is served before it is commanded, so that no request of it can come first.
    if (!fleet.Add(device)) {
        {
            std::lock_guard lock(m_lock);
            m_sessionEnded = true;
            m_holdTftpEvents = false;
        }
        return Fail(kExitOther, "the TFTP server cannot serve the device; nothing was sent");
    }
    {
        std::lock_guard lock(m_lock);
        m_commandExchange = true;
    }
    const CommandReply reply =
        SendUpgradeCommand(Call(m_contact), m_target.login.c_str(), m_target.password.c_str(),
                           m_target.downloadTrace ? kCommandFormatTrace : kCommandFormat);
    {
        std::lock_guard lock(m_lock);
        m_commandExchange = false;
    }
    ReleaseHeldEvents();
    bool fetched;
    std::optional<int> error;
    {
        std::lock_guard lock(m_lock);
        fetched = m_verifyAt.has_value();
        error = m_firstHttpError;
    }
    if (reply.failure == HttpFailure::Cancelled && AbandonRequested()) {
        Abandoned();
        return;
    }
    if (reply.result != 1 || !m_accepted) {
        StopSession(fleet);
        if (error)
            return Fail(ExitForError(*error, false), ErrorText(*error, m_target.host, m_target.login));
        return Fail(kExitUnreachable, "the upgrade command could not be sent");
    }
    if (const std::string bound = BoundText(reply.failure, HttpExchange::Command, m_settings.http);
        !bound.empty() && !fetched) {
        // The device may have taken the command, so it is never commanded again; not serving it
        // keeps its flash as it is, since it erases only after it has verified a download.
        StopSession(fleet);
        {
            std::lock_guard lock(m_lock);
            m_result.commanded = true;
        }
        return Fail(kExitUnreachable, bound + "; the device is not served, so its firmware is unchanged");
    }
    if (reply.status && reply.status->code >= 400 && !fetched) {
        StopSession(fleet);
        if (reply.status->code == 401)
            return Fail(kExitLogin, ErrorText(ERR_LOGIN, m_target.host, m_target.login));
        {
            std::lock_guard lock(m_lock);
            m_result.commandStatus = reply.status->Text();
        }
        return Fail(kExitCommandRefused, "the device refused the upgrade command: " + reply.status->Text() +
                                             ". Nothing was served; its firmware is unchanged.");
    }
    {
        std::lock_guard lock(m_lock);
        m_commanded = true;
        m_result.commanded = true;
    }
    const int outcome = WaitForPasses();
    StopSession(fleet);
    {
        std::lock_guard lock(m_lock);
        m_fleet = nullptr;
    }
    AfterPasses(outcome);
}

int DeviceUpgrade::WaitForPasses() {
    std::unique_lock lock(m_lock);
    const auto fetchDeadline = m_commandAt + m_settings.fetchTimeout;
    for (;;) {
        if (m_abandoned)
            return kAbandonedCode;
        if (m_tftpError)
            return ExitForError(m_tftpError->code, true);
        if (m_complete)
            return kExitComplete;
        const auto now = Clock::now();
        if (m_sessionEnded) {
            const bool started = m_verifyAt.has_value();
            lock.unlock();
            Fail(kExitTransfer, started ? "the TFTP server ended before the upgrade was complete"
                                        : "the TFTP server ended without serving the image");
            return kExitTransfer;
        }
        Clock::time_point deadline;
        if (!m_verifyAt && m_heldForSlot) {
            // Held for a transfer slot, in order; the server serves it as a slot frees up.
            deadline = m_lastEvent + m_settings.idleTimeout;
            if (now >= deadline) {
                lock.unlock();
                Fail(kExitNotFetched, "the device's request waited " + Seconds(m_settings.idleTimeout) +
                                          " s for a free transfer slot");
                return kExitNotFetched;
            }
        } else if (!m_verifyAt) {
            // Nothing is at stake before the device's first request: its flash is untouched.
            deadline = fetchDeadline;
            if (now >= deadline) {
                lock.unlock();
                Fail(kExitNotFetched, "the device did not ask for the image within " +
                                          Seconds(m_settings.fetchTimeout) + " s");
                return kExitNotFetched;
            }
        } else {
            // While the device erases, nothing happens for up to 45 s by design; the server bounds
            // that wait itself (the programming wait) and raises ERR_NO_PROGRAMMING_REQUEST, and
            // during a transfer it bounds the silence itself. These waits only back it up.
            const bool erasing = m_erasingAt && !m_programAt;
            const auto bound =
                m_settings.idleTimeout + (erasing ? m_settings.programmingWait : std::chrono::seconds(0));
            deadline = m_lastEvent + bound;
            if (now >= deadline) {
                const bool programming = m_programAt.has_value();
                lock.unlock();
                if (programming)
                    OfferRescue(
                        "the programming download stalled after the device had erased its flash: it may be "
                        "left without firmware.");
                Fail(kExitTransfer, "nothing happened for " + Seconds(bound) + " s; giving up");
                return kExitTransfer;
            }
        }
        m_changed.wait_until(lock, std::min(deadline, now + std::chrono::seconds(1)));
    }
}

void DeviceUpgrade::Abandoned() {
    Phase at;
    int signal;
    {
        std::lock_guard lock(m_lock);
        at = m_abandonedAt;
        signal = m_signal;
        m_result.phase = PhaseName(at);
    }
    OfferRescue(std::string("abandoned (") + SignalName(signal) +
                "): Skelvo has stopped serving the device during the " + PhaseName(at) +
                " step. If it had begun erasing its flash, it is left without firmware.");
    End(128 + signal, {}, "abandoned");
}

void DeviceUpgrade::AfterPasses(int outcome) {
    if (outcome == kAbandonedCode)
        return Abandoned();
    if (ended())
        return;
    bool programming;
    bool lastBlockSent;
    bool unconfirmed;
    std::string firstError;
    {
        std::lock_guard lock(m_lock);
        programming = m_programAt.has_value();
        lastBlockSent = m_lastProgramBlockSent;
        unconfirmed = m_complete && m_complete->unconfirmed;
        if (m_tftpError)
            firstError = m_tftpError->detail.empty()
                             ? ErrorText(m_tftpError->code, m_target.host, m_target.login)
                             : m_tftpError->detail;
    }
    const std::string success = TrimEnd(SuccessTitle(m_target.host, PresentedVersion(m_type)));
    const auto wait = m_settings.verifyReboot.value_or(m_settings.rebootWait);

    if (outcome == kExitNoProgrammingRequest) {
        if (StillAtOldVersion())
            return End(kExitImageRejected, "the device still answers with its old version " + m_current +
                                               ": it rejected the image, and its flash is intact");
        OfferRescue("the device does not answer with its old version: it may have failed while erasing "
                    "its flash and be left without firmware.");
        return Conclude(kExitNoProgrammingRequest, firstError);
    }
    if (outcome == kExitTransfer && programming && lastBlockSent && !AbandonRequested()) {
        // Every block went out at least once: the device may well hold the whole image and have
        // restarted with it, so only its not coming back with the new version is a failure.
        m_sink.Say(*this, "the programming download failed after its last block had been sent; checking "
                          "whether the device restarts with the new version");
        const RebootOutcome back = RebootCheck(wait);
        if (back.kind == RebootOutcome::Kind::Back) {
            {
                std::lock_guard lock(m_lock);
                m_result.note = "the device restarted with the new version, but the last acknowledgement of "
                                "the programming download was missing";
            }
            m_sink.Say(*this, success);
            return End(kExitComplete, {});
        }
        if (back.kind == RebootOutcome::Kind::Stopped)
            return Interrupted(Phase::RebootCheck, Signal());
        OfferRescue("the programming download failed after the device had erased its flash: it may be "
                    "left without firmware.");
        return Conclude(kExitTransfer, firstError.empty() ? back.why : firstError);
    }
    if (outcome != kExitComplete) {
        if (outcome == kExitTransfer && programming)
            OfferRescue("the programming download failed after the device had erased its flash: it may be "
                        "left without firmware.");
        return Conclude(outcome, firstError);
    }
    if (unconfirmed) {
        // The device went silent after the last block: it very probably programmed it all and
        // restarted, so only its coming back with the new version makes this a success.
        m_sink.Say(*this, "the device did not acknowledge the last block. It very probably holds the whole "
                          "image; checking that it restarts with the new version");
        const RebootOutcome back = RebootCheck(wait);
        if (back.kind == RebootOutcome::Kind::Back) {
            m_sink.Say(*this, success);
            return End(kExitComplete, {});
        }
        if (back.kind == RebootOutcome::Kind::Stopped)
            return Interrupted(Phase::RebootCheck, Signal());
        OfferRescue("if the device is still without firmware after all (it asks for its image again "
                    "instead of starting),");
        return Conclude(kExitReboot, back.why);
    }
    m_sink.Say(*this, success);
    if (!m_settings.verifyReboot)
        return End(kExitComplete, {});
    const RebootOutcome back = RebootCheck(*m_settings.verifyReboot);
    if (back.kind == RebootOutcome::Kind::Back)
        return End(kExitComplete, {});
    if (back.kind == RebootOutcome::Kind::Stopped)
        return Interrupted(Phase::RebootCheck, Signal());
    Conclude(kExitReboot, back.why);
}

void DeviceUpgrade::Conclude(int exitCode, const std::string& reason) {
    End(exitCode, {});
    std::lock_guard lock(m_lock);
    if (m_result.reason.empty())
        m_result.reason = reason;
}

bool DeviceUpgrade::StillAtOldVersion() {
    {
        std::lock_guard lock(m_lock);
        m_muted = true;
    }
    std::optional<std::string> answer;
    // A few tries: a device that has just rejected an image may take a moment to answer again.
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    do {
        answer = AskServerVersion(Call(m_contact)).version;
        if (answer || AbandonRequested())
            break;
        std::unique_lock lock(m_lock);
        m_changed.wait_for(lock, std::chrono::seconds(1), [this] { return m_abandoned; });
    } while (Clock::now() < deadline);
    {
        std::lock_guard lock(m_lock);
        m_muted = false;
    }
    if (answer && *answer != m_current)
        m_sink.Say(*this,
                   "the device answers with version " + *answer + ", not its old version " + m_current);
    return answer && *answer == m_current;
}

DeviceUpgrade::RebootOutcome DeviceUpgrade::RebootCheck(std::chrono::seconds seconds) {
    const std::optional<std::string> expected =
        m_type == SERVER_USER_FILE ? std::nullopt : std::optional<std::string>(PresentedVersion(m_type));
    const std::optional<std::string> before =
        m_current != kNotKnown ? std::optional(m_current) : std::nullopt;
    {
        std::lock_guard lock(m_lock);
        m_phase = Phase::RebootCheck;
        m_muted = true;
    }
    m_sink.Say(*this, "waiting up to " + Seconds(seconds) + " s for the device to come back");
    const auto deadline = Clock::now() + seconds;
    bool wentAway = false;
    bool ok = false;
    std::optional<std::string> last;
    while (Clock::now() < deadline && !AbandonRequested()) {
        const std::optional<std::string> v = AskServerVersion(Call(m_contact)).version;
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
                ok = true;
                break;
            }
        }
        std::unique_lock lock(m_lock);
        m_changed.wait_for(lock, kRebootPoll, [this] { return m_abandoned; });
    }
    const bool stopped = AbandonRequested() && !ok;
    {
        std::lock_guard lock(m_lock);
        m_muted = false;
        m_result.versionAfterReboot = last;
    }
    // A restart quicker than one poll goes unseen; then the last answer decides. A user file
    // names no version, so answering at all is all that can be checked.
    if (!ok && !stopped && last && (!expected || *last == *expected))
        ok = true;
    m_sink.Rebooted(*this, last, expected, ok);
    RebootOutcome out;
    if (ok) {
        m_sink.Say(*this, "back up, running version " + last.value_or("?"));
        out.kind = RebootOutcome::Kind::Back;
    } else if (stopped) {
        out.kind = RebootOutcome::Kind::Stopped;
    } else {
        out.why = last ? "the device answers with version " + *last + ", not " + expected.value_or("?")
                       : "the device did not come back within " + Seconds(seconds) + " s";
        m_sink.Say(*this, out.why);
    }
    return out;
}

std::string DeviceUpgrade::Digest(const ImageDescriptor& image) const {
    if (auto it = m_settings.imageDigests.find(image.Data); it != m_settings.imageDigests.end())
        return it->second;
    return Sha256::HexOf(std::span<const std::uint8_t>(image.Data, image.Size));
}

void AddImageDigests(UpgradeSettings& settings) {
    for (int type : {SERVER_TOLVA_21XX, SERVER_TOLVA_22XX, SERVER_DRAVENHOLT}) {
        const ImageDescriptor* image = nullptr;
        if (SelectImage(type, &image) == ImageSelection::Selected && image != nullptr &&
            image->Data != nullptr)
            settings.imageDigests[image->Data] =
                Sha256::HexOf(std::span<const std::uint8_t>(image->Data, image->Size));
    }
    if (settings.userImage != nullptr && settings.userImage->Data != nullptr)
        settings.imageDigests[settings.userImage->Data] =
            Sha256::HexOf(std::span<const std::uint8_t>(settings.userImage->Data, settings.userImage->Size));
}

void DeviceUpgrade::OfferRescue(const std::string& why) {
    const std::string command = RescueCommandLine(m_target.host, m_type, m_settings.imagePath,
                                                  m_settings.tftpPort, !m_settings.tftp.negotiateOptions);
    {
        std::lock_guard lock(m_lock);
        m_result.rescue = command;
        if (m_result.reason.empty())
            m_result.reason = why;
    }
    m_sink.Say(
        *this,
        why + " While its flash is empty its boot loader keeps asking for the image; serve it with:\n    " +
            command);
}

} // namespace skelvo::upgrade
