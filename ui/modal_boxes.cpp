#include "ui/modal_boxes.h"

#include <mutex>

namespace skelvo::ui {

namespace {

MessageBoxHook& BoxHook() {
    static MessageBoxHook hook;
    return hook;
}

FileDialogHook& FileHook() {
    static FileDialogHook hook;
    return hook;
}

} // namespace

void SetMessageBoxHook(MessageBoxHook hook) {
    BoxHook() = std::move(hook);
}

void SetFileDialogHook(FileDialogHook hook) {
    FileHook() = std::move(hook);
}

int RunMessageBox(QMessageBox& box) {
    if (BoxHook())
        return BoxHook()(box);
    box.exec();
    QAbstractButton* clicked = box.clickedButton();
    return clicked != nullptr ? static_cast<int>(box.standardButton(clicked))
                              : static_cast<int>(QMessageBox::Cancel);
}

int RunFileDialog(QFileDialog& dialog) {
    if (FileHook())
        return FileHook()(dialog);
    return dialog.exec();
}

int ShowMessageBox(QWidget* owner, const QString& title, const QString& text, QMessageBox::Icon icon,
                   QMessageBox::StandardButtons buttons, QMessageBox::StandardButton defaultButton) {
    QMessageBox box(icon, title, text, buttons, owner);
    box.setTextFormat(Qt::PlainText);
    if (defaultButton != QMessageBox::NoButton)
        box.setDefaultButton(defaultButton);
    // Escape and the close box give Cancel where there is one, as on the platform's box.
    if (buttons.testFlag(QMessageBox::Cancel))
        box.setEscapeButton(QMessageBox::Cancel);
    return RunMessageBox(box);
}

} // namespace skelvo::ui
