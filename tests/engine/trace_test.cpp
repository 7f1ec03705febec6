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

// A device's lines among many: every line with text carries the tag, blank lines stay blank, and
// the message is still one write.
TEST(Trace, TaggedMessagesTagEveryLineWithText) {
    std::vector<std::string> messages;
    SetTraceSink([&](std::string_view text) { messages.emplace_back(text); });
    TraceTagged("192.0.2.7: ", "\nftp server thread finished...\n");
    TraceTagged("192.0.2.7: ", "block-%d\n\nnext", 3);
    TraceTagged("", "plain\n");
    ResetTraceSink();
    EXPECT_EQ(messages, (std::vector<std::string>{"\n192.0.2.7: ftp server thread finished...\n",
                                                  "192.0.2.7: block-3\n\n192.0.2.7: next", "plain\n"}));
}

TEST(PrintableText, EscapesControlBytesAndStopsAtNul) {
    const unsigned char raw[] = {'o', 'k', 0x1b, '[', '2', 'J', 0x07, 0xff, 0, 'x'};
    EXPECT_EQ(PrintableText(std::span<const unsigned char>(raw, sizeof raw)), "ok\\x1b[2J\\x07\\xff");
    EXPECT_EQ(PrintableText(std::string_view("plain")), "plain");
}

} // namespace
