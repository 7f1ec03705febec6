#include "ui/main_dialog.h"

#include "ui/advanced_dialog.h"
#include "ui/modal_boxes.h"
#include "ui/static_text.h"

#include <QAbstractButton>
#include <QContextMenuEvent>
#include <QCoreApplication>
#include <QIcon>
#include <QLineEdit>
#include <QMenu>
#include <QMetaObject>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QShortcut>
#include <QThread>
#include <QTimer>
#include <QToolButton>

namespace skelvo::ui {

namespace {

QString FromRecord(std::string_view text) {
    return QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size()));
}

} // namespace

MainDialog::MainDialog(QWidget* parent, DialogNetwork network)
    : TemplateDialog(MainDialogTemplate(), parent), m_presenter(*this, network),
      m_route([this](const DialogEvent& event) {
          // Posted under the route's lock, which the destructor also takes: the dialog cannot go
          // between the look-up and the post, and Qt drops what is queued for a destroyed object.
          QMetaObject::invokeMethod(
              this, [this, event] { present(event); }, Qt::QueuedConnection);
      }) {
    QIcon icon;
    for (int size : {16, 32, 48})
        icon.addFile(QStringLiteral(":/skelvo/icon%1-%2.png").arg(kIconGroupId).arg(size), QSize(size, size));
    if (!icon.isNull())
        setWindowIcon(icon);

    // A link on the banner's upper right corner, where its artwork leaves room; F1 opens the box as
    // well. It takes no focus, so Enter and Space keep meaning the dialog's own buttons.
    m_about = new QToolButton(this);
    m_about->setObjectName(QStringLiteral("aboutButton"));
    m_about->setText(QStringLiteral("About"));
    m_about->setToolTip(QStringLiteral("About this program (F1)"));
    m_about->setAutoRaise(true);
    // Light on the banner's dark artwork.
    m_about->setStyleSheet(QStringLiteral("QToolButton { color: #ffffff; text-decoration: underline; border: "
                                          "none; background: transparent; }"));
    m_about->setCursor(Qt::PointingHandCursor);
    m_about->setFocusPolicy(Qt::NoFocus);
    connect(m_about, &QToolButton::clicked, this, [this] { m_presenter.ShowAbout(); });

    auto* f1 = new QShortcut(QKeySequence(Qt::Key_F1), this);
    f1->setObjectName(QStringLiteral("aboutShortcut"));
    connect(f1, &QShortcut::activated, this, [this] { m_presenter.ShowAbout(); });

    m_presenter.Initialise();
    centerWindow();
    // Placed once the dialog's font is final.
    m_about->adjustSize();
    const QRect banner = control(ID_BANNER)->geometry();
    m_about->move(banner.right() - m_about->width() - 4, banner.top() + 4);
    m_about->raise();
    control(ID_HOST)->setFocus(Qt::OtherFocusReason);
    // Once the dialog is up and its loop runs, the journal may have a question.
    QTimer::singleShot(0, this, [this] { m_presenter.Started(); });
}

void MainDialog::Show(int id) {
    if (QWidget* w = control(id))
        w->setVisible(true);
}

void MainDialog::Hide(int id) {
    if (QWidget* w = control(id))
        w->setVisible(false);
}

void MainDialog::Enable(int id, bool enabled) {
    if (QWidget* w = control(id))
        w->setEnabled(enabled);
}

void MainDialog::SetText(int id, std::string_view text) {
    QWidget* w = control(id);
    const QString value = FromRecord(text);
    if (auto* s = qobject_cast<StaticText*>(w))
        s->setText(value);
    else if (auto* e = qobject_cast<QLineEdit*>(w))
        e->setText(value);
    else if (auto* b = qobject_cast<QAbstractButton*>(w))
        b->setText(value);
}

void MainDialog::SendProgress(int id, ProgressMessage message, int first, int second) {
    auto* bar = qobject_cast<QProgressBar*>(control(id));
    if (bar == nullptr)
        return;
    switch (message) {
    case ProgressMessage::SetRange:
        bar->setRange(first, second);
        break;
    case ProgressMessage::SetStep:
        // A QProgressBar has no step of its own; positions are always set.
        break;
    case ProgressMessage::SetPos:
        // The bar keeps its position within its range.
        bar->setValue(qBound(bar->minimum(), first, bar->maximum()));
        break;
    }
}

void MainDialog::SetDefaultButton(int id) {
    for (QPushButton* button : findChildren<QPushButton*>()) {
        // A button that takes the default on focus would take Enter back.
        button->setAutoDefault(false);
        button->setDefault(button == control(id));
    }
}

void MainDialog::SetFocusable(int id, bool focusable) {
    QWidget* w = control(id);
    if (w == nullptr)
        return;
    w->setFocusPolicy(focusable ? Qt::StrongFocus : Qt::NoFocus);
    if (!focusable && w->hasFocus())
        w->clearFocus();
}

void MainDialog::Focus(int id) {
    if (QWidget* w = control(id); w != nullptr && w->isVisibleTo(this) && w->isEnabled())
        w->setFocus(Qt::OtherFocusReason);
}

std::string MainDialog::EditText(int id) const {
    auto* edit = qobject_cast<QLineEdit*>(control(id));
    return edit != nullptr ? edit->text().toLatin1().toStdString() : std::string();
}

upgrade::ConfirmAnswer MainDialog::Confirm(const upgrade::ConfirmQuestion& question) {
    using upgrade::ConfirmAnswer;
    const int answer = ShowMessageBox(
        this, QString::fromStdString(question.title), FromRecord(question.text), QMessageBox::Warning,
        QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel, QMessageBox::Cancel);
    if (answer == QMessageBox::Yes)
        return ConfirmAnswer::Yes;
    return answer == QMessageBox::No ? ConfirmAnswer::No : ConfirmAnswer::Cancel;
}

bool MainDialog::AskYesNo(std::string_view title, std::string_view text) {
    return ShowMessageBox(this, FromRecord(title), FromRecord(text), QMessageBox::Warning,
                          QMessageBox::Yes | QMessageBox::No, QMessageBox::No) == QMessageBox::Yes;
}

void MainDialog::Inform(std::string_view title, std::string_view text) {
    ShowMessageBox(this, FromRecord(title), FromRecord(text), QMessageBox::NoIcon, QMessageBox::Ok);
}

void MainDialog::OpenAdvancedOptions() {
    ShowAdvancedOptions(this, m_presenter.NoTftpOptions());
}

void MainDialog::End(int value) {
    done(value);
}

void MainDialog::PresentPending() {
    // The events raised on this thread are shown before the next input is taken.
    QCoreApplication::sendPostedEvents(this, QEvent::MetaCall);
}

bool MainDialog::PostToDialogThread(std::function<void()> work) {
    // Queued behind the events posted before it, so they are presented first, in order.
    return QMetaObject::invokeMethod(this, std::move(work), Qt::QueuedConnection);
}

void MainDialog::onCommand(int id) {
    m_presenter.Command(id);
}

void MainDialog::reject() {
    m_presenter.Command(ID_CANCEL);
}

void MainDialog::present(const DialogEvent& event) {
    m_presenter.Present(event);
    ++m_presented;
}

void MainDialog::contextMenuEvent(QContextMenuEvent* event) {
    QMenu menu(this);
    menu.setObjectName(QStringLiteral("systemMenu"));
    QAction* about = menu.addAction(QString::fromLatin1(kAboutMenuText));
    connect(about, &QAction::triggered, this, [this] { m_presenter.ShowAbout(); });
    menu.exec(event->globalPos());
}

} // namespace skelvo::ui
