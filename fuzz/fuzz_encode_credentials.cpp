// EncodeCredentials on any login and password: the Base64 text decodes back to "login:password".
#include "http/device_http.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

int Sextet(char c) {
    if (c >= 'A' && c <= 'Z')
        return c - 'A';
    if (c >= 'a' && c <= 'z')
        return c - 'a' + 26;
    if (c >= '0' && c <= '9')
        return c - '0' + 52;
    if (c == '+')
        return 62;
    if (c == '/')
        return 63;
    return -1;
}

std::string Decode(std::string_view text) {
    if (text.size() % 4 != 0)
        std::abort();
    std::string out;
    for (std::size_t i = 0; i < text.size(); i += 4) {
        int pad = 0;
        unsigned value = 0;
        for (std::size_t j = 0; j < 4; ++j) {
            char c = text[i + j];
            if (c == '=') {
                // Padding only at the very end, at most two.
                if (i + 4 != text.size() || j < 2)
                    std::abort();
                ++pad;
                value <<= 6;
                continue;
            }
            if (pad > 0)
                std::abort();
            int s = Sextet(c);
            if (s < 0)
                std::abort();
            value = (value << 6) | static_cast<unsigned>(s);
        }
        out += static_cast<char>((value >> 16) & 0xFF);
        if (pad < 2)
            out += static_cast<char>((value >> 8) & 0xFF);
        if (pad < 1)
            out += static_cast<char>(value & 0xFF);
    }
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0)
        return 0;
    // The first byte says where the login ends.
    std::string_view rest(reinterpret_cast<const char*>(data + 1), size - 1);
    std::size_t split = std::min<std::size_t>(data[0], rest.size());
    std::string_view login = rest.substr(0, split);
    std::string_view password = rest.substr(split);
    std::string encoded = EncodeCredentials(login, password);
    std::string joined = std::string(login) + ":" + std::string(password);
    if (encoded.size() != (joined.size() + 2) / 3 * 4)
        std::abort();
    if (Decode(encoded) != joined)
        std::abort();
    return 0;
}
