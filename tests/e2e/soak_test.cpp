// Many whole upgrades of skelvo-devsim by skelvo-cli at 10 % loss of DATA and of ACKs, each with
// its own seed, half of them by a device that leaves at once after its last ACK (no dally), so
// that a lost final ACK stays lost. Every upgrade must end with the device programmed, and the
// command line's exit status must agree with the device every time.
//   SKELVO_SOAK_UPGRADES=N  how many upgrades (100)
//   SKELVO_SOAK_SEED=S      the first seed (1); upgrade i uses S + i
#include "tests/e2e/device_report.h"
#include "tests/support/event_recorder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>

using namespace skelvo::e2e;

namespace {

int EnvNumber(const char* name, int fallback) {
    const char* text = std::getenv(name);
    if (text == nullptr || *text == '\0')
        return fallback;
    int value = 0;
    auto [end, ec] = std::from_chars(text, text + std::strlen(text), value);
    return ec == std::errc() && *end == '\0' && value > 0 ? value : fallback;
}

TEST(Soak, LossyUpgradesAllProgramAndTheExitStatusAgrees) {
    const int total = EnvNumber("SKELVO_SOAK_UPGRADES", 100);
    const int firstSeed = EnvNumber("SKELVO_SOAK_SEED", 1);
    // Eight upgrades at a time, each lane with its own device address: they mostly wait, above
    // all the upgrades whose last ACK is lost for good, which the server resends for 47 s.
    constexpr int kLanes = 8;
    // 40 blocks: small enough for 100 lossy upgrades in a couple of minutes, and with a trailer,
    // so that the device verifies it and shows the new version.
    skelvo::test::TempDir dir;
    const auto image = ImageWithTrailer(20000, "TOLVA-22XX", "109", 17);
    const std::string file = dir.Write("soak.bin", image);
    const std::string sha = Sha256Hex(image);

    std::mutex mu;
    std::vector<std::string> failures;
    std::vector<double> seconds;
    int disagreements = 0;
    std::atomic<int> next{0};
    auto lane = [&](int laneIndex) {
        const std::string address = "127.0.7." + std::to_string(10 + laneIndex);
        for (int i = next++; i < total; i = next++) {
            const std::string seed = std::to_string(firstSeed + i);
            const std::string dally = i % 2 == 0 ? "0" : "1000";
            UpgradeRun run = UpgradeOnce(
                "tolva22", address,
                {"--seed", seed, "--tftp-dally-ms", dally, "--fault", "drop-data=0.1,drop-ack=0.1"},
                {"--image", file});
            std::string wrong = CheckProgrammed(run, sha, "1.0.9");
            std::lock_guard<std::mutex> g(mu);
            seconds.push_back(std::chrono::duration<double>(run.cli.elapsed).count());
            if (!ExitAgreesWithDevice(run)) {
                ++disagreements;
                wrong = "exit status disagrees with the device; " + wrong;
            }
            if (!wrong.empty())
                failures.push_back("seed " + seed + ", dally " + dally + " ms: " + wrong);
        }
    };
    std::vector<std::thread> lanes;
    for (int l = 0; l < kLanes; ++l)
        lanes.emplace_back(lane, l);
    for (auto& t : lanes)
        t.join();

    std::sort(seconds.begin(), seconds.end());
    const auto slow = std::count_if(seconds.begin(), seconds.end(), [](double s) { return s > 30; });
    std::printf(
        "soak: %d upgrades, %zu failed, %d disagreed; seconds: median %.2f, max %.2f; %td over 30 s\n", total,
        failures.size(), disagreements, seconds.empty() ? 0.0 : seconds[seconds.size() / 2],
        seconds.empty() ? 0.0 : seconds.back(), slow);
    EXPECT_EQ(disagreements, 0);
    EXPECT_TRUE(failures.empty()) << failures.size() << " of " << total
                                  << " upgrades went wrong; the first:\n"
                                  << (failures.empty() ? "" : failures.front());
    for (std::size_t k = 1; k < failures.size() && k < 5; ++k)
        ADD_FAILURE() << failures[k].substr(0, 3000);
}

} // namespace
