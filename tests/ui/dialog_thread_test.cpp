#include "ui/dialog_thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <deque>
#include <future>
#include <mutex>

namespace {

using namespace std::chrono_literals;
using skelvo::ui::DialogThread;

// The dialog's queue: work posted from a worker waits here until the test's thread (the dialog's)
// runs it.
struct Queue {
    std::mutex lock;
    std::deque<std::function<void()>> work;
    bool accept = true;

    bool Post(std::function<void()> w) {
        std::lock_guard<std::mutex> guard(lock);
        if (!accept)
            return false;
        work.push_back(std::move(w));
        return true;
    }
    // Runs what is queued; false when nothing came within the bound.
    bool RunOne(std::chrono::milliseconds bound = 30s) {
        const auto end = std::chrono::steady_clock::now() + bound;
        while (std::chrono::steady_clock::now() < end) {
            std::function<void()> w;
            {
                std::lock_guard<std::mutex> guard(lock);
                if (!work.empty()) {
                    w = std::move(work.front());
                    work.pop_front();
                }
            }
            if (w) {
                w();
                return true;
            }
            std::this_thread::sleep_for(1ms);
        }
        return false;
    }
};

TEST(DialogThread, WorkRunsOnTheDialogsThreadAndTheWorkerWaitsForIt) {
    Queue queue;
    DialogThread dialog([&](std::function<void()> w) { return queue.Post(std::move(w)); });
    std::thread::id ranOn;
    auto worker = std::async(std::launch::async,
                             [&] { return dialog.Run([&] { ranOn = std::this_thread::get_id(); }); });
    ASSERT_TRUE(queue.RunOne());
    EXPECT_TRUE(worker.get());
    EXPECT_EQ(ranOn, std::this_thread::get_id());

    // From the dialog's own thread it runs at once, with nothing queued.
    bool ran = false;
    EXPECT_TRUE(dialog.Run([&] { ran = true; }));
    EXPECT_TRUE(ran);
    EXPECT_TRUE(queue.work.empty());
}

TEST(DialogThread, ClosingEndsAWaitingWorkerAndDropsItsQueuedWork) {
    Queue queue;
    DialogThread dialog([&](std::function<void()> w) { return queue.Post(std::move(w)); });
    std::atomic<bool> ran{false};
    auto worker = std::async(std::launch::async, [&] { return dialog.Run([&] { ran = true; }); });
    // The worker has queued its work and waits; the dialog closes instead of running it, and then
    // waits for the worker, which must not wait for the dialog in turn.
    const auto end = std::chrono::steady_clock::now() + 30s;
    while (std::chrono::steady_clock::now() < end && [&] {
        std::lock_guard<std::mutex> guard(queue.lock);
        return queue.work.empty();
    }())
        std::this_thread::sleep_for(1ms);
    dialog.Close();
    ASSERT_EQ(worker.wait_for(30s), std::future_status::ready);
    EXPECT_FALSE(worker.get());
    // The toolkit may still deliver what was queued: it no longer runs.
    ASSERT_TRUE(queue.RunOne());
    EXPECT_FALSE(ran);
    // After closing nothing is queued or run, from any thread.
    EXPECT_FALSE(dialog.Run([&] { ran = true; }));
    EXPECT_FALSE(std::async(std::launch::async, [&] { return dialog.Run([&] { ran = true; }); }).get());
    EXPECT_FALSE(ran);
}

TEST(DialogThread, WorkThatCannotBeQueuedIsNotWaitedFor) {
    Queue queue;
    queue.accept = false;
    DialogThread dialog([&](std::function<void()> w) { return queue.Post(std::move(w)); });
    auto worker = std::async(std::launch::async, [&] { return dialog.Run([] {}); });
    ASSERT_EQ(worker.wait_for(30s), std::future_status::ready);
    EXPECT_FALSE(worker.get());
}

} // namespace
