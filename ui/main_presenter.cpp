#include "ui/main_presenter.h"

#include "engine/messages.h"
#include "engine/trace.h"
#include "engine/upgrade_record.h"
#include "tftp/tftp_callbacks.h"
#include "ui/dialog_texts.h"
#include "ui/templates.h"
#include "upgrade/journal.h"
#include "upgrade/recovery.h"

namespace skelvo::ui {

MainPresenter::MainPresenter(MainDialogView& view, DialogNetwork network)
    : m_view(view), m_network(network), m_dialogThread([this](std::function<void()> work) {
          return m_view.PostToDialogThread(std::move(work));
      }) {}

MainPresenter::~MainPresenter() {
    m_dialogThread.Close();
}

void MainPresenter::Initialise() {
    m_form = DialogForm::Input;
    m_view.SetText(ID_INTRO, kIntroText);
    m_view.SetText(ID_HOST, g_TftpConfigData.HostName);
    m_view.SetText(ID_LOGIN, g_TftpConfigData.LoginName);
    m_view.SetText(ID_PASSWORD, g_TftpConfigData.Password);
}

bool MainPresenter::MayClose() {
    if (!CloseNeedsConfirmation(m_form.load()))
        return true;
    return m_view.AskYesNo(MainDialogTemplate().caption, kCloseDuringUpgradeQuestion);
}

void MainPresenter::Command(int id) {
    switch (id) {
    case ID_OK:
    case ID_CLOSE:
        // Close itself is disabled while the device works, but the platform's OK (Enter with no
        // usable default button) is not.
        if (MayClose())
            m_view.End(1);
        break;
    case ID_CANCEL:
        if (MayClose())
            m_view.End(0);
        break;
    case ID_CONTINUE:
        // Only step 1 shows Continue; a hidden one that still receives a command would start a
        // second sequence, which finds the TFTP port taken while the device works.
        if (m_form.load() == DialogForm::Input)
            RunContinue();
        break;
    case ID_ADVANCED:
        if (m_form.load() == DialogForm::Input)
            m_view.OpenAdvancedOptions();
        break;
    default:
        break;
    }
}

void MainPresenter::ShowAbout() {
    m_view.Inform(kAboutTitle, AboutText());
}

void MainPresenter::Present(const DialogEvent& event) {
    // The form changes first: closing asks from the moment the device may be verifying.
    if (event.kind == DialogEvent::Kind::Status) {
        m_form = FormAfterStatus(m_form.load(), event.code);
        OnUpgradeStatus(m_view, event.code, event.payload, event.context);
    } else {
        m_form = FormAfterError(m_form.load(), event.code);
        OnUpgradeError(m_view, event.code, event.context);
    }
}

bool MainPresenter::OpenJournal() {
    if (m_journal.IsOpen())
        return true;
    std::string error;
    if (m_journal.Open(m_network.journal.empty() ? upgrade::DefaultJournalPath() : m_network.journal, error))
        return true;
    TraceMessage("Error: %s\n", error.c_str());
    m_view.Inform(MainDialogTemplate().caption, error + "; nothing was sent.");
    return false;
}

void MainPresenter::Started() {
    const upgrade::JournalRead read =
        upgrade::ReadJournal(m_network.journal.empty() ? upgrade::DefaultJournalPath() : m_network.journal);
    std::vector<std::pair<upgrade::JournalEntry, std::string>> refused;
    std::vector<upgrade::RecoveryTarget> targets = upgrade::RecoveryTargets(read, m_images, refused);
    const std::string caption = MainDialogTemplate().caption;
    for (const auto& [entry, why] : refused)
        m_view.Inform(caption, "The upgrade of " + PrintableText(entry.first.value("host", "")) +
                                   " did not end, but its image cannot be served: " + why + ".");
    if (targets.empty())
        return;
    std::string names;
    for (const upgrade::RecoveryTarget& t : targets)
        names += "\n    " + PrintableText(t.host) + " (left at \"" + t.entry.state + "\", " +
                 t.entry.lastTime + ")";
    const std::string question =
        "Skelvo's journal shows upgrades that did not end:" + names +
        "\n\nSuch a device may have erased its flash, and its boot loader may be asking "
        "for its image. Serve it now? Skelvo then serves each one until it is back with "
        "its new version; keep this window open until it says so.";
    if (m_view.AskYesNo(caption, question) && OpenJournal())
        Recover(std::move(targets));
}

void MainPresenter::Recover(std::vector<upgrade::RecoveryTarget> targets) {
    m_busy = true;
    m_recovery = std::make_unique<DialogRecovery>(
        std::move(targets), m_journal,
        [this](const std::vector<upgrade::RecoveryOutcome>& outcomes) {
            std::string left;
            for (const upgrade::RecoveryOutcome& o : outcomes)
                if (!o.recovered)
                    left += "\n" + o.reason;
            if (!left.empty())
                m_view.Inform(MainDialogTemplate().caption,
                              "A device is not back yet:" + left + "\n\nIts record stays in the journal.");
            m_busy = false;
        },
        [this](const std::function<void()>& work) { return m_dialogThread.Run(work); });
}

void MainPresenter::RunContinue() {
    // One sequence at a time: a second Continue while the device is probed does nothing.
    if (m_busy.exchange(true))
        return;
    m_upgrade.reset();
    m_recovery.reset();
    if (!OpenJournal()) {
        m_busy = false;
        return;
    }
    TftpServerOptions options;
    options.port = m_network.tftpPort;
    // The port is held from here until the device is served: a device that asks as soon as it has
    // answered the command is heard, and no other program can take the port in between.
    TftpSocket socket = OpenTftpSocket(options);
    if (!socket) {
        TraceMessage("Error, could not open the TFTP port.\n");
        m_busy = false;
        m_view.PresentPending();
        return;
    }
    SetHostName(m_view.EditText(ID_HOST));
    SetLoginName(m_view.EditText(ID_LOGIN));
    SetPassword(m_view.EditText(ID_PASSWORD));
    DialogHooks hooks;
    hooks.onDialogThread = [this](const std::function<void()>& work) { return m_dialogThread.Run(work); };
    hooks.confirm = [this](const upgrade::ConfirmQuestion& q) { return m_view.Confirm(q); };
    hooks.askYesNo = [this](std::string_view title, std::string_view text) {
        return m_view.AskYesNo(title, text);
    };
    hooks.finished = [this](const upgrade::HostResult& r, bool presented) { Ended(r, presented); };
    const upgrade::JournalRead journaled = upgrade::ReadJournal(m_journal.path());
    m_upgrade = std::make_unique<DialogUpgrade>(std::move(socket), m_network, m_journal, journaled,
                                                !m_noOptions, std::move(hooks));
}

void MainPresenter::Ended(const upgrade::HostResult& r, bool presented) {
    using namespace skelvo::upgrade;
    m_view.PresentPending();
    m_busy = false;
    const std::string caption = MainDialogTemplate().caption;
    if (!r.commanded && m_form.load() == DialogForm::Input) {
        // Nothing was sent: step 1 again, with what went wrong where no event has told it.
        if (r.exitCode != kExitUnknownType && r.exitCode != kExitNotConfirmed && r.result != "interrupted" &&
            !presented && !r.reason.empty())
            m_view.Inform(caption, r.reason);
        return;
    }
    if (r.exitCode == kExitComplete)
        return;
    if (m_form.load() != DialogForm::Error) {
        // The end came from a wait or a check of the flow, which raises no event of its own.
        Present(DialogEvent{DialogEvent::Kind::Error, ERR_READ_REQUEST, {}, CurrentEventContext()});
    }
    if (!r.rescue) {
        if (!r.reason.empty())
            m_view.Inform(caption, r.reason);
        return;
    }
    const std::string question =
        (r.reason.empty() ? std::string() : r.reason + "\n\n") +
        "While its flash is empty, the device's boot loader keeps asking for the image. Serve it now? Skelvo "
        "then serves it until it is back with its new version; keep this window open until it says so.";
    if (!m_view.AskYesNo(caption, question))
        return;
    // The upgrade has left the device's record open in the journal: it is served from there.
    std::vector<std::pair<upgrade::JournalEntry, std::string>> refused;
    std::vector<upgrade::RecoveryTarget> targets =
        upgrade::RecoveryTargets(upgrade::ReadJournal(m_journal.path()), m_images, refused);
    std::erase_if(targets, [&r](const upgrade::RecoveryTarget& t) { return t.host != r.host; });
    if (targets.empty()) {
        m_view.Inform(caption, refused.empty()
                                   ? std::string("The journal holds no open record of the device.")
                                   : refused.front().second);
        return;
    }
    Recover(std::move(targets));
}

} // namespace skelvo::ui
