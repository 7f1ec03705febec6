// The read-request check: any bytes after the opcode, against every image choice.
#include "fuzz/fuzz_support.h"

#include "engine/upgrade_record.h"
#include "tftp/tftp_server.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    skelvo::fuzz::InstallQuietEngine();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0)
        return 0;
    // The first byte picks ImageToUse, out-of-range values included.
    const int imageToUse = static_cast<int>(data[0] % 8) - 1;
    SetImageToUse(imageToUse);
    // A copy of exactly the request's bytes, so that a read past `end` is a heap overflow.
    std::vector<unsigned char> request(data + 1, data + size);
    const unsigned char* begin = request.data();
    SelectedImage = nullptr;
    const int accepted = CheckFilename(begin, begin + request.size(), kRequestKindRead);
    if (accepted == 1) {
        // Only "image" NUL "octet" NUL, with anything after it, may pass.
        static constexpr char kPrefix[] = "image\0octet"; // the literal adds the second NUL
        if (request.size() < sizeof kPrefix || std::memcmp(begin, kPrefix, sizeof kPrefix) != 0)
            std::abort();
        if (SelectedImage == nullptr || imageToUse < SERVER_TOLVA || imageToUse > SERVER_TOLVA_22XX)
            std::abort();
    } else if (accepted != 0) {
        std::abort();
    }
    return 0;
}
