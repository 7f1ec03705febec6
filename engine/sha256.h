// SHA-256 (FIPS 180-4), for audit records and reports that name a download by its digest.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

class Sha256 {
  public:
    using Digest = std::array<std::uint8_t, 32>;

    Sha256();
    void Update(std::span<const std::uint8_t> bytes);
    void Update(std::string_view text);
    // Ends the message; the object starts afresh afterwards.
    Digest Finish();

    static Digest Of(std::span<const std::uint8_t> bytes);
    // Lower-case hexadecimal, 64 characters.
    static std::string Hex(const Digest& digest);
    static std::string HexOf(std::span<const std::uint8_t> bytes);

  private:
    void Block(const std::uint8_t* p);
    std::array<std::uint32_t, 8> m_state;
    std::array<std::uint8_t, 64> m_buffer;
    std::size_t m_buffered = 0;
    std::uint64_t m_length = 0; // bytes so far
};
