#include "ui/app.h"

#include "ui/event_route.h"
#include "ui/main_dialog.h"

#include <QApplication>

#include <cstdio>
#include <cstdlib>

namespace skelvo::ui {

void EndProcess(int status) {
    // Trace lines are written unbuffered; this only flushes what Qt or a library left in stdio.
    std::fflush(stdout);
    std::fflush(stderr);
    std::_Exit(status);
}

void RunSkelvo(int argc, char** argv) {
    PrepareStartup();
    // Never destroyed: the worker may still post events to the dialog's thread when the process
    // ends.
    auto* app = new QApplication(argc, argv);
    app->setApplicationName(QStringLiteral("skelvo"));
    auto* dialog = new MainDialog;
    EndProcess(dialog->exec());
}

} // namespace skelvo::ui
