// The terminal progress display of skelvo-cli, fed the events of a real transfer's shape.
#include "cli/progress.h"
#include "engine/events.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>

using skelvo::cli::ProgressBar;
using skelvo::cli::ProgressDisplay;
using skelvo::cli::RateAndTimeLeft;

namespace {

// A memory stream that ProgressDisplay writes to, read back as text.
class MemoryStream {
  public:
    MemoryStream() : m_file(open_memstream(&m_data, &m_size)) {}
    ~MemoryStream() {
        if (m_file != nullptr)
            std::fclose(m_file);
        std::free(m_data);
    }
    std::FILE* file() { return m_file; }
    std::string Text() {
        std::fflush(m_file);
        return std::string(m_data, m_size);
    }

  private:
    char* m_data = nullptr;
    std::size_t m_size = 0;
    std::FILE* m_file;
};

TEST(ProgressBar, FillsInProportionAndClampsTheLastBlock) {
    EXPECT_EQ(ProgressBar(0, 100, 10), "[..........]   0%");
    EXPECT_EQ(ProgressBar(50, 100, 10), "[#####.....]  50%");
    EXPECT_EQ(ProgressBar(1536, 1024, 10), "[##########] 100%");
    EXPECT_EQ(ProgressBar(512, 0, 4), "[####] 100%"); // an empty image is done with its one block
}

TEST(ProgressDisplay, ThrottlesRedrawsButAlwaysShowsStepsAndTheEnd) {
    MemoryStream out;
    auto t = ProgressDisplay::Clock::time_point{};
    ProgressDisplay display(out.file(), true, [&t] { return t; });
    display.OnStatus(STATUS_VERIFYING, nullptr);
    const int total = 745353;
    for (int block = 1; block <= 1456; ++block) {
        t += std::chrono::milliseconds(1);
        ProgressInfo p{block * 512, total};
        display.OnStatus(STATUS_PROGRESS, &p);
    }
    int redraws = display.Redraws();
    EXPECT_GE(redraws, 10); // about every 100 ms of the 1.456 s
    EXPECT_LE(redraws, 20);
    display.OnStatus(STATUS_ERASING, nullptr);
    display.OnStatus(STATUS_COMPLETE, nullptr);
    display.Finish();
    std::string text = out.Text();
    std::size_t verifying = text.find("Step 3 of 5: Server is verifying flash image firmware");
    // a block a millisecond: 500 KiB/s, the end without a time left.
    std::size_t full = text.find("100%  745353/745353 bytes  500 KiB/s\n");
    std::size_t erasing = text.find("Step 4 of 5: Erasing existing flash firmware image.\n");
    ASSERT_NE(verifying, std::string::npos) << text;
    ASSERT_NE(full, std::string::npos) << text;
    ASSERT_NE(erasing, std::string::npos) << text;
    EXPECT_LT(verifying, full);
    EXPECT_LT(full, erasing);
    EXPECT_EQ(text.back(), '\n');
}

TEST(ProgressBar, RateAndTimeLeftAreMeasuredOverThePass) {
    using std::chrono::milliseconds;
    EXPECT_EQ(RateAndTimeLeft(4096, milliseconds(100), 1000), "") << "too early to tell";
    EXPECT_EQ(RateAndTimeLeft(0, milliseconds(5000), 1000), "") << "nothing acknowledged yet";
    EXPECT_EQ(RateAndTimeLeft(512 * 1024, milliseconds(1000), 512 * 1024 * 7), "512 KiB/s, 0:07 left");
    EXPECT_EQ(RateAndTimeLeft(3 << 20, milliseconds(2000), 1), "1.5 MiB/s, 0:01 left") << "rounded up";
    EXPECT_EQ(RateAndTimeLeft(1024, milliseconds(1000), 1024LL * 3725), "1 KiB/s, 1:02:05 left");
    EXPECT_EQ(RateAndTimeLeft(1024, milliseconds(1000), 0), "1 KiB/s");
}

TEST(ProgressDisplay, DisabledDrawsNothing) {
    MemoryStream out;
    ProgressDisplay display(out.file(), false);
    display.OnStatus(STATUS_PROGRAMMING, nullptr);
    ProgressInfo p{512, 1024};
    display.OnStatus(STATUS_PROGRESS, &p);
    display.Finish();
    EXPECT_EQ(out.Text(), "");
    EXPECT_EQ(display.Redraws(), 0);
}

} // namespace
