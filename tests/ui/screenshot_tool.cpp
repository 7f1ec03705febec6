// Takes the README's screenshots of the dialog: step 1, step 3 with the bar moving, success and
// error. The events are raised through the registered handlers from a worker thread, as the TFTP
// server raises them. Under an X server (Xvfb) the pictures are grabbed from the screen.
#include "engine/events.h"
#include "engine/upgrade_record.h"
#include "tftp/tftp_callbacks.h"
#include "ui/advanced_dialog.h"
#include "ui/app.h"
#include "ui/main_dialog.h"

#include <QApplication>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QLineEdit>
#include <QPixmap>
#include <QScreen>
#include <QThread>

#include <cstdio>
#include <cstring>
#include <thread>
#include <vector>

namespace {

using skelvo::ui::MainDialog;

void Settle(MainDialog& dialog, int events) {
    QElapsedTimer t;
    t.start();
    while ((dialog.presentedEvents() < events || t.elapsed() < 300) && t.elapsed() < 10000) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
        QThread::msleep(10);
    }
}

bool Save(QWidget& dialog, const QString& path) {
    QPixmap shot;
    if (QGuiApplication::platformName() == QLatin1String("xcb")) {
        const QRect r = dialog.frameGeometry();
        shot = dialog.screen()->grabWindow(0, r.x(), r.y(), r.width(), r.height());
    } else {
        shot = dialog.grab();
    }
    const bool ok = shot.save(path);
    std::printf("%s %s\n", ok ? "wrote" : "could not write", qPrintable(path));
    return ok;
}

// Raises the events on a thread of its own, one after another, as the worker does.
void RaiseOnWorker(const std::vector<std::pair<int, ProgressInfo>>& events) {
    std::thread worker([events] {
        for (const auto& [code, info] : events) {
            ProgressInfo copy = info;
            if (code < 0)
                RaiseError(-code);
            else
                RaiseStatus(code, code == STATUS_PROGRESS ? &copy : nullptr);
        }
    });
    worker.join();
}

std::vector<std::pair<int, ProgressInfo>> Progress(int from, int to, int total) {
    std::vector<std::pair<int, ProgressInfo>> out;
    for (int sent = from; sent <= to; sent += 512)
        out.push_back({STATUS_PROGRESS, ProgressInfo{sent, total}});
    return out;
}

void Append(std::vector<std::pair<int, ProgressInfo>>& a,
            const std::vector<std::pair<int, ProgressInfo>>& b) {
    a.insert(a.end(), b.begin(), b.end());
}

} // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    // With --step1-only NAME only step 1 is taken, as NAME (for a run at another scale).
    const bool step1Only = argc == 4 && std::strcmp(argv[2], "--step1-only") == 0;
    if (argc != 2 && !step1Only) {
        std::fprintf(stderr, "usage: skelvo-ui-screenshots DIR [--step1-only NAME]\n");
        return 2;
    }
    const QString dir = QString::fromLocal8Bit(argv[1]);
    skelvo::ui::PrepareStartup();
    SetHostName("192.0.2.7");
    const int total = static_cast<int>(g_TftpConfigData.Tolva21Image.Size);
    bool ok = true;
    if (step1Only) {
        MainDialog dialog;
        dialog.show();
        Settle(dialog, 0);
        auto* host = dialog.findChild<QLineEdit*>(QStringLiteral("control_1002"));
        host->deselect();
        host->end(false);
        Settle(dialog, 0);
        return Save(dialog, dir + QLatin1Char('/') + QString::fromLocal8Bit(argv[3])) ? 0 : 1;
    }
    {
        MainDialog owner;
        skelvo::ui::AdvancedDialog advanced(&owner);
        advanced.show();
        QElapsedTimer t;
        t.start();
        while (t.elapsed() < 300)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
        ok = Save(advanced, dir + QStringLiteral("/advanced-options.png")) && ok;
    }
    {
        MainDialog dialog;
        dialog.findChild<QLineEdit*>(QStringLiteral("control_1002"))->setText(QStringLiteral("192.0.2.7"));
        dialog.show();
        Settle(dialog, 0);
        // The caret stands after the typed address, as after typing it.
        auto* host = dialog.findChild<QLineEdit*>(QStringLiteral("control_1002"));
        host->deselect();
        host->end(false);
        Settle(dialog, 0);
        ok = Save(dialog, dir + QStringLiteral("/step1-input.png")) && ok;

        SetImageToUse(SERVER_TOLVA_21XX);
        std::vector<std::pair<int, ProgressInfo>> events{{STATUS_COMMAND_ACCEPTED, {}},
                                                         {STATUS_VERIFYING, {}}};
        Append(events, Progress(512, total * 43 / 100, total));
        RaiseOnWorker(events);
        Settle(dialog, static_cast<int>(events.size()));
        ok = Save(dialog, dir + QStringLiteral("/step3-verifying.png")) && ok;

        std::vector<std::pair<int, ProgressInfo>> rest = Progress(total * 43 / 100 + 512, total + 511, total);
        rest.push_back({STATUS_ERASING, {}});
        rest.push_back({STATUS_PROGRAMMING, {}});
        Append(rest, Progress(512, total + 511, total));
        rest.push_back({STATUS_COMPLETE, {}});
        RaiseOnWorker(rest);
        Settle(dialog, static_cast<int>(events.size() + rest.size()));
        ok = Save(dialog, dir + QStringLiteral("/success.png")) && ok;
    }
    {
        MainDialog dialog;
        dialog.show();
        Settle(dialog, 0);
        RaiseOnWorker({{STATUS_COMMAND_ACCEPTED, {}}, {-ERR_LOGIN, {}}});
        Settle(dialog, 2);
        ok = Save(dialog, dir + QStringLiteral("/error.png")) && ok;
    }
    return ok ? 0 : 1;
}
