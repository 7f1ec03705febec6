// The Advanced Options dialog (template 5002): an image file of the user's own instead of the
// built-in image, and the device-side download trace.
#pragma once

#include "ui/template_dialog.h"

#include <QString>

namespace skelvo::ui {

inline constexpr char kBrowseTitle[] = "Choose a flashfile to download";
// The file types offered: what the box shows, and the patterns behind it, matched without regard
// to letter case.
inline constexpr char kFlashFilterLabel[] = "Flash File (*.BIN;*.flash)";
inline constexpr char kAllFilterLabel[] = "All";
bool MatchesFlashFilter(const QString& fileName);

class AdvancedDialog : public TemplateDialog {
    Q_OBJECT
  public:
    explicit AdvancedDialog(QWidget* parent);

    // 1 when a file was chosen and stored, else 0.
    int browseImageFile();
    // 1 when the dialog may close, 0 when it must stay open.
    int applyAdvancedOptions();

    void accept() override;

  protected:
    void onCommand(int id) override;

  private:
    QString fileNameText() const;
    void showFileError(const QString& name, const char* title, const char* what);
};

// Runs the dialog modally over owner. Returns 1 whatever the user did.
int ShowAdvancedOptions(QWidget* owner);

} // namespace skelvo::ui
