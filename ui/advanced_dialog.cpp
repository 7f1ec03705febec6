#include "ui/advanced_dialog.h"

#include "engine/trace.h"
#include "engine/upgrade_record.h"
#include "ui/controls.h"
#include "ui/modal_boxes.h"

#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QPushButton>

namespace skelvo::ui {

namespace {

QCheckBox* CheckBox(const TemplateDialog& dialog, int id) {
    return qobject_cast<QCheckBox*>(dialog.control(id));
}

} // namespace

bool MatchesFlashFilter(const QString& fileName) {
    return fileName.endsWith(QStringLiteral(".bin"), Qt::CaseInsensitive) ||
           fileName.endsWith(QStringLiteral(".flash"), Qt::CaseInsensitive);
}

AdvancedDialog::AdvancedDialog(QWidget* parent) : TemplateDialog(AdvancedOptionsTemplate(), parent) {
    const bool userFile = GetImageToUse() == SERVER_USER_FILE;
    control(ID_ADV_FILENAME)->setEnabled(userFile);
    control(ID_ADV_BROWSE)->setEnabled(userFile);
    CheckBox(*this, ID_ADV_TRACE)->setChecked(GetDownloadTrace() != 0);
    // The box always opens unchecked, also when a file is already in use.
    CheckBox(*this, ID_ADV_USE_FILE)->setChecked(false);
    qobject_cast<QLineEdit*>(control(ID_ADV_FILENAME))->setText(QString::fromLocal8Bit(GetImageFilename()));
    centerWindow();
    control(ID_ADV_OK)->setFocus(Qt::OtherFocusReason);
}

QString AdvancedDialog::fileNameText() const {
    return qobject_cast<QLineEdit*>(control(ID_ADV_FILENAME))->text();
}

void AdvancedDialog::onCommand(int id) {
    switch (id) {
    case ID_ADV_OK:
        if (applyAdvancedOptions() == 1)
            done(1);
        break;
    case ID_ADV_CANCEL:
        done(0);
        break;
    case ID_ADV_USE_FILE:
        // Either click enables the two; nothing disables them again while the dialog is open.
        control(ID_ADV_FILENAME)->setEnabled(true);
        control(ID_ADV_BROWSE)->setEnabled(true);
        break;
    case ID_ADV_BROWSE:
        browseImageFile();
        break;
    default:
        break;
    }
}

void AdvancedDialog::accept() {
    // Enter reaches OK through the default button; a bare accept() takes the same path.
    onCommand(ID_ADV_OK);
}

int AdvancedDialog::browseImageFile() {
    QFileDialog box(this, QString::fromLatin1(kBrowseTitle));
    box.setObjectName(QStringLiteral("browseDialog"));
    box.setOption(QFileDialog::DontUseNativeDialog);
    box.setOption(QFileDialog::HideNameFilterDetails);
    box.setFileMode(QFileDialog::ExistingFile);
    box.setAcceptMode(QFileDialog::AcceptOpen);
    // Without QDir::CaseSensitive the patterns match in any letter case. With the details
    // hidden, each entry shows only its text before the last parenthesis: exactly the label.
    box.setFilter(QDir::AllEntries | QDir::AllDirs | QDir::NoDotAndDotDot | QDir::System | QDir::Hidden);
    box.setNameFilters({QString::fromLatin1(kFlashFilterLabel) + QStringLiteral(" (*.bin *.flash)"),
                        QString::fromLatin1(kAllFilterLabel) + QStringLiteral(" (*)")});
    if (RunFileDialog(box) != QDialog::Accepted || box.selectedFiles().isEmpty()) {
        TraceMessage("GetOpenFileName() call failed.\n");
        return 0;
    }
    const QString path = QDir::toNativeSeparators(box.selectedFiles().constFirst());
    const QByteArray bytes = path.toLocal8Bit();
    if (bytes.size() >= static_cast<qsizetype>(kImageFilenameSize)) {
        // The name does not fit the 260-character field; storing it cut would name another file.
        TraceMessage("SetDlgItemText() call failed.\n");
        return 0;
    }
    qobject_cast<QLineEdit*>(control(ID_ADV_FILENAME))->setText(path);
    if (SetImageFilename(std::string_view(bytes.constData(), static_cast<std::size_t>(bytes.size()))) != 1) {
        TraceMessage("SetImageFilename() call failed.\n");
        return 0;
    }
    return 1;
}

void AdvancedDialog::showFileError(const QString& name, const char* title, const char* what) {
    QApplication::beep();
    ShowMessageBox(this, QString::fromLatin1(title),
                   QStringLiteral("The file \"%1\" could not be %2. \r\n Please check the filename.")
                       .arg(name, QString::fromLatin1(what)),
                   QMessageBox::Critical, QMessageBox::Ok);
    control(ID_ADV_FILENAME)->setFocus(Qt::OtherFocusReason);
}

int AdvancedDialog::applyAdvancedOptions() {
    if (CheckBox(*this, ID_ADV_USE_FILE)->isChecked()) {
        const QString name = fileNameText().left(259);
        const QByteArray local = name.toLocal8Bit();
        QFile probe(name);
        if (name.isEmpty() || !probe.open(QIODevice::ReadOnly)) {
            TraceMessage("Error: could not open \"%s\".\n", local.constData());
            showFileError(name, "Error opening file.", "opened");
            return 0;
        }
        probe.close();
        if (LoadImageFile(local.constData()) != 1) {
            // The file opened but could not be read whole: the dialog stays, nothing is applied.
            showFileError(name, "Error reading file.", "read");
            return 0;
        }
        SetImageToUse(SERVER_USER_FILE);
    }
    if (CheckBox(*this, ID_ADV_TRACE)->isChecked()) {
        TraceMessage("Enabling download trace ...\n");
        SetDownloadTrace(1);
    } else {
        SetDownloadTrace(0);
    }
    return 1;
}

int ShowAdvancedOptions(QWidget* owner) {
    AdvancedDialog dialog(owner);
    dialog.exec();
    return 1;
}

} // namespace skelvo::ui
