#include "cli/commands.h"
#include "cli/host_list.h"
#include "cli/upgrade.h"

#include "cli/cmdline.h"
#include "engine/trace.h"
#include "upgrade/journal.h"

#include <cstring>
#include <istream>
#include <memory>

namespace skelvo::cli {
namespace {

constexpr char kUpgradeFooter[] =
    "Upgrades the firmware of each HOST: checks the TFTP port, identifies the device,\n"
    "reads its version, asks for confirmation, sends the upgrade command and serves the image\n"
    "twice by TFTP (verify, then program). The password is never taken on the command line:\n"
    "it comes from --password-stdin, --password-file F, SKELVO_PASSWORD, or is the product's\n"
    "default.\n"
    "\n"
    "Several hosts are one batch: up to --parallel devices are probed and commanded at once, one\n"
    "question covers them all, and one TFTP socket serves up to --parallel devices at once.\n"
    "A device already at the image's version is left alone; one that runs a newer version is\n"
    "refused unless --allow-older.\n"
    "\n"
    "Before a device is commanded, the journal records it; a device whose record in the journal has\n"
    "not ended is not commanded again (without --force): run 'skelvo-cli recover' for it.\n"
    "\n"
    "Ctrl-C (or SIGTERM, SIGHUP) before the upgrade command stops without sending anything more.\n"
    "Once the command has been sent the device may be erasing its flash: the first Ctrl-C lets the\n"
    "upgrade finish, a second abandons the device and prints the 'skelvo-cli rescue' command that\n"
    "serves it its image again.\n"
    "\n";

constexpr char kVerifyRebootOption[] = "--verify-reboot";

} // namespace

std::vector<std::string> AttachRebootSeconds(std::vector<std::string> args) {
    std::vector<std::string> out;
    bool optionsEnded = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        out.push_back(args[i]);
        optionsEnded = optionsEnded || args[i] == "--";
        const bool numberFollows = i + 1 < args.size() && !args[i + 1].empty() &&
                                   args[i + 1].find_first_not_of("0123456789") == std::string::npos;
        if (!optionsEnded && args[i] == kVerifyRebootOption && numberFollows)
            out.back() += "=" + args[++i];
    }
    return out;
}

CLI::App* DeclareUpgrade(CLI::App& program, UpgradeOptions& o) {
    CLI::App* command = program.add_subcommand("upgrade", "upgrade the firmware of one or more devices");
    AddHostOptions(*command, o.hosts, o.hostsFile, o.parallel,
                   "serve at most N devices at once (default " + std::to_string(kDefaultParallel) + ")");
    command->add_flag("--allow-older", o.policy.allowOlder,
                      "flash a device whose firmware is newer than the image");
    command->add_flag("--allow-reinstall", o.policy.allowReinstall,
                      "flash a device already at the image's version, or whose\nversion cannot be read");
    command->add_flag("--force", o.policy.force,
                      "with --image: flash a device whose version cannot be read;\n"
                      "also command a device the journal shows half-way");
    // A host is needed, on the command line or in a hosts file.
    command->final_callback([&o] {
        if (o.hosts.empty() && o.hostsFile.empty())
            throw CLI::RequiredError("HOST");
    });
    command->add_option("--login", o.login, "administrative login (default \"root\")")
        ->type_name("L")
        ->check(TextField("login", kLoginNameSize, true));
    command->add_flag("--password-stdin", o.passwordSource.fromStdin,
                      "read the password from the first line of standard input");
    command
        ->add_option("--password-file", o.passwordSource.file,
                     "read the password from the first line of file F")
        ->type_name("F")
        ->check(TextField("password file name"));
    // Only to refuse it, without echoing it.
    command->add_option("-p,--password")->expected(0, 1)->group("");
    command->add_option("--image", o.image, "serve FILE unchanged instead of the built-in image")
        ->type_name("FILE")
        ->check(TextField("image file name", kImageFilenameSize));
    command->add_flag("--download-trace", o.downloadTrace, "ask the device to log its download (&id=1)");
    command->add_flag("-y,--yes", o.yes, "flash without asking (needed without a terminal)");
    command->add_flag("--dry-run", o.dryRun,
                      "probe, check the port and the image, show the question;\nsend nothing");
    command->add_flag("--json", o.json,
                      "one JSON object per line on standard output\n(see docs/cli-json.md)");
    command->add_flag("--trace", o.trace, "the diagnostic trace lines on standard output");
    command->add_option("--audit-log", o.auditLog, "append one JSON line per device to FILE")
        ->type_name("FILE")
        ->check(TextField("audit log file name"));
    command
        ->add_option("--journal", o.journal,
                     "keep the journal, which 'skelvo-cli recover' reads after a crash,\nin FILE (default: " +
                         DefaultJournalPath() + ")")
        ->type_name("FILE")
        ->check(TextField("journal file name"));
    command->add_flag("--tftp-no-options", o.noOptions, kTftpNoOptionsHelp);
    const std::string verifyHelp = "after completion wait up to S seconds (default 180) for the\n"
                                   "device to come back and check that it runs the new version";
    command
        ->add_flag(std::string(kVerifyRebootOption) + "{" + std::to_string(kDefaultRebootWait) + "}",
                   verifyHelp)
        ->option_text("[=S]")
        ->check(CLI::Validator(
            [](const std::string& text) -> std::string {
                if (cmdline::ParseNumber(text, 1, 86400))
                    return {};
                return "\"" + text + "\" is not a number of seconds from 1 to 86400";
            },
            "", "range"))
        ->each([&o](const std::string& text) { o.verifyReboot = cmdline::ParseNumber(text, 1, 86400); });
    cmdline::AddNumber(*command, "--fetch-timeout", o.fetchTimeout, 1, 86400, "a number of seconds",
                       "give up when the device has not asked for the image after\nS seconds (default 120)")
        ->type_name("S");
    cmdline::AddNumber(*command, "--idle-timeout", o.idleTimeout, 1, 86400, "a number of seconds",
                       "give up when a started transfer is silent for S seconds\n"
                       "(default 120, at least 57; not while the device erases)")
        ->type_name("S");
    cmdline::AddNumber(*command, "--programming-wait", o.programmingWait, 1, 86400, "a number of seconds",
                       "give up when the device has not asked for the image again\n"
                       "S seconds after verifying it (default 120; erasing can take 45 s)")
        ->type_name("S");
    cmdline::AddNumber(*command, "--retries", o.retries, 0, 100, "a number of retries",
                       "try a device again up to N times (default 0) when it could not be\n"
                       "reached or refused the command with a 5xx status; waits 1 s, 2 s,\n"
                       "4 s ... 60 s between; a device that took the command is never\n"
                       "commanded again")
        ->type_name("N");
    cmdline::AddNumber<std::uint16_t>(*command, "--tftp-port", o.tftpPort, 1, 65535, "a port number",
                                      "TFTP port to serve on (default 69)")
        ->type_name("N");
    cmdline::AddNumber<std::uint16_t>(*command, "--http-port", o.httpPort, 1, 65535, "a port number",
                                      "the device's HTTP port (default 80)")
        ->type_name("N");
    command->footer(std::string(kUpgradeFooter) + kExitCodeHelp);
    return command;
}

Command AddUpgrade(CLI::App& program) {
    auto o = std::make_shared<UpgradeOptions>();
    CLI::App* command = DeclareUpgrade(program, *o);
    return {command, [o, command] {
                if (command->count("--password") > 0)
                    return cmdline::UsageError(
                        "skelvo-cli upgrade",
                        "passwords are not taken on the command line, where other users "
                        "can read them; use --password-stdin, --password-file F or "
                        "SKELVO_PASSWORD");
                return RunUpgrade(*o);
            }};
}

} // namespace skelvo::cli
