#include "ui/app.h"

#include "engine/upgrade_record.h"
#include "tftp/tftp_callbacks.h"
#include "tftp/tftp_server.h"
#include "ui/main_dialog.h"

#include <QApplication>

#include <cstdio>
#include <cstdlib>

namespace skelvo::ui {

void PrepareStartup() {
    RegisterTftpCallbacks(CheckFilename, ReadImageBlock, nullptr, DialogOnUpgradeError,
                          DialogOnUpgradeStatus);
    SetLoginName(kDefaultLogin);
    SetPassword(kDefaultPassword);
}

int RunMainDialog() {
    MainDialog dialog;
    return dialog.exec();
}

void EndProcess(int status) {
    // Trace lines are written unbuffered; this only flushes what Qt or a library left in stdio.
    std::fflush(stdout);
    std::fflush(stderr);
    std::_Exit(status);
}

void RunSkelvo(int argc, char** argv) {
    // The handler table is filled before the toolkit starts, so nothing can raise an event first.
    RegisterTftpCallbacks(CheckFilename, ReadImageBlock, nullptr, DialogOnUpgradeError,
                          DialogOnUpgradeStatus);
    // Never destroyed: the worker may still post events to the dialog's thread when the process
    // ends.
    auto* app = new QApplication(argc, argv);
    app->setApplicationName(QStringLiteral("skelvo"));
    SetLoginName(kDefaultLogin);
    SetPassword(kDefaultPassword);
    auto* dialog = new MainDialog;
    EndProcess(dialog->exec());
}

} // namespace skelvo::ui
