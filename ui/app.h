// The dialog program: start-up, the main dialog, and the end of the process with the dialog's
// value.
#pragma once

namespace skelvo::ui {

// Ends the process at once with status, while the TFTP worker may still be serving: no static
// destructor runs and nothing the worker reads is torn down. Trace lines are already written.
[[noreturn]] void EndProcess(int status);

// The whole program: start-up, the dialog, and then the end of the process with the dialog's
// value, at once, while the TFTP worker may still be serving. Does not return.
[[noreturn]] void RunSkelvo(int argc, char** argv);

} // namespace skelvo::ui
