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

void RunSkelvo(int argc, char** argv) {
    // The handler table is filled before the toolkit starts, as nothing may raise an event first.
    RegisterTftpCallbacks(CheckFilename, ReadImageBlock, nullptr, DialogOnUpgradeError,
                          DialogOnUpgradeStatus);
    // Deliberately never destroyed: the worker thread may still post events to the dialog's
    // thread when the process ends, so nothing it can reach is torn down.
    auto* app = new QApplication(argc, argv);
    app->setApplicationName(QStringLiteral("skelvo"));
    SetLoginName(kDefaultLogin);
    SetPassword(kDefaultPassword);
    auto* dialog = new MainDialog;
    const int status = dialog->exec();
    // Trace lines are written unbuffered; this only flushes what Qt or a library left in stdio.
    std::fflush(stdout);
    std::fflush(stderr);
    // Ends at once, without running static destructors or joining the worker, which may be in
    // the middle of a transfer and still reads the upgrade record and the image.
    std::_Exit(status);
}

} // namespace skelvo::ui
