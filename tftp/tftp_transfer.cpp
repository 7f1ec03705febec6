#include "engine/events.h"
#include "engine/trace.h"
#include "engine/upgrade_record.h"
#include "tftp/tftp_callbacks.h"
#include "tftp/tftp_server.h"

#include <cstring>
#include <string_view>

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
    return ProgressInfo{static_cast<std::int32_t>(static_cast<std::uint64_t>(*block) * blockSize),
                        static_cast<std::int32_t>(size)};
}

int ReadImageBlock(unsigned char* destination, unsigned* count, unsigned* block, unsigned blockSize) {
    ProgressInfo progress = ReadBlockFrom(SelectedImage, destination, count, block, blockSize);
    RaiseStatus(STATUS_PROGRESS, &progress);
    return 1;
}
