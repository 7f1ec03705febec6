// What the simulated device reads from an image before it erases its flash: the trailer that the
// placeholder images end in ("SKVOTRL1", family 16 bytes, version 8 bytes, CRC-32 big-endian of
// every byte before the trailer), checked with the device's own CRC-32.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace devsim {

inline constexpr std::size_t kTrailerSize = 36;
inline constexpr char kTrailerMagic[] = "SKVOTRL1";

// CRC-32 as IEEE 802.3 and zlib define it (reflected polynomial 0xEDB88320, initial and final
// value all ones).
std::uint32_t Crc32(std::span<const std::uint8_t> bytes);

struct ImageTrailer {
    bool present = false; // the last 36 bytes begin with the magic
    std::string family;   // up to the first NUL of its field
    std::string version;  // up to the first NUL of its field
    std::uint32_t storedCrc = 0;
    std::uint32_t computedCrc = 0;
    bool crcMatches() const { return present && storedCrc == computedCrc; }
};

ImageTrailer ReadTrailer(std::span<const std::uint8_t> image);

struct Verdict {
    bool accepted = false;
    std::string reason; // why not, or what was accepted
};

// A device accepts an image whose trailer names one of its families and whose CRC matches. An
// image without a trailer passes only when acceptAny is set; acceptAny does not excuse a trailer
// that names another family or carries a wrong CRC.
Verdict CheckImage(const ImageTrailer& trailer, std::span<const std::string> families, bool acceptAny);

// "109" -> "1.0.9": a dot after every character but the last. Empty stays empty.
std::string DottedVersion(std::string_view digits);

} // namespace devsim
