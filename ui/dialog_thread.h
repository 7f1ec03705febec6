// Work that a worker hands to the dialog's thread and waits for. The toolkit only queues it; the
// wait lives here, so that a dialog that closes while a worker waits never waits for that worker
// in turn: closing ends every wait at once, and work still queued is then dropped.
#pragma once

#include <functional>
#include <memory>
#include <thread>

namespace skelvo::ui {

class DialogThread {
  public:
    // Queues work to the dialog's thread without waiting; false when it could not.
    using Post = std::function<bool(std::function<void()> work)>;
    // Made on the dialog's thread.
    explicit DialogThread(Post post);
    ~DialogThread();
    DialogThread(const DialogThread&) = delete;
    DialogThread& operator=(const DialogThread&) = delete;

    // Runs work on the dialog's thread and returns once it has run: true. From the dialog's thread
    // itself it runs at once. False, with the work not run, once Close has been called or when the
    // work could not be queued.
    bool Run(const std::function<void()>& work);
    // On the dialog's thread: nothing queued runs any more, and every Run returns.
    void Close();

  private:
    struct State;
    std::shared_ptr<State> m_state;
    Post m_post;
    std::thread::id m_owner;
};

} // namespace skelvo::ui
