#include "engine/events.h"
#include "engine/trace.h"
#include "engine/upgrade_record.h"
#include "tftp/tftp_callbacks.h"
#include "tftp/tftp_server.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace {

// The bytes from `from` up to the first NUL before `end`, or null if there is none.
const unsigned char* FindNul(const unsigned char* from, const unsigned char* end) {
    if (from >= end)
        return nullptr;
    const void* nul = std::memchr(from, 0, static_cast<std::size_t>(end - from));
    return static_cast<const unsigned char*>(nul);
}

bool TextIs(const unsigned char* begin, const unsigned char* end, std::string_view expected) {
    return static_cast<std::size_t>(end - begin) == expected.size() &&
           std::memcmp(begin, expected.data(), expected.size()) == 0;
}

} // namespace

int CheckRequestName(const unsigned char* start, const unsigned char* end, int kind) {
    const unsigned char* nameEnd = FindNul(start, end);
    if (nameEnd == nullptr) {
        TraceMessage("%s:%d - Could not find filename in request.\n", "CheckFilename", 308);
        return 0;
    }
    if (kind == kRequestKindRead && !TextIs(start, nameEnd, "image")) {
        TraceMessage("%s:%d - Bad image name requested.\n", "CheckFilename", 313);
        return 0;
    }
    const unsigned char* modeEnd = FindNul(nameEnd + 1, end);
    if (modeEnd == nullptr) {
        TraceMessage("%s:%d - Could not find transfer mode in request.\n", "CheckFilename", 332);
        return 0;
    }
    if (!TextIs(nameEnd + 1, modeEnd, "octet")) {
        TraceMessage("%s:%d - Bad transfer mode requested.\n", "CheckFilename", 336);
        return 0;
    }
    return 1;
}

int CheckFilename(const unsigned char* start, const unsigned char* end, int kind) {
    if (CheckRequestName(start, end, kind) == 0)
        return 0;
    const ImageDescriptor* selected = nullptr;
    switch (SelectImage(GetImageToUse(), &selected)) {
    case ImageSelection::Selected:
        SelectedImage = selected;
        return 1;
    case ImageSelection::FileImageMissing:
        TraceMessage("%s:%d - FileImage.Data is NULL.\n", "CheckFilename", 366);
        return 0;
    case ImageSelection::NoImage:
        break;
    }
    TraceMessage("%s:%d - Error in g_TftpConfigData.ImageToUse.\n", "CheckFilename", 374);
    return 0;
}

ProgressInfo ReadBlockFrom(const ImageDescriptor* image, unsigned char* destination, unsigned* count,
                           unsigned* block, unsigned blockSize) {
    *block += 1;
    const std::uint32_t size = image != nullptr ? image->Size : 0;
    const std::uint64_t offset = static_cast<std::uint64_t>(*block - 1) * blockSize;
    // Past the end (possible only for a caller that numbers blocks on its own) there is nothing left.
    if (offset >= size)
        *count = 0;
    else if (offset + blockSize > size)
        *count = static_cast<unsigned>(size - offset);
    else
        *count = blockSize;
    if (*count > 0)
        std::memcpy(destination, image->Data + offset, *count);
    // Large blocks can number more bytes than the payload's signed 32 bits hold.
    constexpr std::uint64_t kMost = 0x7FFFFFFF;
    return ProgressInfo{
        static_cast<std::int32_t>(std::min(static_cast<std::uint64_t>(*block) * blockSize, kMost)),
        static_cast<std::int32_t>(std::min<std::uint64_t>(size, kMost))};
}

int ReadImageBlock(unsigned char* destination, unsigned* count, unsigned* block, unsigned blockSize) {
    ProgressInfo progress = ReadBlockFrom(SelectedImage, destination, count, block, blockSize);
    RaiseStatus(STATUS_PROGRESS, &progress);
    return 1;
}

namespace {

bool NameIs(std::string_view text, std::string_view lowerName) {
    if (text.size() != lowerName.size())
        return false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i] >= 'A' && text[i] <= 'Z' ? static_cast<char>(text[i] - 'A' + 'a') : text[i];
        if (c != lowerName[i])
            return false;
    }
    return true;
}

// A decimal number and nothing else.
std::optional<std::uint64_t> Number(std::string_view text) {
    std::uint64_t value = 0;
    const char* end = text.data() + text.size();
    const auto [at, error] = std::from_chars(text.data(), end, value);
    if (text.empty() || error != std::errc() || at != end)
        return std::nullopt;
    return value;
}

void Append(std::vector<std::uint8_t>& packet, std::string_view text) {
    packet.insert(packet.end(), text.begin(), text.end());
    packet.push_back(0);
}

} // namespace

TftpNegotiation NegotiateOptions(std::span<const std::uint8_t> options,
                                 std::optional<std::uint32_t> imageSize, unsigned maxBlockSize,
                                 bool windowAllowed) {
    TftpNegotiation n;
    if (options.empty())
        return n;
    if (options.back() != 0) {
        n.malformed = true;
        return n;
    }
    std::vector<std::string_view> fields;
    const char* text = reinterpret_cast<const char*>(options.data());
    for (std::size_t at = 0; at < options.size();) {
        const std::size_t length = std::strlen(text + at);
        fields.emplace_back(text + at, length);
        at += length + 1;
    }
    bool seenBlockSize = false, seenSize = false, seenTimeout = false, seenWindow = false;
    std::vector<std::uint8_t> answer{0, TFTP_OACK};
    // Pairs of name and value; a name left without a value is ignored.
    for (std::size_t i = 0; i + 1 < fields.size(); i += 2) {
        const std::string_view name = fields[i];
        const std::optional<std::uint64_t> value = Number(fields[i + 1]);
        if (!value)
            continue;
        if (NameIs(name, "blksize") && !seenBlockSize) {
            seenBlockSize = true;
            // RFC 2348: never answer a larger blksize than was asked.
            if (*value < kTftpMinBlockSize)
                continue;
            n.blockSize = static_cast<unsigned>(std::min<std::uint64_t>(
                {*value, kTftpMaxBlockSize, std::max(maxBlockSize, kTftpMinBlockSize)}));
            Append(answer, "blksize");
            Append(answer, std::to_string(n.blockSize));
        } else if (NameIs(name, "tsize") && !seenSize) {
            seenSize = true;
            // curl refuses an OACK whose tsize is 0; leaving the option out serves it the same.
            if (!imageSize || *imageSize == 0)
                continue;
            Append(answer, "tsize");
            Append(answer, std::to_string(*imageSize));
        } else if (NameIs(name, "timeout") && !seenTimeout) {
            seenTimeout = true;
            // RFC 2349: a strict client refuses an OACK whose timeout differs from its own.
            if (*value < 1 || *value > 255)
                continue;
            n.timeoutSeconds = static_cast<unsigned>(*value);
            Append(answer, "timeout");
            Append(answer, fields[i + 1]);
        } else if (NameIs(name, "windowsize") && !seenWindow) {
            seenWindow = true;
            if (*value < 1 || !windowAllowed)
                continue;
            n.windowSize = static_cast<unsigned>(std::min<std::uint64_t>(*value, kTftpMaxWindowSize));
            Append(answer, "windowsize");
            Append(answer, std::to_string(n.windowSize));
        }
    }
    if (answer.size() > 2)
        n.oack = std::move(answer);
    return n;
}
