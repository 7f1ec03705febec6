#include "cli/cli.h"
#include "cli/commands.h"

#include <cstdio>

namespace skelvo::cli {

int RunUpgrade(std::span<char*>) {
    std::fprintf(stderr, "skelvo-cli upgrade: not built yet\n");
    return kExitFailure;
}

} // namespace skelvo::cli
