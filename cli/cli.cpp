#include "cli/cli.h"

#include <cstdio>
#include <cstring>

namespace skelvo::cli {

int Main(int argc, char** argv) {
    if (argc < 2 || std::strcmp(argv[1], "--help") == 0) {
        std::fprintf(stderr, "usage: skelvo-cli <command> [options]\n");
        return argc < 2 ? kExitUsage : kExitOk;
    }
    std::fprintf(stderr, "skelvo-cli: unknown command \"%s\"\n", argv[1]);
    return kExitUsage;
}

} // namespace skelvo::cli
