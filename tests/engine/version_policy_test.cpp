#include "engine/version_policy.h"

#include <gtest/gtest.h>

namespace {

TEST(VersionPolicy, VersionsCompareByTheirNumericGroups) {
    struct Case {
        const char* device;
        const char* image;
        VersionOrder order;
    };
    const Case cases[] = {
        {"1.0.9", "1.0.10", VersionOrder::Older},
        {"1.0.10", "1.0.9", VersionOrder::Newer},
        {"1.0.9", "1.0.9", VersionOrder::Same},
        {"1.0", "1.0.0", VersionOrder::Same},
        {"1.0.9", "1.0.9a", VersionOrder::Older},
        {"1.0.9a", "1.0.10", VersionOrder::Older},
        {"1.0.9b", "1.0.9a", VersionOrder::Newer},
        {"6.2.1", "1.0.9", VersionOrder::Newer},
        {"2.0.0", "1.0.9", VersionOrder::Newer},
        {"01.0.9", "1.0.9", VersionOrder::Same},
        {"Not-Known", "1.0.9", VersionOrder::Unreadable},
        {"", "1.0.9", VersionOrder::Unreadable},
        {"1..9", "1.0.9", VersionOrder::Unreadable},
        {"1.0.9 beta", "1.0.9", VersionOrder::Unreadable},
        {"99999999999999999999999", "1", VersionOrder::Unreadable},
    };
    for (const Case& c : cases)
        EXPECT_EQ(CompareVersions(c.device, c.image), c.order) << c.device << " against " << c.image;
}

TEST(VersionPolicy, CurrentDevicesAreLeftAloneAndNewerOnesRefused) {
    const VersionPolicy none;
    EXPECT_EQ(DecideUpgrade("1.0.8", "1.0.9", none), PolicyDecision::Upgrade);
    EXPECT_EQ(DecideUpgrade("1.0.9", "1.0.9", none), PolicyDecision::UpToDate);
    EXPECT_EQ(DecideUpgrade("2.0.0", "1.0.9", none), PolicyDecision::RefusedNewer);
    EXPECT_EQ(DecideUpgrade("Not-Known", "1.0.9", none), PolicyDecision::RefusedUnreadable);

    EXPECT_EQ(DecideUpgrade("2.0.0", "1.0.9", VersionPolicy{.allowOlder = true}), PolicyDecision::Upgrade);
    EXPECT_EQ(DecideUpgrade("1.0.9", "1.0.9", VersionPolicy{.allowReinstall = true}),
              PolicyDecision::Upgrade);
    EXPECT_EQ(DecideUpgrade("Not-Known", "1.0.9", VersionPolicy{.allowReinstall = true}),
              PolicyDecision::Upgrade);
    // --allow-older alone does not re-flash a current device nor one that cannot be read.
    EXPECT_EQ(DecideUpgrade("1.0.9", "1.0.9", VersionPolicy{.allowOlder = true}), PolicyDecision::UpToDate);
    EXPECT_EQ(DecideUpgrade("Not-Known", "1.0.9", VersionPolicy{.allowOlder = true}),
              PolicyDecision::RefusedUnreadable);

    // A user's image has no version: the policy does not apply, but a device that does not say
    // what it runs needs --force.
    EXPECT_EQ(DecideUpgrade("2.0.0", "", none), PolicyDecision::Upgrade);
    EXPECT_EQ(DecideUpgrade("Not-Known", "", none), PolicyDecision::RefusedUnreadable);
    EXPECT_EQ(DecideUpgrade("Not-Known", "", VersionPolicy{.force = true}), PolicyDecision::Upgrade);
    EXPECT_STREQ(PolicyDecisionName(PolicyDecision::UpToDate), "up-to-date");
}

} // namespace
