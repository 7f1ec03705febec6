// The subcommands of skelvo-cli. Each declares its options on a subcommand of the program's
// command line and returns what runs it once that command line has been parsed.
#pragma once

#include <CLI/CLI.hpp>

#include <cstddef>
#include <functional>
#include <string>

namespace skelvo::cli {

struct Command {
    CLI::App* app;
    std::function<int()> run;
};

// The check of a HOST argument: 1 to 127 characters, what the engine's host field holds.
CLI::Validator HostName();
// A check that takes a text when it is at most limit - 1 characters long (what the engine's field
// of limit bytes holds), and empty only when allowed.
CLI::Validator TextField(const std::string& what, std::size_t limit = std::string::npos,
                         bool mayBeEmpty = false);

Command AddServe(CLI::App& program);
Command AddProbe(CLI::App& program);
Command AddUpgrade(CLI::App& program);
Command AddImages(CLI::App& program);
Command AddRescue(CLI::App& program);
Command AddRecover(CLI::App& program);
Command AddJournal(CLI::App& program);

} // namespace skelvo::cli
