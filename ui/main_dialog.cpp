#include "ui/main_dialog.h"

#include "engine/messages.h"
#include "engine/trace.h"
#include "engine/upgrade_record.h"
#include "http/continue_sequence.h"
#include "http/device_http.h"
#include "ui/advanced_dialog.h"
#include "ui/modal_boxes.h"
#include "ui/presentation.h"
#include "ui/static_text.h"

#include <QAbstractButton>
#include <QContextMenuEvent>
#include <QCoreApplication>
#include <QIcon>
#include <QLineEdit>
#include <QMenu>
#include <QMetaObject>
#include <QProgressBar>
#include <QShortcut>

#include <mutex>

namespace skelvo::ui {

namespace {

std::optional<NetworkForTesting>& TestNetwork() {
    static std::optional<NetworkForTesting> network;
    return network;
}

// The dialog that events are presented on. The lock is held while an invocation is posted, so
// the dialog cannot be destroyed between the look-up and the post; Qt drops what is still
// queued for a destroyed object.
std::mutex g_targetLock;
MainDialog* g_target = nullptr;

QString FromRecord(std::string_view text) {
    return QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size()));
}

std::string ToRecord(const QString& text) {
    return text.toLatin1().toStdString();
}

} // namespace

void SetNetworkForTesting(std::optional<NetworkForTesting> network) {
    TestNetwork() = network;
    SetHttpPort(network ? network->httpPort : kHttpPort);
}

QString AboutText() {
    const std::string t21 = FormatVersion(ImageVersion(SERVER_TOLVA_21XX));
    const std::string t22 = FormatVersion(ImageVersion(SERVER_TOLVA_22XX));
    const std::string dh = FormatVersion(ImageVersion(SERVER_DRAVENHOLT));
    std::string text = "Skelvo Firmware Flash Loader\n\n";
    text += "Tolva-2100 firmware version: " + t21.substr(0, 63) + "\n";
    text += "Tolva-2200 firmware version: " + t22.substr(0, 63) + "\n";
    text += "Dravenholt-II firmware version: " + dh.substr(0, 63) + "\n";
    text += "\n";
    text += "Copyright Varnek. Use only on devices you administer.";
    return FromRecord(text);
}

MainDialog::MainDialog(QWidget* parent) : TemplateDialog(MainDialogTemplate(), parent) {
    {
        std::lock_guard<std::mutex> guard(g_targetLock);
        g_target = this;
    }
    QIcon icon;
    for (int size : {16, 32, 48})
        icon.addFile(QStringLiteral(":/skelvo/icon%1-%2.png").arg(kIconGroupId).arg(size), QSize(size, size));
    if (!icon.isNull())
        setWindowIcon(icon);

    SetText(ID_INTRO, kIntroText);
    SetText(ID_HOST, g_TftpConfigData.HostName);
    SetText(ID_LOGIN, g_TftpConfigData.LoginName);
    SetText(ID_PASSWORD, g_TftpConfigData.Password);
    centerWindow();
    control(ID_HOST)->setFocus(Qt::OtherFocusReason);

    auto* about = new QShortcut(QKeySequence(Qt::Key_F1), this);
    about->setObjectName(QStringLiteral("aboutShortcut"));
    connect(about, &QShortcut::activated, this, &MainDialog::showAbout);
}

MainDialog::~MainDialog() {
    std::lock_guard<std::mutex> guard(g_targetLock);
    if (g_target == this)
        g_target = nullptr;
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
        m_progressStep = first;
        break;
    case ProgressMessage::SetPos:
        // The bar keeps its position within its range.
        bar->setValue(qBound(bar->minimum(), first, bar->maximum()));
        break;
    }
}

void MainDialog::onCommand(int id) {
    switch (id) {
    case ID_OK:
    case ID_CLOSE:
        done(1);
        break;
    case ID_CANCEL:
        done(0);
        break;
    case ID_CONTINUE:
        runContinue();
        break;
    case ID_ADVANCED:
        showAdvancedOptions();
        break;
    default:
        break;
    }
}

void MainDialog::reject() {
    if (CloseNeedsConfirmation(m_form)) {
        const int answer =
            ShowMessageBox(this, windowTitle(), FromRecord(kCloseDuringUpgradeQuestion), QMessageBox::Warning,
                           QMessageBox::Yes | QMessageBox::No, QMessageBox::No);
        if (answer != QMessageBox::Yes)
            return;
    }
    // The dialog ends with 0, as Cancel does.
    done(0);
}

void MainDialog::presentStatus(int code, const StatusPayload& payload, const EventContext& context) {
    OnUpgradeStatus(*this, code, payload, context);
    m_form = FormAfterStatus(m_form, code);
    ++m_presented;
}

void MainDialog::presentError(int code, const EventContext& context) {
    OnUpgradeError(*this, code, context);
    m_form = FormAfterError(m_form, code);
    ++m_presented;
}

void MainDialog::contextMenuEvent(QContextMenuEvent* event) {
    QMenu menu(this);
    menu.setObjectName(QStringLiteral("systemMenu"));
    QAction* about = menu.addAction(QString::fromLatin1(kAboutMenuText));
    connect(about, &QAction::triggered, this, &MainDialog::showAbout);
    menu.exec(event->globalPos());
}

void MainDialog::showAbout() {
    ShowMessageBox(this, QStringLiteral("About Varnek Skelvo ..."), AboutText(), QMessageBox::NoIcon,
                   QMessageBox::Ok);
}

void MainDialog::showAdvancedOptions() {
    ShowAdvancedOptions(this);
}

void MainDialog::runContinue() {
    ContinueRequest request;
    request.hostName = ToRecord(qobject_cast<QLineEdit*>(control(ID_HOST))->text());
    request.loginName = ToRecord(qobject_cast<QLineEdit*>(control(ID_LOGIN))->text());
    request.password = ToRecord(qobject_cast<QLineEdit*>(control(ID_PASSWORD))->text());
    request.confirm = [this](const ConfirmQuestion& question) {
        const int answer = ShowMessageBox(
            this, QString::fromStdString(question.title), FromRecord(question.text), QMessageBox::Warning,
            QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel, QMessageBox::Cancel);
        if (answer == QMessageBox::Yes)
            return ConfirmAnswer::Yes;
        return answer == QMessageBox::No ? ConfirmAnswer::No : ConfirmAnswer::Cancel;
    };
    if (const auto& network = TestNetwork()) {
        TftpServerOptions options;
        options.port = network->tftpPort;
        request.tftp = options;
    }
    RunContinueSequence(request);
    // The events the sequence raised on this thread are shown before the next input is taken,
    // so a second click cannot reach a Continue that the first has already hidden.
    QCoreApplication::sendPostedEvents(this, QEvent::MetaCall);
}

int DialogOnUpgradeStatus(int code, void* info) {
    StatusPayload payload = CopyStatusPayload(code, info);
    EventContext context = CurrentEventContext();
    std::lock_guard<std::mutex> guard(g_targetLock);
    if (g_target == nullptr)
        return 1;
    MainDialog* target = g_target;
    QMetaObject::invokeMethod(
        target,
        [target, code, payload, context = std::move(context)] {
            target->presentStatus(code, payload, context);
        },
        Qt::QueuedConnection);
    return 1;
}

int DialogOnUpgradeError(int code, void*) {
    EventContext context = CurrentEventContext();
    std::lock_guard<std::mutex> guard(g_targetLock);
    if (g_target == nullptr)
        return 1;
    MainDialog* target = g_target;
    QMetaObject::invokeMethod(
        target, [target, code, context = std::move(context)] { target->presentError(code, context); },
        Qt::QueuedConnection);
    return 1;
}

} // namespace skelvo::ui
