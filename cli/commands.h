// The subcommands of skelvo-cli. Each takes the arguments after its own name.
#pragma once

#include <span>
#include <string_view>

namespace skelvo::cli {

int RunServe(std::span<char*> args);
int RunProbe(std::span<char*> args);
int RunUpgrade(std::span<char*> args);
int RunImages(std::span<char*> args);
int RunRescue(std::span<char*> args);

} // namespace skelvo::cli
