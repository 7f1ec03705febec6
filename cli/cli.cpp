#include "cli/cli.h"

#include "cli/commands.h"

#include <cstdio>
#include <cstring>
#include <string_view>

namespace skelvo::cli {
namespace {

struct Command {
    const char* name;
    int (*run)(std::span<char*>);
    const char* summary;
};

const Command kCommands[] = {
    {"serve", &RunServe, "serve an image to a device by TFTP, twice (verify, then program)"},
    {"probe", &RunProbe, "identify a device and read its firmware version"},
    {"upgrade", &RunUpgrade, "upgrade the firmware of one or more devices"},
    {"images", &RunImages, "list the built-in firmware images"},
    {"rescue", &RunRescue, "serve a device left without firmware its image again, for as long as it asks"},
};

void Usage(std::FILE* out) {
    std::fprintf(out, "usage: skelvo-cli <command> [options]\n\ncommands:\n");
    for (const auto& c : kCommands)
        std::fprintf(out, "  %-8s %s\n", c.name, c.summary);
    std::fprintf(out, "\n'skelvo-cli <command> --help' describes a command.\n");
}

} // namespace

int Main(int argc, char** argv) {
    if (argc < 2) {
        Usage(stderr);
        return kExitUsage;
    }
    std::string_view name = argv[1];
    if (name == "--help" || name == "-h" || name == "help") {
        Usage(stdout);
        return kExitOk;
    }
    for (const auto& c : kCommands)
        if (name == c.name)
            return c.run(std::span<char*>(argv + 2, static_cast<std::size_t>(argc - 2)));
    std::fprintf(stderr, "skelvo-cli: unknown command \"%s\"\n", argv[1]);
    Usage(stderr);
    return kExitUsage;
}

} // namespace skelvo::cli
