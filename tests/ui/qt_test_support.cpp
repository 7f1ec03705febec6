#include "qt_test_support.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include "tftp/tftp_callbacks.h"
#include "ui/modal_boxes.h"
#include "ui/templates.h"

#include <QAbstractButton>
#include <QApplication>
#include <QElapsedTimer>
#include <QPushButton>
#include <QThread>

#include <cstdlib>
#include <thread>

namespace skelvo::test {

void EnsureApplication() {
    if (QApplication::instance() != nullptr)
        return;
    if (std::getenv("QT_QPA_PLATFORM") == nullptr)
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
    // The dialogs keep their journal in the test's own folder, not in the user's.
    static const std::string state = testing::TempDir() + "/skelvo-ui-state-" + std::to_string(::getpid());
    setenv("XDG_STATE_HOME", state.c_str(), 1);
    static int argc = 1;
    static char name[] = "skelvo-ui-tests";
    static char* argv[] = {name, nullptr};
    new QApplication(argc, argv);
}

bool WaitUntil(const std::function<bool()>& pred, std::chrono::milliseconds bound) {
    QElapsedTimer timer;
    timer.start();
    while (!pred()) {
        if (timer.elapsed() > bound.count())
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(2);
    }
    return true;
}

RaisedEvent Status(int code) {
    return RaisedEvent{false, code, {}, std::nullopt};
}
RaisedEvent Error(int code) {
    return RaisedEvent{true, code, {}, std::nullopt};
}
RaisedEvent Progress(int sent, int total) {
    return RaisedEvent{false, STATUS_PROGRESS, ProgressInfo{sent, total}, std::nullopt};
}
RaisedEvent Completed(int finalAckReceived) {
    return RaisedEvent{false, STATUS_COMPLETE, {}, CompletionInfo{finalAckReceived}};
}

void RaiseOnWorker(ui::MainDialog& dialog, const std::vector<RaisedEvent>& events) {
    const int before = dialog.presentedEvents();
    std::thread worker([&events] {
        for (const RaisedEvent& e : events) {
            if (e.error) {
                RaiseError(e.code);
            } else if (e.code == STATUS_PROGRESS) {
                // The payload lives only during the call, as the worker's does.
                ProgressInfo info = e.progress;
                RaiseStatus(e.code, &info);
                info = ProgressInfo{-1, -1};
            } else if (e.completion) {
                CompletionInfo info = *e.completion;
                RaiseStatus(e.code, &info);
                info = CompletionInfo{-1};
            } else {
                RaiseStatus(e.code);
            }
        }
    });
    worker.join();
    const int expected = before + static_cast<int>(events.size());
    WaitUntil([&] { return dialog.presentedEvents() >= expected; });
}

std::set<int> VisibleControls(const ui::MainDialog& dialog) {
    std::set<int> out;
    for (const ui::ControlTemplate& c : ui::MainDialogTemplate().controls) {
        if (c.id == ui::kNoId)
            continue;
        if (QWidget* w = dialog.control(c.id); w != nullptr && !w->isHidden())
            out.insert(c.id);
    }
    return out;
}

SeenBox Describe(QMessageBox& box) {
    SeenBox s;
    s.title = box.windowTitle();
    s.text = box.text();
    s.icon = box.icon();
    s.buttons = box.standardButtons();
    if (QPushButton* d = box.defaultButton())
        s.defaultButton = box.standardButton(d);
    return s;
}

BoxAnswerer::BoxAnswerer(QMessageBox::StandardButton a) : answer(a) {
    ui::SetMessageBoxHook([this](QMessageBox& box) {
        seen.push_back(Describe(box));
        return static_cast<int>(answer);
    });
}

BoxAnswerer::~BoxAnswerer() {
    ui::SetMessageBoxHook({});
}

} // namespace skelvo::test

// LeakSanitizer: fontconfig keeps caches for the life of the process and never frees them.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libfontconfig.so\n";
}
