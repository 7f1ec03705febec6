#pragma once

#include <string>
#include <vector>

namespace skelvo::cli {

// Exit codes, documented in --help and the README.
enum ExitCode : int {
    kExitOk = 0,
    kExitFailure = 1,
    kExitUsage = 2,
};

int Main(int argc, char** argv);

} // namespace skelvo::cli
