#include "ui/main_presenter.h"

#include "engine/messages.h"
#include "engine/upgrade_record.h"
#include "ui/dialog_texts.h"
#include "ui/templates.h"

namespace skelvo::ui {

MainPresenter::MainPresenter(MainDialogView& view, DialogNetwork network)
    : m_view(view), m_network(network) {}

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

void MainPresenter::RunContinue() {
    ContinueRequest request;
    request.hostName = m_view.EditText(ID_HOST);
    request.loginName = m_view.EditText(ID_LOGIN);
    request.password = m_view.EditText(ID_PASSWORD);
    request.confirm = [this](const ConfirmQuestion& question) { return m_view.Confirm(question); };
    TftpServerOptions options;
    options.port = m_network.tftpPort;
    request.tftp = options;
    SetHttpPort(m_network.httpPort);
    RunContinueSequence(request);
    m_view.PresentPending();
}

} // namespace skelvo::ui
