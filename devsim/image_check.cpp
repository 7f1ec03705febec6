#include "devsim/image_check.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>

namespace devsim {
namespace {

constexpr std::array<std::uint32_t, 256> MakeCrcTable() {
    std::array<std::uint32_t, 256> table{};
    for (std::uint32_t n = 0; n < 256; ++n) {
        std::uint32_t c = n;
        for (int k = 0; k < 8; ++k)
            c = (c & 1u) ? (0xEDB88320u ^ (c >> 1)) : (c >> 1);
        table[n] = c;
    }
    return table;
}

constexpr auto kCrcTable = MakeCrcTable();

std::string FieldText(std::span<const std::uint8_t> field) {
    auto end = std::find(field.begin(), field.end(), std::uint8_t{0});
    return std::string(field.begin(), end);
}

std::string Hex32(std::uint32_t v) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08x", v);
    return text;
}

} // namespace

std::uint32_t Crc32(std::span<const std::uint8_t> bytes) {
    std::uint32_t c = 0xFFFFFFFFu;
    for (std::uint8_t b : bytes)
        c = kCrcTable[(c ^ b) & 0xFFu] ^ (c >> 8);
    return c ^ 0xFFFFFFFFu;
}

ImageTrailer ReadTrailer(std::span<const std::uint8_t> image) {
    ImageTrailer t;
    if (image.size() < kTrailerSize)
        return t;
    auto trailer = image.subspan(image.size() - kTrailerSize);
    if (std::memcmp(trailer.data(), kTrailerMagic, 8) != 0)
        return t;
    t.present = true;
    t.family = FieldText(trailer.subspan(8, 16));
    t.version = FieldText(trailer.subspan(24, 8));
    t.storedCrc = (std::uint32_t{trailer[32]} << 24) | (std::uint32_t{trailer[33]} << 16) |
                  (std::uint32_t{trailer[34]} << 8) | std::uint32_t{trailer[35]};
    t.computedCrc = Crc32(image.first(image.size() - kTrailerSize));
    return t;
}

Verdict CheckImage(const ImageTrailer& trailer, std::span<const std::string> families, bool acceptAny) {
    if (!trailer.present) {
        if (acceptAny)
            return {true, "no trailer; accepted as any image"};
        return {false, "no image trailer"};
    }
    if (std::find(families.begin(), families.end(), trailer.family) == families.end()) {
        std::string want;
        for (const auto& f : families)
            want += (want.empty() ? "" : " or ") + f;
        return {false, "wrong model: image is for " + trailer.family + ", device takes " + want};
    }
    if (!trailer.crcMatches())
        return {false, "bad checksum: trailer says " + Hex32(trailer.storedCrc) + ", image has " +
                           Hex32(trailer.computedCrc)};
    return {true, "image for " + trailer.family + " version " + trailer.version + ", checksum " +
                      Hex32(trailer.computedCrc)};
}

std::string DottedVersion(std::string_view digits) {
    std::string out;
    for (std::size_t i = 0; i < digits.size(); ++i) {
        out.push_back(digits[i]);
        if (i + 1 < digits.size())
            out.push_back('.');
    }
    return out;
}

} // namespace devsim
