// The main upgrade dialog (template 102) drawn with Qt: the controls, the input and the boxes.
// Every decision is MainPresenter's; events reach it through the dialog's EventRoute, queued to
// the dialog's thread.
#pragma once

#include "ui/main_presenter.h"
#include "ui/template_dialog.h"

class QToolButton;

namespace skelvo::ui {

class MainDialog : public TemplateDialog, public MainDialogView {
    Q_OBJECT
  public:
    explicit MainDialog(QWidget* parent = nullptr, DialogNetwork network = {});

    // DialogControls, on the dialog's thread.
    void Show(int id) override;
    void Hide(int id) override;
    void Enable(int id, bool enabled) override;
    void SetText(int id, std::string_view text) override;
    void SendProgress(int id, ProgressMessage message, int first, int second) override;
    void SetDefaultButton(int id) override;
    void SetFocusable(int id, bool focusable) override;
    void Focus(int id) override;

    // MainDialogView.
    std::string EditText(int id) const override;
    upgrade::ConfirmAnswer Confirm(const upgrade::ConfirmQuestion& question) override;
    bool AskYesNo(std::string_view title, std::string_view text) override;
    void Inform(std::string_view title, std::string_view text) override;
    void OpenAdvancedOptions() override;
    void End(int value) override;
    void PresentPending() override;
    bool PostToDialogThread(std::function<void()> work) override;

    MainPresenter& presenter() { return m_presenter; }
    // The About entry in the banner: the window managers of this platform offer no system menu
    // that a program may extend.
    QToolButton* aboutButton() const { return m_about; }
    // How many events have been presented.
    int presentedEvents() const { return m_presented; }

    // Escape and the close box.
    void reject() override;

  protected:
    void onCommand(int id) override;
    void contextMenuEvent(QContextMenuEvent* event) override;

  private:
    void present(const DialogEvent& event);

    MainPresenter m_presenter;
    QToolButton* m_about = nullptr;
    int m_presented = 0;
    // Last, so that it ends first: nothing is delivered to a dialog being destroyed.
    EventRoute m_route;
};

} // namespace skelvo::ui
