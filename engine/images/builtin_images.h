// The firmware images compiled into the program, one data module each: the bytes back to back,
// one chunk address per 1024 bytes, the chunk count, the size, the chunk size and the version.
#pragma once

#include <cstdint>

struct BuiltInImage {
    const unsigned char* Bytes;
    const unsigned char* const* Chunks;
    int ChunkCount;
    int Size;
    int ChunkSize;
    const char* Version;
};

const BuiltInImage& Tolva21Module();
const BuiltInImage& Tolva22Module();
const BuiltInImage& DravenholtModule();

// Placeholder images end in a trailer: "SKVOTRL1", the family (16 bytes, NUL padded), the
// version text (8 bytes, NUL padded) and the CRC-32 (IEEE 802.3, big-endian) of the bytes before
// the trailer. Real firmware embedded with SKELVO_FIRMWARE_DIR carries no such trailer.
inline constexpr int kImageTrailerSize = 36;
inline constexpr char kFamilyTolva21[] = "TOLVA-21XX";
inline constexpr char kFamilyTolva22[] = "TOLVA-22XX";
inline constexpr char kFamilyDravenholt[] = "DRAVENHOLT-II";
