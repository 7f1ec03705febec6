#include "engine/upgrade_record.h"
#include "tests/support/event_recorder.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

using skelvo::test::EventRecorder;
using skelvo::test::TempDir;

namespace {

class UpgradeRecordTest : public ::testing::Test {
  protected:
    void SetUp() override { ResetUpgradeRecord(); }
    void TearDown() override { ResetUpgradeRecord(); }
};

TEST(FormatVersion, PutsADotAfterEveryDigitButTheLastCharacter) {
    EXPECT_EQ(FormatVersion("109"), "1.0.9");
    EXPECT_EQ(FormatVersion("621"), "6.2.1");
    EXPECT_EQ(FormatVersion("6"), "6");
    EXPECT_EQ(FormatVersion(""), "");
    EXPECT_EQ(FormatVersion("10a9"), "1.0.a9");
    EXPECT_EQ(FormatVersion("Error"), "Error");
    EXPECT_EQ(FormatVersion("12345678901234567890123456789012").size(), 63u);
}

TEST_F(UpgradeRecordTest, StartsWithBuiltInImagesAndNothingElse) {
    EXPECT_EQ(g_TftpConfigData.Tolva21Image.Size, 745353u);
    EXPECT_EQ(g_TftpConfigData.Tolva22Image.Size, 755511u);
    EXPECT_EQ(g_TftpConfigData.DravenholtImage.Size, 613792u);
    EXPECT_NE(g_TftpConfigData.Tolva21Image.Data, nullptr);
    EXPECT_EQ(g_TftpConfigData.FileImage.Data, nullptr);
    EXPECT_EQ(g_TftpConfigData.FileImage.Size, 0u);
    EXPECT_EQ(GetImageToUse(), SERVER_UNKNOWN);
    EXPECT_STREQ(GetImageFilename(), "");
    EXPECT_STREQ(GetHostName(), "");
}

TEST_F(UpgradeRecordTest, SelectionTableMapsEveryServerType) {
    const ImageDescriptor* d = nullptr;
    ASSERT_EQ(SelectImage(SERVER_TOLVA, &d), ImageSelection::Selected);
    EXPECT_EQ(d, &g_TftpConfigData.Tolva21Image);
    ASSERT_EQ(SelectImage(SERVER_TOLVA_21XX, &d), ImageSelection::Selected);
    EXPECT_EQ(d, &g_TftpConfigData.Tolva21Image);
    ASSERT_EQ(SelectImage(SERVER_TOLVA_22XX, &d), ImageSelection::Selected);
    EXPECT_EQ(d, &g_TftpConfigData.Tolva22Image);
    ASSERT_EQ(SelectImage(SERVER_DRAVENHOLT, &d), ImageSelection::Selected);
    EXPECT_EQ(d, &g_TftpConfigData.DravenholtImage);
    EXPECT_EQ(SelectImage(SERVER_USER_FILE, &d), ImageSelection::FileImageMissing);
    EXPECT_EQ(SelectImage(SERVER_UNKNOWN, &d), ImageSelection::NoImage);
    EXPECT_EQ(SelectImage(6, &d), ImageSelection::NoImage);
    EXPECT_EQ(SelectImage(-1, &d), ImageSelection::NoImage);

    EXPECT_STREQ(ImageVersion(SERVER_TOLVA), ImageVersion(SERVER_TOLVA_21XX));
    EXPECT_STREQ(ImageVersion(SERVER_TOLVA_21XX), "109");
    EXPECT_STREQ(ImageVersion(SERVER_TOLVA_22XX), "109");
    EXPECT_STREQ(ImageVersion(SERVER_DRAVENHOLT), "621");
    EXPECT_EQ(ImageVersion(SERVER_USER_FILE), nullptr);
    EXPECT_EQ(ImageVersion(SERVER_UNKNOWN), nullptr);
}

TEST_F(UpgradeRecordTest, SettersHoldAtMostTheFieldCapacity) {
    std::string host(300, 'h');
    SetHostName(host);
    EXPECT_EQ(std::string(GetHostName()), std::string(127, 'h'));
    SetLoginName(std::string(79, 'l'));
    EXPECT_EQ(std::string(g_TftpConfigData.LoginName), std::string(79, 'l'));
    SetPassword(std::string(200, 'p'));
    EXPECT_EQ(std::string(g_TftpConfigData.Password).size(), 79u);
    SetImageFilename(std::string(400, 'f'));
    EXPECT_EQ(std::string(GetImageFilename()).size(), 259u);
    SetHostName("short");
    EXPECT_STREQ(GetHostName(), "short");
}

TEST_F(UpgradeRecordTest, LoadImageFileReadsTheWholeFile) {
    TempDir dir;
    auto bytes = skelvo::test::PatternBytes(70000);
    std::string path = dir.Write("user.bin", bytes);
    EventRecorder rec;
    ASSERT_EQ(LoadImageFile(path.c_str()), 1);
    ASSERT_EQ(g_TftpConfigData.FileImage.Size, bytes.size());
    EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), g_TftpConfigData.FileImage.Data));
    EXPECT_EQ(rec.Trace(), "Filename is \"" + path + "\"\nThe file size is 70000 bytes\n");
    const ImageDescriptor* d = nullptr;
    ASSERT_EQ(SelectImage(SERVER_USER_FILE, &d), ImageSelection::Selected);
    EXPECT_EQ(d, &g_TftpConfigData.FileImage);
}

TEST_F(UpgradeRecordTest, EmptyFileLoadsAsAnEmptyBlockNotNone) {
    TempDir dir;
    std::string path = dir.Write("empty.bin", {});
    EventRecorder rec;
    ASSERT_EQ(LoadImageFile(path.c_str()), 1);
    EXPECT_EQ(g_TftpConfigData.FileImage.Size, 0u);
    EXPECT_NE(g_TftpConfigData.FileImage.Data, nullptr);
}

TEST_F(UpgradeRecordTest, MissingFileFailsAtTheOpenStepAndKeepsThePreviousImage) {
    TempDir dir;
    std::string good = dir.Write("a.bin", skelvo::test::PatternBytes(10));
    EventRecorder rec;
    ASSERT_EQ(LoadImageFile(good.c_str()), 1);
    rec.Clear();
    std::string missing = dir.File("missing.bin");
    EXPECT_EQ(LoadImageFile(missing.c_str()), 0);
    EXPECT_EQ(rec.Trace(), "Filename is \"" + missing + "\"\nError in CreateFile() call\n");
    EXPECT_EQ(g_TftpConfigData.FileImage.Size, 10u);
}

TEST_F(UpgradeRecordTest, FailedReadLeavesFileImageAtNone) {
    // sysfs reports 4096 bytes for this file but a read delivers only a few: a short read.
    const char* shortRead = "/sys/devices/system/cpu/online";
    struct stat st {};
    if (::stat(shortRead, &st) != 0)
        GTEST_SKIP() << "no sysfs";
    TempDir dir;
    std::string good = dir.Write("a.bin", skelvo::test::PatternBytes(10));
    EventRecorder rec;
    ASSERT_EQ(LoadImageFile(good.c_str()), 1);
    rec.Clear();
    EXPECT_EQ(LoadImageFile(shortRead), 0);
    EXPECT_EQ(g_TftpConfigData.FileImage.Data, nullptr);
    EXPECT_EQ(g_TftpConfigData.FileImage.Size, 0u);
    const ImageDescriptor* d = nullptr;
    EXPECT_EQ(SelectImage(SERVER_USER_FILE, &d), ImageSelection::FileImageMissing);
    EXPECT_EQ(rec.Trace(), std::string("Filename is \"") + shortRead +
                               "\"\nThe file size is 4096 bytes\nError in ReadFile() call\n");
}

TEST_F(UpgradeRecordTest, SecondLoadReplacesTheFirst) {
    TempDir dir;
    std::string a = dir.Write("a.bin", skelvo::test::PatternBytes(100, 1));
    std::string b = dir.Write("b.bin", skelvo::test::PatternBytes(50, 2));
    EventRecorder rec;
    ASSERT_EQ(LoadImageFile(a.c_str()), 1);
    ASSERT_EQ(LoadImageFile(b.c_str()), 1);
    auto expect = skelvo::test::PatternBytes(50, 2);
    ASSERT_EQ(g_TftpConfigData.FileImage.Size, 50u);
    EXPECT_TRUE(std::equal(expect.begin(), expect.end(), g_TftpConfigData.FileImage.Data));
}

} // namespace
