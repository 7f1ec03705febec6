#include "engine/trace.h"
#include "tests/support/event_recorder.h"

#include <gtest/gtest.h>

#include <thread>

namespace {

TEST(Trace, MessagesFromTwoThreadsNeverInterleave) {
    std::vector<std::string> messages;
    std::mutex lock;
    SetTraceSink([&](std::string_view text) {
        std::lock_guard<std::mutex> guard(lock);
        messages.emplace_back(text);
    });
    auto writer = [](char c) {
        for (int i = 0; i < 500; ++i)
            TraceMessage("%s\n", std::string(700, c).c_str());
    };
    std::thread a(writer, 'a');
    std::thread b(writer, 'b');
    a.join();
    b.join();
    ResetTraceSink();
    ASSERT_EQ(messages.size(), 1000u);
    for (const auto& m : messages) {
        ASSERT_EQ(m.size(), 701u);
        EXPECT_EQ(m.find_first_not_of(m[0]), 700u);
    }
}

TEST(Trace, KeepsTheErrorNumberOfTheCaller) {
    SetTraceSink(nullptr);
    errno = 42;
    TraceMessage("x %d\n", 1);
    EXPECT_EQ(errno, 42);
    ResetTraceSink();
}

TEST(PrintableText, EscapesControlBytesAndStopsAtNul) {
    const unsigned char raw[] = {'o', 'k', 0x1b, '[', '2', 'J', 0x07, 0xff, 0, 'x'};
    EXPECT_EQ(PrintableText(std::span<const unsigned char>(raw, sizeof raw)), "ok\\x1b[2J\\x07\\xff");
    EXPECT_EQ(PrintableText(std::string_view("plain")), "plain");
}

} // namespace
