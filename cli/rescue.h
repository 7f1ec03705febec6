// The rescue of a device whose programming download failed: its boot loader keeps asking for the
// image by TFTP, and 'skelvo-cli rescue' serves it. What the other commands print about it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace skelvo::cli {

// The --builtin names: "tolva21" (the Tolva 21xx image, also served to a Tolva of another model),
// "tolva22", "dravenholt"; null for a type that selects no built-in image.
const char* BuiltinImageName(int serverType);
// The image type a --builtin name selects.
std::optional<int> BuiltinImageType(std::string_view name);

// One word for the shell, quoted only when it needs to be.
std::string ShellQuote(std::string_view word);

// The command that serves a device its image again: "skelvo-cli rescue HOST --builtin NAME", or
// "--image FILE" (made absolute) for a user file, with "--tftp-port N" when N is not 69.
std::string RescueCommandLine(std::string_view host, int imageToUse, std::string_view imageFile,
                              std::uint16_t tftpPort);

} // namespace skelvo::cli
