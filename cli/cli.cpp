#include "cli/cli.h"

#include "cli/cmdline.h"
#include "cli/commands.h"
#include "cli/upgrade.h"
#include "engine/trace.h"
#include "engine/upgrade_record.h"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <string>
#include <vector>

namespace skelvo::cli {

static_assert(kExitBadUsage == cmdline::kUsageExit);

CLI::Validator TextField(const std::string& what, std::size_t limit, bool mayBeEmpty) {
    return CLI::Validator(
        [what, limit, mayBeEmpty](const std::string& text) -> std::string {
            if (text.empty() && !mayBeEmpty)
                return "an empty " + what;
            if (text.size() >= limit)
                return "the " + what + " is longer than " + std::to_string(limit - 1) + " characters";
            return {};
        },
        "", "text");
}

CLI::Validator HostName() {
    return CLI::Validator(
        [](const std::string& host) -> std::string {
            if (host.empty())
                return "an empty host name";
            if (host.size() >= kHostNameSize)
                return "the host name \"" + PrintableText(host.substr(0, 40)) + "...\" is longer than " +
                       std::to_string(kHostNameSize - 1) + " characters";
            return {};
        },
        "", "host");
}

int Main(int argc, char** argv) {
    CLI::App program("Upgrades the flash firmware of Varnek device servers.", "skelvo-cli");
    cmdline::Configure(program, "skelvo-cli " SKELVO_VERSION);
    program.require_subcommand(1);
    program.footer("'skelvo-cli <command> --help' describes a command.");
    const Command commands[] = {AddServe(program),  AddProbe(program),  AddUpgrade(program),
                                AddImages(program), AddRescue(program), AddRecover(program),
                                AddJournal(program)};
    if (argc == 2 && std::strcmp(argv[1], "help") == 0) {
        std::fputs(program.help().c_str(), stdout);
        return kExitComplete;
    }
    if (argc >= 2 && argv[1][0] != '-' &&
        std::none_of(std::begin(commands), std::end(commands),
                     [&](const Command& c) { return c.app->get_name() == argv[1]; }))
        return cmdline::UsageError("skelvo-cli", "unknown command \"" + PrintableText(argv[1]) + "\"");

    std::vector<std::string> args(argv, argv + argc);
    args = AttachRebootSeconds(std::move(args));
    std::vector<const char*> pointers;
    for (const auto& arg : args)
        pointers.push_back(arg.c_str());
    if (auto end = cmdline::Parse(program, static_cast<int>(pointers.size()), pointers.data()))
        return *end;
    for (const auto& command : commands)
        if (command.app->parsed())
            return command.run();
    return kExitBadUsage;
}

} // namespace skelvo::cli
