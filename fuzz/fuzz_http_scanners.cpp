// The scanners of one HTTP chunk: device classification and version extraction.
#include "engine/upgrade_record.h"
#include "http/device_http.h"

#include <array>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view chunk(reinterpret_cast<const char*>(data), size);
    std::string_view text = chunk.substr(0, chunk.find('\0'));

    const int type = ClassifyChunk(chunk);
    static constexpr std::array<std::pair<std::string_view, int>, 5> kOrder{{
        {"Server: Dravenholt II", SERVER_DRAVENHOLT},
        {"Server: Vintrosphere", SERVER_DRAVENHOLT},
        {"Server: Tolva 21", SERVER_TOLVA_21XX},
        {"Server: Tolva 22", SERVER_TOLVA_22XX},
        {"Server: Tolva", SERVER_TOLVA},
    }};
    int expected = SERVER_UNKNOWN;
    for (const auto& [pattern, code] : kOrder) {
        if (text.find(pattern) != std::string_view::npos) {
            expected = code;
            break;
        }
    }
    if (type != expected)
        std::abort();

    auto version = ExtractVersion(chunk);
    const std::size_t match = text.find("Server:");
    if (version.has_value() != (match != std::string_view::npos))
        std::abort();
    if (version && *version != kNotKnown) {
        // The version is a piece of the matched line, after its "/".
        std::size_t at = text.find(*version, match);
        if (at == std::string_view::npos)
            std::abort();
        // It ends at CR; a bare LF is part of it.
        if (version->find('\r') != std::string::npos)
            std::abort();
    }
    return 0;
}
