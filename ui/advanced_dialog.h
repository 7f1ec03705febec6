// The Advanced Options dialog (template 5002) drawn with Qt; every decision is
// AdvancedOptionsPresenter's.
#pragma once

#include "ui/advanced_presenter.h"
#include "ui/template_dialog.h"

namespace skelvo::ui {

class AdvancedDialog : public TemplateDialog, public AdvancedOptionsView {
    Q_OBJECT
  public:
    // noOptions: the main dialog's choice to answer no TFTP options; without it, the dialog keeps
    // a choice of its own.
    AdvancedDialog(QWidget* parent, bool& noOptions);
    explicit AdvancedDialog(QWidget* parent) : AdvancedDialog(parent, m_ownNoOptions) {}

    AdvancedOptionsPresenter& presenter() { return m_presenter; }

    // AdvancedOptionsView.
    void Enable(int id, bool enabled) override;
    bool IsChecked(int id) const override;
    void SetChecked(int id, bool checked) override;
    std::string FileNameText() const override;
    bool SetFileNameText(std::string_view name) override;
    std::optional<std::string> ChooseImageFile() override;
    void ReportFileError(std::string_view title, std::string_view text) override;
    void End(int value) override;

    // Enter reaches OK through the default button; a bare accept() takes the same path.
    void accept() override;
    void reject() override;

  protected:
    void onCommand(int id) override;

  private:
    bool m_ownNoOptions = false;
    AdvancedOptionsPresenter m_presenter;
};

// Runs the dialog modally over owner, with the owner's choice of TFTP options. Returns 1 whatever
// the user did.
int ShowAdvancedOptions(QWidget* owner, bool& noOptions);

} // namespace skelvo::ui
