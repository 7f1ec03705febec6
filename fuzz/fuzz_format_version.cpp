// FormatVersion on any text: every decimal digit except the last character gains a ".".
#include "engine/upgrade_record.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    std::string formatted = FormatVersion(text);
    // Removing the added dots must give back the input.
    std::string expected;
    for (std::size_t i = 0; i < text.size(); ++i) {
        expected += text[i];
        if (i + 1 < text.size() && text[i] >= '0' && text[i] <= '9')
            expected += '.';
    }
    if (formatted != expected)
        std::abort();
    return 0;
}
