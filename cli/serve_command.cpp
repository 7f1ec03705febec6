#include "cli/cli.h"
#include "cli/commands.h"

#include <cstdio>

namespace skelvo::cli {

int RunServe(std::span<char*>) {
    std::fprintf(stderr, "skelvo-cli serve: not built yet\n");
    return kExitFailure;
}

} // namespace skelvo::cli
