#include "ui/advanced_dialog.h"

#include "ui/controls.h"
#include "ui/dialog_texts.h"
#include "ui/modal_boxes.h"

#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QLineEdit>

namespace skelvo::ui {

namespace {

QString Local(std::string_view text) {
    return QString::fromLocal8Bit(text.data(), static_cast<qsizetype>(text.size()));
}

// "Flash File (*.BIN;*.flash)" with the patterns "*.BIN;*.flash" becomes the Qt filter
// "Flash File (*.BIN;*.flash) (*.BIN *.flash)"; with the details hidden the box shows the label.
QString NameFilter(const char* label, const char* patterns) {
    QString qtPatterns = QString::fromLatin1(patterns).replace(QLatin1Char(';'), QLatin1Char(' '));
    // On Windows "*.*" also matches a name without a dot; here only "*" does.
    if (qtPatterns == QLatin1String("*.*"))
        qtPatterns = QStringLiteral("*");
    return QString::fromLatin1(label) + QStringLiteral(" (") + qtPatterns + QStringLiteral(")");
}

} // namespace

AdvancedDialog::AdvancedDialog(QWidget* parent, bool& noOptions)
    : TemplateDialog(AdvancedOptionsTemplate(), parent), m_presenter(*this, noOptions) {
    m_presenter.Initialise();
    centerWindow();
    control(ID_ADV_OK)->setFocus(Qt::OtherFocusReason);
}

void AdvancedDialog::Enable(int id, bool enabled) {
    if (QWidget* w = control(id))
        w->setEnabled(enabled);
}

bool AdvancedDialog::IsChecked(int id) const {
    auto* box = qobject_cast<QCheckBox*>(control(id));
    return box != nullptr && box->isChecked();
}

void AdvancedDialog::SetChecked(int id, bool checked) {
    if (auto* box = qobject_cast<QCheckBox*>(control(id)))
        box->setChecked(checked);
}

std::string AdvancedDialog::FileNameText() const {
    return qobject_cast<QLineEdit*>(control(ID_ADV_FILENAME))->text().toLocal8Bit().toStdString();
}

bool AdvancedDialog::SetFileNameText(std::string_view name) {
    qobject_cast<QLineEdit*>(control(ID_ADV_FILENAME))->setText(QDir::toNativeSeparators(Local(name)));
    return true;
}

std::optional<std::string> AdvancedDialog::ChooseImageFile() {
    QFileDialog box(this, QString::fromLatin1(kBrowseTitle));
    box.setObjectName(QStringLiteral("browseDialog"));
    box.setOption(QFileDialog::DontUseNativeDialog);
    box.setOption(QFileDialog::HideNameFilterDetails);
    box.setFileMode(QFileDialog::ExistingFile);
    box.setAcceptMode(QFileDialog::AcceptOpen);
    // Without QDir::CaseSensitive the patterns match in any letter case.
    box.setFilter(QDir::AllEntries | QDir::AllDirs | QDir::NoDotAndDotDot | QDir::System | QDir::Hidden);
    box.setNameFilters({NameFilter(kFlashFilterLabel, kFlashFilterPatterns),
                        NameFilter(kAllFilterLabel, kAllFilterPatterns)});
    if (RunFileDialog(box) != QDialog::Accepted || box.selectedFiles().isEmpty())
        return std::nullopt;
    return QDir::toNativeSeparators(box.selectedFiles().constFirst()).toLocal8Bit().toStdString();
}

void AdvancedDialog::ReportFileError(std::string_view title, std::string_view text) {
    QApplication::beep();
    ShowMessageBox(this, Local(title), Local(text), QMessageBox::Critical, QMessageBox::Ok);
    control(ID_ADV_FILENAME)->setFocus(Qt::OtherFocusReason);
}

void AdvancedDialog::End(int value) {
    done(value);
}

void AdvancedDialog::onCommand(int id) {
    m_presenter.Command(id);
}

void AdvancedDialog::accept() {
    m_presenter.Command(ID_ADV_OK);
}

void AdvancedDialog::reject() {
    m_presenter.Command(ID_ADV_CANCEL);
}

int ShowAdvancedOptions(QWidget* owner, bool& noOptions) {
    AdvancedDialog dialog(owner, noOptions);
    dialog.exec();
    return 1;
}

} // namespace skelvo::ui
