// Start-up of the dialog program: the handler table, the default login, the main dialog, and the
// end of the process with the dialog's value.
#pragma once

namespace skelvo::ui {

// Registers CheckFilename, ReadImageBlock, no write handler, and the dialog's two handlers, then
// stores the default login and password. Call before the main dialog exists.
void PrepareStartup();

// Runs the main dialog modally on an existing QApplication and returns its end value (1 or 0).
int RunMainDialog();

// Ends the process at once with status, while the TFTP worker may still be serving: no static
// destructor runs and nothing the worker reads is torn down. Trace lines are already written.
[[noreturn]] void EndProcess(int status);

// The whole program: start-up, the dialog, and then the end of the process with the dialog's
// value, at once, while the TFTP worker may still be serving. Does not return.
[[noreturn]] void RunSkelvo(int argc, char** argv);

} // namespace skelvo::ui
