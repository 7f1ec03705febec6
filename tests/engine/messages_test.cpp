#include "engine/events.h"
#include "engine/messages.h"
#include "engine/upgrade_record.h"

#include <gtest/gtest.h>

namespace {

TEST(ProgressPosition, DividesFirstThenTruncates) {
    EXPECT_EQ(ProgressPosition(14848, 51200), 28);
    EXPECT_EQ(ProgressPosition(29184, 51200), 56);
    EXPECT_EQ(ProgressPosition(372736, 745472), 50);
    EXPECT_EQ(ProgressPosition(512, 0), 0);
    EXPECT_EQ(ProgressPosition(512, 100), 512);
    EXPECT_EQ(ProgressPosition(745472, 745353), 100);
    EXPECT_EQ(ProgressText(745472, 745353), "Transferring 745472 of 745353 bytes.\n");
}

TEST(PresentedVersion, FollowsTheImageInUse) {
    EXPECT_EQ(PresentedVersion(SERVER_TOLVA_21XX), "1.0.9");
    EXPECT_EQ(PresentedVersion(SERVER_TOLVA), "1.0.9");
    EXPECT_EQ(PresentedVersion(SERVER_TOLVA_22XX), "1.0.9");
    EXPECT_EQ(PresentedVersion(SERVER_DRAVENHOLT), "6.2.1");
    EXPECT_EQ(PresentedVersion(SERVER_USER_FILE), " ---- ");
    EXPECT_EQ(StepTitle(STATUS_COMMAND_ACCEPTED, PresentedVersion(SERVER_USER_FILE)),
              "Step 2 of 5: Requesting flash image firmware upgrade to version  ---- \n");
    EXPECT_EQ(
        SuccessTitle("192.0.2.7", PresentedVersion(SERVER_DRAVENHOLT)),
        "The Skelvo utility has successfully upgraded the Varnek Server: 192.0.2.7. to version 6.2.1 \n\n");
}

TEST(ErrorText, InsertsHostOrLoginWholeAndKnowsOnlyCodesOneToEleven) {
    EXPECT_EQ(
        ErrorText(ERR_LOGIN, "h", "root"),
        "ERROR: Invalid Username ( root ) or Password Entered\n\nPlease check that both the username and "
        "password are correct");
    EXPECT_EQ(ErrorText(ERR_RESOLVE, "", "root").find("DNS Name: .\n"), 69u);
    std::string longHost(127, 'x');
    std::string t = ErrorText(ERR_RECEIVE, longHost, "root");
    EXPECT_NE(t.find(longHost + "."), std::string::npos);
    EXPECT_GT(t.size(), 255u);
    EXPECT_TRUE(ErrorText(0, "h", "l").empty());
    EXPECT_TRUE(ErrorText(12, "h", "l").empty());
    for (int code = 1; code <= 11; ++code)
        EXPECT_FALSE(ErrorText(code, "h", "l").empty()) << code;
    // Neither cause is certain, so the text names both and which of them leaves the flash intact.
    EXPECT_EQ(ErrorText(ERR_NO_PROGRAMMING_REQUEST, longHost, "root"),
              "ERROR: The Varnek Server " + longHost +
                  " verified the image but did not ask for it again. It may have rejected the image, in "
                  "which case its firmware is unchanged, or it may have failed while erasing its flash.");
}

} // namespace
