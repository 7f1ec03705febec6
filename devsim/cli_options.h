// The command line of skelvo-devsim.
#pragma once

#include "devsim/devsim.h"

#include <CLI/CLI.hpp>

namespace devsim {

struct CommandLine {
    Options options;
    bool once = false;
    std::size_t fleet = 0;              // --fleet N; 0: one device
    std::string fleetFile;              // --fleet-file FILE
    net::Ipv4 addressBase{0x7F000101u}; // --address-base A
};

// Declares every option on app, bound to out.
void DeclareOptions(CLI::App& app, CommandLine& out);

// The executable's body: runs until SIGTERM or SIGINT (or, with --once, the first upgrade's end;
// for an upgrade that bricked the device, its rescue; with a fleet, that of every member).
// Exit status: 0, or with --once 0 only if the upgrade succeeded or the device was rescued; 1 on
// a failed upgrade or when it cannot start; 2 for a wrong command line.
int RunDevsim(int argc, char** argv);

} // namespace devsim
