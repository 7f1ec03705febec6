#include "cli/interrupt.h"

#include <atomic>
#include <mutex>
#include <string>

#if defined(_WIN32)
#include <windows.h>
#else
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>
#endif

namespace skelvo::cli {
namespace {

static_assert(std::atomic<int>::is_always_lock_free, "the signal handler needs lock-free atomics");

std::atomic<int> g_count{0};
std::atomic<int> g_last{0};
// Held for the whole call, so that once SetListener returns the old listener runs no more.
std::mutex g_listenerLock;
InterruptWatch::Listener g_listener;

void Deliver(int count, int signal) {
    std::lock_guard lock(g_listenerLock);
    if (g_listener)
        g_listener(count, signal);
}

#if defined(_WIN32)

// The console runs this on a thread of its own, so it may call the listener itself.
BOOL WINAPI OnConsoleEvent(DWORD type) {
    int signal = kSignalInterrupt;
    if (type == CTRL_CLOSE_EVENT)
        signal = kSignalHangUp;
    else if (type == CTRL_LOGOFF_EVENT || type == CTRL_SHUTDOWN_EVENT)
        signal = kSignalTerminate;
    g_last.store(signal);
    const int count = g_count.fetch_add(1) + 1;
    Deliver(count, signal);
    return TRUE;
}

#else

constexpr int kWatched[] = {SIGINT, SIGTERM, SIGHUP};
int g_pipe[2] = {-1, -1};
struct sigaction g_previous[3];

extern "C" void OnSignal(int signal) {
    const int saved = errno;
    g_last.store(signal);
    g_count.fetch_add(1);
    const auto byte = static_cast<unsigned char>(signal);
    [[maybe_unused]] const ssize_t written = ::write(g_pipe[1], &byte, 1);
    errno = saved;
}

#endif

} // namespace

#if defined(_WIN32)

InterruptWatch::InterruptWatch() {
    g_count.store(0);
    g_last.store(0);
    SetConsoleCtrlHandler(&OnConsoleEvent, TRUE);
}

InterruptWatch::~InterruptWatch() {
    SetConsoleCtrlHandler(&OnConsoleEvent, FALSE);
    SetListener({});
}

#else

InterruptWatch::InterruptWatch() {
    g_count.store(0);
    g_last.store(0);
    if (::pipe(g_pipe) != 0) {
        g_pipe[0] = g_pipe[1] = -1;
    } else {
        // A full pipe must not block the handler; the count is kept all the same.
        ::fcntl(g_pipe[1], F_SETFL, ::fcntl(g_pipe[1], F_GETFL) | O_NONBLOCK);
        ::fcntl(g_pipe[0], F_SETFD, FD_CLOEXEC);
        ::fcntl(g_pipe[1], F_SETFD, FD_CLOEXEC);
        m_watcher = std::thread([] {
            int delivered = 0;
            for (;;) {
                unsigned char byte = 0;
                const ssize_t n = ::read(g_pipe[0], &byte, 1);
                if (n < 0 && errno == EINTR)
                    continue;
                // A zero byte is the destructor's, not a signal's.
                if (n <= 0 || byte == 0)
                    return;
                Deliver(++delivered, byte);
            }
        });
    }
    struct sigaction action {};
    action.sa_handler = &OnSignal;
    sigemptyset(&action.sa_mask);
    // Restarted calls: a signal must not fail a socket call or a write on some other thread.
    action.sa_flags = SA_RESTART;
    for (std::size_t i = 0; i < std::size(kWatched); ++i)
        ::sigaction(kWatched[i], &action, &g_previous[i]);
}

InterruptWatch::~InterruptWatch() {
    for (std::size_t i = 0; i < std::size(kWatched); ++i)
        ::sigaction(kWatched[i], &g_previous[i], nullptr);
    if (m_watcher.joinable()) {
        const unsigned char stop = 0;
        // The pipe is non-blocking for writes; retry until the watcher has room.
        while (::write(g_pipe[1], &stop, 1) != 1 && (errno == EINTR || errno == EAGAIN))
            std::this_thread::yield();
        m_watcher.join();
    }
    for (int& fd : g_pipe) {
        if (fd >= 0)
            ::close(fd);
        fd = -1;
    }
    SetListener({});
}

#endif

void InterruptWatch::SetListener(Listener listener) {
    std::lock_guard lock(g_listenerLock);
    g_listener = std::move(listener);
}

int InterruptWatch::Count() const {
    return g_count.load();
}

int InterruptWatch::LastSignal() const {
    return g_last.load();
}

} // namespace skelvo::cli
