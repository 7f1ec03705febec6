#include "cli/cli.h"
#include "cli/commands.h"

#include <cstdio>

namespace skelvo::cli {

int RunImages(std::span<char*>) {
    std::fprintf(stderr, "skelvo-cli images: not built yet\n");
    return kExitFailure;
}

} // namespace skelvo::cli
