// SIGINT, SIGTERM and SIGHUP (on Windows the console's Ctrl-C, Ctrl-Break and close events) for the
// commands that must not drop a device half-way: while an InterruptWatch lives they are counted,
// not obeyed, and each one is handed to a listener on a thread of its own.
//
// The POSIX handler only stores the signal, counts it and writes one byte to a pipe, all of which
// are async-signal-safe; a watcher thread reads the pipe and calls the listener. Waits that must end
// on a signal look at Count().
#pragma once

#include "upgrade/outcome.h"

#include <functional>
#include <thread>

namespace skelvo::cli {

using ::skelvo::upgrade::kSignalHangUp;
using ::skelvo::upgrade::kSignalInterrupt;
using ::skelvo::upgrade::kSignalTerminate;
using ::skelvo::upgrade::SignalName;

class InterruptWatch {
  public:
    // count: 1 for the first signal since the watch began, 2 for the second, ...
    using Listener = std::function<void(int count, int signal)>;

    // Installs the handlers; only one watch may live at a time.
    InterruptWatch();
    // Restores the default handlers.
    ~InterruptWatch();
    InterruptWatch(const InterruptWatch&) = delete;
    InterruptWatch& operator=(const InterruptWatch&) = delete;

    // Called on the watcher thread, once per signal, in order. Once this returns, the previous
    // listener is no longer running; a listener must not call it.
    void SetListener(Listener listener);
    // Signals received so far, and the number of the last one (0 before any).
    int Count() const;
    int LastSignal() const;
    // The exit code of a command that a signal ended: 128 + its number.
    int ExitCode() const { return 128 + LastSignal(); }

  private:
    std::thread m_watcher;
};

} // namespace skelvo::cli
