#include "ui/dialog_upgrade.h"

#include "engine/trace.h"
#include "engine/upgrade_record.h"
#include "http/device_http.h"
#include "ui/templates.h"
#include "upgrade/policy.h"

namespace skelvo::ui {
namespace {

using namespace skelvo::upgrade;

} // namespace

DialogUpgrade::DialogUpgrade(TftpSocket socket, const DialogNetwork& network, Journal& journal,
                             const JournalRead& unended, bool negotiateOptions, DialogHooks hooks)
    : m_hooks(std::move(hooks)) {
    m_target.host = g_TftpConfigData.HostName;
    m_target.login = g_TftpConfigData.LoginName;
    m_target.password = g_TftpConfigData.Password;
    m_target.downloadTrace = g_TftpConfigData.DownloadTrace != 0;
    m_target.httpPort = network.httpPort;
    m_settings.tftpPort = network.tftpPort;
    m_settings.tftp.port = network.tftpPort;
    m_settings.tftp.negotiateOptions = negotiateOptions;
    m_settings.parallel = 1;
    m_settings.tagTrace = false;
    // The dialog asks about a device that is up to date or newer itself, before its question.
    m_settings.policy.allowOlder = true;
    m_settings.policy.allowReinstall = true;
    m_settings.policy.force = true;
    if (GetImageToUse() == SERVER_USER_FILE) {
        m_settings.userImage = &g_TftpConfigData.FileImage;
        m_settings.imagePath = g_TftpConfigData.ImageFilename;
    }
    for (const JournalEntry& entry : unended.entries) {
        if (entry.Ended())
            continue;
        m_settings.unendedHosts[entry.first.value("host", "")] = entry.state;
        if (const std::string address = entry.first.value("address", ""); !address.empty())
            m_settings.unendedAddresses[address] = entry.state;
    }
    m_journaling = std::make_unique<JournalSink>(journal, *this, m_settings);
    m_runner = std::make_unique<FleetRunner>(std::vector<UpgradeTarget>{m_target}, m_settings, *m_journaling);
    m_worker = std::thread([this, socket = std::move(socket)]() mutable { Run(std::move(socket)); });
}

DialogUpgrade::~DialogUpgrade() {
    m_runner->Interrupt(2, kSignalTerminate);
    if (m_worker.joinable())
        m_worker.join();
}

void DialogUpgrade::Run(TftpSocket socket) {
    m_runner->Run(
        std::move(socket), [this](const Confirmation& c) { return Confirm(*c.probed.front()); }, false);
    // The port is free again here: whatever the dialog does next may take it.
    if (m_result && m_hooks.finished)
        m_hooks.onDialogThread([this] { m_hooks.finished(*m_result, m_presented.load()); });
}

EventContext DialogUpgrade::Context(const DeviceUpgrade& d) const {
    EventContext context = CurrentEventContext();
    if (d.type() != SERVER_UNKNOWN)
        context.imageToUse = d.type();
    return context;
}

bool DialogUpgrade::Confirm(const DeviceUpgrade& d) {
    // The record learns what the probe found, as the Continue sequence has always had it.
    if (d.type() != SERVER_USER_FILE)
        SetImageToUse(d.type());
    const ConfirmQuestion& q = d.question();
    const PolicyDecision strict = upgrade::Decide(d.type(), d.currentVersion(), VersionPolicy{});
    bool go = true;
    const bool asked = m_hooks.onDialogThread([&] {
        const std::string caption = MainDialogTemplate().caption;
        if (strict == PolicyDecision::UpToDate)
            go = m_hooks.askYesNo(caption,
                                  "The Varnek Server already runs version " + d.currentVersion() +
                                      ", the version of the new flash image.\n\nUpgrade it all the same?");
        else if (strict == PolicyDecision::RefusedNewer)
            go = m_hooks.askYesNo(caption, "The Varnek Server runs version " + d.currentVersion() +
                                               ", which is newer than the new flash image's " + q.newVersion +
                                               ".\n\nInstall the older image all the same?");
        if (go)
            go = m_hooks.confirm(q) == ConfirmAnswer::Yes;
    });
    if (!asked)
        go = false;
    if (!go)
        SetImageToUse(SERVER_UNKNOWN);
    return go;
}

void DialogUpgrade::Event(const DeviceUpgrade& d, const DeviceEvent& e) {
    DialogEvent event;
    event.kind = e.error ? DialogEvent::Kind::Error : DialogEvent::Kind::Status;
    event.code = e.code;
    event.context = Context(d);
    if (!e.error && e.code == STATUS_PROGRESS)
        event.payload.progress = ProgressInfo{e.sent, e.total};
    if (!e.error && e.code == STATUS_COMPLETE) {
        if (e.unconfirmed) {
            // The flow checks that the device restarts with the new version first.
            m_heldComplete = true;
            return;
        }
        event.payload.completion = CompletionInfo{1};
    }
    m_presented = true;
    DeliverDialogEvent(event);
}

void DialogUpgrade::Finished(const DeviceUpgrade& d, const HostResult& r) {
    if (m_heldComplete && r.exitCode == kExitComplete) {
        DialogEvent event;
        event.kind = DialogEvent::Kind::Status;
        event.code = STATUS_COMPLETE;
        event.context = Context(d);
        event.payload.completion = CompletionInfo{1};
        m_presented = true;
        DeliverDialogEvent(event);
    }
    m_result = r;
}

DialogRecovery::DialogRecovery(std::vector<RecoveryTarget> targets, Journal& journal,
                               std::function<void(const std::vector<RecoveryOutcome>&)> finished,
                               std::function<bool(const std::function<void()>&)> onDialogThread)
    : m_targets(std::move(targets)) {
    m_worker = std::thread(
        [this, &journal, finished = std::move(finished), onDialogThread = std::move(onDialogThread)] {
            RecoverySettings settings;
            // A boot loader writes its mode as it likes.
            settings.tftp.modeAnyCase = true;
            const std::vector<RecoveryOutcome> outcomes =
                Recover(m_targets, settings, *this, &journal, &m_cancel);
            if (finished && !m_cancel.Requested())
                onDialogThread([&] { finished(outcomes); });
        });
}

DialogRecovery::~DialogRecovery() {
    m_cancel.Request();
    if (m_worker.joinable())
        m_worker.join();
}

void DialogRecovery::Event(const RecoveryTarget& t, const DeviceEvent& e) {
    DialogEvent event;
    event.kind = e.error ? DialogEvent::Kind::Error : DialogEvent::Kind::Status;
    event.code = e.code;
    event.context.imageToUse = t.type;
    event.context.hostName = t.host;
    event.context.loginName = g_TftpConfigData.LoginName;
    if (!e.error && e.code == STATUS_PROGRESS)
        event.payload.progress = ProgressInfo{e.sent, e.total};
    if (!e.error && e.code == STATUS_COMPLETE)
        event.payload.completion = CompletionInfo{1};
    DeliverDialogEvent(event);
}

} // namespace skelvo::ui
