// Every modal box the dialogs raise (the confirmation, About and error boxes, the file-open box)
// goes through one place, so that tests can answer them: a hook receives the fully set-up box and
// returns its result instead of, or after, running it.
#pragma once

#include <QFileDialog>
#include <QMessageBox>
#include <QString>

#include <functional>

namespace skelvo::ui {

// Returns the QMessageBox::StandardButton chosen. The default runs box.exec().
using MessageBoxHook = std::function<int(QMessageBox& box)>;
// Returns QDialog::Accepted or Rejected. The default runs dialog.exec().
using FileDialogHook = std::function<int(QFileDialog& dialog)>;

void SetMessageBoxHook(MessageBoxHook hook); // empty: the default
void SetFileDialogHook(FileDialogHook hook);

int RunMessageBox(QMessageBox& box);
int RunFileDialog(QFileDialog& dialog);

// A message box owned by `owner`, set up as the platform's MessageBoxA would show it.
int ShowMessageBox(QWidget* owner, const QString& title, const QString& text, QMessageBox::Icon icon,
                   QMessageBox::StandardButtons buttons,
                   QMessageBox::StandardButton defaultButton = QMessageBox::NoButton);

} // namespace skelvo::ui
