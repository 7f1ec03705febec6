// The subcommands of skelvo-cli. Each declares its options on a subcommand of the program's
// command line and returns what runs it once that command line has been parsed.
#pragma once

#include <CLI/CLI.hpp>

#include <functional>

namespace skelvo::cli {

struct Command {
    CLI::App* app;
    std::function<int()> run;
};

// The check of a HOST argument: 1 to 127 characters, what the engine's host field holds.
CLI::Validator HostName();

Command AddServe(CLI::App& program);
Command AddProbe(CLI::App& program);
Command AddUpgrade(CLI::App& program);
Command AddImages(CLI::App& program);
Command AddRescue(CLI::App& program);

} // namespace skelvo::cli
