// The command line of skelvo-devsim.
#pragma once

#include "devsim/devsim.h"

#include <string>
#include <vector>

namespace devsim {

struct CommandLine {
    Options options;
    bool once = false;
    bool help = false;
};

// False with a message for the user when an argument is wrong.
bool ParseCommandLine(const std::vector<std::string>& args, CommandLine& out, std::string* error);
std::string Usage();

// The executable's body: runs until SIGTERM or SIGINT (or, with --once, the first upgrade's end;
// for an upgrade that bricked the device, its rescue).
// Exit status: 0, or with --once 0 only if the upgrade succeeded or the device was rescued; 1 on
// a failed upgrade or when it cannot start; 2 for a wrong command line.
int RunDevsim(const std::vector<std::string>& args);

} // namespace devsim
