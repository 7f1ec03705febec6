#include "ui/dialog_thread.h"

#include <condition_variable>
#include <mutex>

namespace skelvo::ui {

struct DialogThread::State {
    std::mutex lock;
    std::condition_variable changed;
    bool closed = false;
};

namespace {

struct Ticket {
    bool running = false;
    bool done = false;
    // The waiter has gone: its work no longer exists.
    bool abandoned = false;
};

} // namespace

DialogThread::DialogThread(Post post)
    : m_state(std::make_shared<State>()), m_post(std::move(post)), m_owner(std::this_thread::get_id()) {}

DialogThread::~DialogThread() {
    Close();
}

bool DialogThread::Run(const std::function<void()>& work) {
    if (std::this_thread::get_id() == m_owner) {
        if (m_state->closed)
            return false;
        work();
        return true;
    }
    auto ticket = std::make_shared<Ticket>();
    {
        std::lock_guard<std::mutex> guard(m_state->lock);
        if (m_state->closed)
            return false;
    }
    const bool queued = m_post([state = m_state, ticket, work = &work] {
        {
            std::lock_guard<std::mutex> guard(state->lock);
            if (state->closed || ticket->abandoned)
                return;
            ticket->running = true;
        }
        (*work)();
        std::lock_guard<std::mutex> guard(state->lock);
        ticket->done = true;
        state->changed.notify_all();
    });
    if (!queued)
        return false;
    std::unique_lock<std::mutex> hold(m_state->lock);
    m_state->changed.wait(hold, [&] { return ticket->done || (m_state->closed && !ticket->running); });
    if (ticket->done)
        return true;
    ticket->abandoned = true;
    return false;
}

void DialogThread::Close() {
    std::lock_guard<std::mutex> guard(m_state->lock);
    m_state->closed = true;
    m_state->changed.notify_all();
}

} // namespace skelvo::ui
