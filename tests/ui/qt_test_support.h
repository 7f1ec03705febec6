// Support for the dialog tests on Qt's offscreen platform: one QApplication for the process,
// waiting for queued presentations, raising events from a worker thread, and answering boxes.
#pragma once

#include "engine/events.h"
#include "ui/main_dialog.h"

#include <QMessageBox>
#include <QString>
#include <QWidget>

#include <chrono>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace skelvo::test {

// Creates the application on first use (offscreen unless QT_QPA_PLATFORM says otherwise).
void EnsureApplication();

// Runs the event loop until pred holds; false after the bound.
bool WaitUntil(const std::function<bool()>& pred, std::chrono::milliseconds bound = std::chrono::seconds(30));

// One event as the engine raises it: a status code with its payload, or an error.
struct RaisedEvent {
    bool error = false;
    int code = 0;
    ProgressInfo progress{};
    std::optional<CompletionInfo> completion; // STATUS_COMPLETE: raised with it when set
};
RaisedEvent Status(int code);
RaisedEvent Error(int code);
RaisedEvent Progress(int sent, int total);
RaisedEvent Completed(int finalAckReceived);

// Raises the events through the registered handlers on a thread of its own, one after another,
// then waits until the dialog has presented all of them.
void RaiseOnWorker(ui::MainDialog& dialog, const std::vector<RaisedEvent>& events);

// Ids of the template controls that are visible within the dialog, and whether Close is enabled.
std::set<int> VisibleControls(const ui::MainDialog& dialog);

// What a message box showed, as a hook sees it.
struct SeenBox {
    QString title;
    QString text;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QMessageBox::StandardButtons buttons;
    QMessageBox::StandardButton defaultButton = QMessageBox::NoButton;
};
SeenBox Describe(QMessageBox& box);

// Answers every message box with `answer` and keeps what they showed; restores the default hook
// when destroyed.
class BoxAnswerer {
  public:
    explicit BoxAnswerer(QMessageBox::StandardButton answer);
    ~BoxAnswerer();
    std::vector<SeenBox> seen;
    QMessageBox::StandardButton answer;
};

} // namespace skelvo::test
