// The main upgrade dialog (template 102): the input step, the Continue sequence with its
// confirmation, the About box, and the controls the presentation of engine events drives.
#pragma once

#include "ui/controls.h"
#include "ui/presentation.h"
#include "ui/template_dialog.h"

#include <cstdint>
#include <optional>

namespace skelvo::ui {

// Ports for the dialog's TFTP server and HTTP requests. The product always uses 69 and 80; only
// tests call this, before the dialog's Continue.
struct NetworkForTesting {
    std::uint16_t tftpPort = 69;
    std::uint16_t httpPort = 80;
};
void SetNetworkForTesting(std::optional<NetworkForTesting> network);

// The text of the About box.
QString AboutText();

class MainDialog : public TemplateDialog, public DialogControls {
    Q_OBJECT
  public:
    explicit MainDialog(QWidget* parent = nullptr);
    ~MainDialog() override;

    // DialogControls, on the GUI thread.
    void Show(int id) override;
    void Hide(int id) override;
    void Enable(int id, bool enabled) override;
    void SetText(int id, std::string_view text) override;
    void SendProgress(int id, ProgressMessage message, int first, int second) override;

    void showAbout();
    void runContinue();
    void showAdvancedOptions();

    // Present one event, on the GUI thread.
    void presentStatus(int code, const StatusPayload& payload, const EventContext& context);
    void presentError(int code, const EventContext& context);

    // How many events have been presented (tests wait on it).
    int presentedEvents() const { return m_presented; }

    // Escape and the close box; from step 3 until the success or error form they ask first.
    void reject() override;

  protected:
    void onCommand(int id) override;
    void contextMenuEvent(QContextMenuEvent* event) override;

  private:
    int m_presented = 0;
    DialogForm m_form = DialogForm::Input;
    int m_progressStep = 10;
};

// The registered handlers: each copies what the event carries (the two progress numbers, the
// record's texts) and presents it on the dialog's thread as a queued invocation, in order.
int DialogOnUpgradeStatus(int code, void* info);
int DialogOnUpgradeError(int code, void* info);

} // namespace skelvo::ui
