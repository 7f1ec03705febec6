#include "engine/images/builtin_images.h"
#include "engine/upgrade_record.h"
#include "tests/support/event_recorder.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <set>
#include <string>

namespace {

std::uint32_t Crc32(const unsigned char* p, std::size_t n) {
    std::uint32_t crc = 0xFFFFFFFFu;
    for (std::size_t i = 0; i < n; ++i) {
        crc ^= p[i];
        for (int k = 0; k < 8; ++k)
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

struct ModuleCase {
    const char* name;
    const BuiltInImage& (*module)();
    int size;
    int chunks;
    const char* version;
    const char* family;
};

const ModuleCase kModules[] = {
    {"tolva21", &Tolva21Module, 745353, 728, "109", kFamilyTolva21},
    {"tolva22", &Tolva22Module, 755511, 738, "109", kFamilyTolva22},
    {"dravenholt", &DravenholtModule, 613792, 600, "621", kFamilyDravenholt},
};

class BuiltInModule : public ::testing::TestWithParam<ModuleCase> {};

TEST_P(BuiltInModule, HasTheLayoutSizeAndVersionOfItsTable) {
    const auto& c = GetParam();
    const BuiltInImage& m = c.module();
    EXPECT_EQ(m.Size, c.size);
    EXPECT_EQ(m.ChunkCount, c.chunks);
    EXPECT_EQ(m.ChunkSize, 1024);
    EXPECT_STREQ(m.Version, c.version);
    ASSERT_EQ(m.Chunks[0], m.Bytes);
    for (int i = 0; i < m.ChunkCount; ++i)
        ASSERT_EQ(m.Chunks[i], m.Bytes + 1024 * i) << "chunk " << i;
}

TEST_P(BuiltInModule, MatchesItsGeneratedFileAndIsNotConstant) {
    const auto& c = GetParam();
    const BuiltInImage& m = c.module();
    auto file = skelvo::test::ReadFileBytes(skelvo::test::ImagePath(std::string(c.name) + ".bin"));
    ASSERT_EQ(file.size(), static_cast<std::size_t>(m.Size));
    EXPECT_EQ(std::memcmp(file.data(), m.Bytes, file.size()), 0);
    std::set<unsigned char> seen(m.Bytes, m.Bytes + 4096);
    EXPECT_GT(seen.size(), 200u);
}

TEST_P(BuiltInModule, EndsInATrailerNamingFamilyVersionAndCrc) {
    const auto& c = GetParam();
    const BuiltInImage& m = c.module();
    const unsigned char* t = m.Bytes + m.Size - kImageTrailerSize;
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(t), 8), "SKVOTRL1");
    EXPECT_STREQ(reinterpret_cast<const char*>(t + 8), c.family);
    EXPECT_STREQ(reinterpret_cast<const char*>(t + 24), c.version);
    std::uint32_t stored = (std::uint32_t{t[32]} << 24) | (std::uint32_t{t[33]} << 16) |
                           (std::uint32_t{t[34]} << 8) | std::uint32_t{t[35]};
    EXPECT_EQ(stored, Crc32(m.Bytes, static_cast<std::size_t>(m.Size - kImageTrailerSize)));
}

INSTANTIATE_TEST_SUITE_P(Images, BuiltInModule, ::testing::ValuesIn(kModules),
                         [](const auto& param) { return std::string(param.param.name); });

TEST(BuiltInImages, ImagesDifferFromEachOther) {
    EXPECT_NE(std::memcmp(Tolva21Module().Bytes + 100, Tolva22Module().Bytes + 100, 512), 0);
    EXPECT_NE(std::memcmp(Tolva21Module().Bytes + 100, DravenholtModule().Bytes + 100, 512), 0);
}

TEST(BuiltInImages, DescriptorsPointAtTheModules) {
    EXPECT_EQ(g_TftpConfigData.Tolva21Image.Data, Tolva21Module().Bytes);
    EXPECT_EQ(g_TftpConfigData.Tolva22Image.Data, Tolva22Module().Bytes);
    EXPECT_EQ(g_TftpConfigData.DravenholtImage.Data, DravenholtModule().Bytes);
}

} // namespace
