#include "cli/cli.h"
#include "cli/commands.h"

#include <cstdio>

namespace skelvo::cli {

int RunProbe(std::span<char*>) {
    std::fprintf(stderr, "skelvo-cli probe: not built yet\n");
    return kExitFailure;
}

} // namespace skelvo::cli
