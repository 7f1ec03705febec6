// skelvo-cli recover: the devices a crash left half-way, brought back from the journal; and
// skelvo-cli journal: what the journal holds, and its pruning.
#include "cli/cli.h"
#include "cli/commands.h"
#include "cli/device_cli.h"
#include "cli/interrupt.h"
#include "cli/upgrade.h"

#include "cli/cmdline.h"
#include "engine/messages.h"
#include "engine/trace.h"
#include "tftp/tftp_callbacks.h"
#include "upgrade/journal.h"
#include "upgrade/recovery.h"

#include <cstdio>
#include <memory>
#include <mutex>

namespace skelvo::cli {
namespace {

constexpr char kRecoverFooter[] =
    "Reads the journal and settles every device whose last record is not an end: an upgrade that\n"
    "a crash, a kill or a power cut left half-way. All of them at once, each device is served its\n"
    "recorded image (checked against its recorded SHA-256) from the TFTP port it was told to use,\n"
    "while its web server is asked what it runs:\n"
    "  - the new version: the record is ended \"complete\";\n"
    "  - the old version, nothing asked for --settle seconds, and the journal never reached\n"
    "    \"erasing\": \"not-upgraded\" (or \"image-rejected\" once it had verified the image);\n"
    "    its flash is intact;\n"
    "  - otherwise it is served until it has its image and comes back, or --window ends.\n"
    "Every outcome is written to the journal. No upgrade command is ever sent.\n"
    "\n"
    "exit status:\n"
    "    0  no device is left unrecovered (also when there was none)\n"
    "    2  the command line is wrong, or the journal cannot be read or written\n"
    "    9  a device is left unrecovered, or its recorded image cannot be served\n"
    "  130  a signal ended it (143 SIGTERM, 129 SIGHUP)\n";

struct RecoverArgs {
    std::string journal;
    int window = 600;
    int settle = 90;
    bool dryRun = false;
    bool json = false;
    bool trace = false;
    bool noOptions = false;
};

// What the command shows of a recovery: a line a device and state, JSON lines with --json.
class RecoverPresenter final : public RecoverySink {
  public:
    explicit RecoverPresenter(bool json) : m_json(json) {}

    void Say(const std::string& host, const std::string& text) {
        std::lock_guard lock(m_print);
        std::fprintf(stderr, "%s: %s\n", PrintableText(host).c_str(), text.c_str());
        std::fflush(stderr);
    }
    void Began(const RecoveryTarget& t, bool serving) override {
        if (m_json)
            JsonLine()
                .Add("event", "recover")
                .Add("host", t.host)
                .Add("address", t.address)
                .Add("state", t.entry.state)
                .Add("old_version", t.oldVersion)
                .Add("new_version", t.newVersion)
                .Add("image_source", t.imageSource)
                .Add("serving", serving)
                .Write(stdout);
        Say(t.host, "left at \"" + t.entry.state + "\" (" + t.entry.lastTime + "); " +
                        (serving ? "serving its image and asking what it runs" : "asking what it runs"));
    }
    void Event(const RecoveryTarget& t, const DeviceEvent& e) override {
        if (!e.error && e.code == STATUS_PROGRESS)
            return;
        if (m_json) {
            JsonLine line;
            line.Add("event", e.error ? "error" : "status").Add("host", t.host).Add("code", e.code);
            line.Add("name", e.error ? ErrorName(e.code) : StatusName(e.code));
            line.Write(stdout);
        }
        if (!e.error && e.code == STATUS_VERIFYING)
            Say(t.host, "it asks for its image (verify download)");
        else if (!e.error && e.code == STATUS_PROGRAMMING)
            Say(t.host, "it asks for its image to program it");
        else if (!e.error && e.code == STATUS_COMPLETE)
            Say(t.host, "served its whole image");
        else if (e.error && e.code != ERR_READ_REQUEST)
            Say(t.host, TrimEnd(ErrorText(e.code, t.host, "")));
    }
    void Say(const RecoveryTarget& t, const std::string& text) override { Say(t.host, text); }
    void Ended(const RecoveryTarget& t, const RecoveryOutcome& o) override {
        if (m_json)
            JsonLine()
                .Add("event", "recovered")
                .Add("host", t.host)
                .Add("result", o.result)
                .Add("recovered", o.recovered)
                .Add("version", o.version)
                .Add("reason", o.reason)
                .Write(stdout);
        Say(t.host, o.result + (o.reason.empty() ? std::string() : ": " + o.reason));
    }

  private:
    bool m_json;
    std::mutex m_print;
};

int Recover(const RecoverArgs& o) {
    const std::string path = o.journal.empty() ? DefaultJournalPath() : o.journal;
    const JournalRead read = ReadJournal(path);
    for (const std::string& warning : read.warnings)
        std::fprintf(stderr, "skelvo-cli recover: warning: %s\n", warning.c_str());
    if (!read.readable)
        return cmdline::UsageError("skelvo-cli recover",
                                   "cannot read the journal \"" + PrintableText(path) + "\"");
    RecoveryImages images;
    std::vector<std::pair<JournalEntry, std::string>> refused;
    const std::vector<RecoveryTarget> targets = RecoveryTargets(read, images, refused);
    for (const auto& [entry, why] : refused) {
        std::fprintf(stderr, "%s: refused: %s\n", PrintableText(entry.first.value("host", "")).c_str(),
                     why.c_str());
        if (o.json)
            JsonLine()
                .Add("event", "recovered")
                .Add("host", entry.first.value("host", ""))
                .Add("result", "refused")
                .Add("recovered", false)
                .Add("reason", why)
                .Write(stdout);
    }
    if (targets.empty() && refused.empty()) {
        std::fprintf(stderr, "skelvo-cli recover: the journal \"%s\" holds no device left half-way\n",
                     PrintableText(path).c_str());
        return kExitComplete;
    }
    if (o.dryRun) {
        for (const RecoveryTarget& t : targets) {
            const bool erased = t.entry.Reached(kStateErasing);
            const char* action = erased ? "serve its boot loader its image (it had begun erasing)"
                                        : "ask what it runs, and serve it its image if it asks";
            if (o.json)
                JsonLine()
                    .Add("event", "recover")
                    .Add("host", t.host)
                    .Add("address", t.address)
                    .Add("state", t.entry.state)
                    .Add("dry_run", true)
                    .Add("action", action)
                    .Write(stdout);
            else
                std::printf("%s: left at \"%s\"; would %s\n", PrintableText(t.host).c_str(),
                            t.entry.state.c_str(), action);
        }
        std::fflush(stdout);
        return refused.empty() ? kExitComplete : kExitReboot;
    }
    Journal journal;
    std::string error;
    if (!journal.Open(path, error))
        return cmdline::UsageError("skelvo-cli recover", error);
    RouteTrace(o.trace, o.json);
    RecoverySettings settings;
    settings.window = std::chrono::seconds(o.window);
    settings.settle = std::chrono::seconds(o.settle);
    settings.tftp.negotiateOptions = !o.noOptions;
    // A boot loader writes its mode as it likes.
    settings.tftp.modeAnyCase = true;
    RecoverPresenter presenter(o.json);
    HttpCancel cancel;
    InterruptWatch interrupts;
    interrupts.SetListener([&cancel](int, int) { cancel.Request(); });
    const std::vector<RecoveryOutcome> outcomes = Recover(targets, settings, presenter, &journal, &cancel);
    interrupts.SetListener({});
    RouteTrace(true, false);
    if (interrupts.Count() > 0)
        return interrupts.ExitCode();
    bool left = !refused.empty();
    for (const RecoveryOutcome& outcome : outcomes)
        left = left || !outcome.recovered;
    return left ? kExitReboot : kExitComplete;
}

struct JournalArgs {
    std::string journal;
    std::optional<int> pruneDays;
    bool json = false;
};

int ShowJournal(const JournalArgs& o) {
    const std::string path = o.journal.empty() ? DefaultJournalPath() : o.journal;
    if (o.pruneDays) {
        std::string error;
        const std::optional<std::size_t> dropped = PruneJournal(path, *o.pruneDays, error);
        if (!dropped)
            return cmdline::UsageError("skelvo-cli journal", error);
        std::fprintf(stderr, "skelvo-cli journal: dropped %s ended device attempt(s) older than %d day(s)\n",
                     std::to_string(*dropped).c_str(), *o.pruneDays);
        return kExitComplete;
    }
    const JournalRead read = ReadJournal(path);
    for (const std::string& warning : read.warnings)
        std::fprintf(stderr, "skelvo-cli journal: warning: %s\n", warning.c_str());
    for (const JournalEntry& entry : read.entries) {
        const std::string host = entry.first.value("host", "");
        const std::string result = entry.end ? entry.end->value("result", "") : std::string();
        if (o.json)
            JsonLine()
                .Add("event", "journal")
                .Add("host", host)
                .Add("id", entry.id)
                .Add("state", entry.state)
                .Add("last_time", entry.lastTime)
                .Add("result", entry.end ? std::optional<std::string>(result) : std::nullopt)
                .Write(stdout);
        else
            std::printf("%s  %-30s  %s\n", entry.lastTime.c_str(), PrintableText(host).c_str(),
                        entry.end ? ("ended: " + result).c_str()
                                  : ("LEFT AT \"" + entry.state + "\"").c_str());
    }
    std::fflush(stdout);
    return kExitComplete;
}

} // namespace

Command AddRecover(CLI::App& program) {
    CLI::App* command = program.add_subcommand(
        "recover", "bring back the devices that a crash left half-way through an upgrade, from the journal");
    auto o = std::make_shared<RecoverArgs>();
    command->add_option("--journal", o->journal, "the journal FILE (default: " + DefaultJournalPath() + ")")
        ->type_name("FILE");
    cmdline::AddNumber(*command, "--window", o->window, 1, 86400, "a number of seconds",
                       "give up on a device not back after S seconds (default 600)")
        ->type_name("S");
    cmdline::AddNumber(*command, "--settle", o->settle, 1, 86400, "a number of seconds",
                       "how long a device that answers with its old version must ask for\n"
                       "nothing before its flash counts as intact (default 90, longer than\n"
                       "any erase)")
        ->type_name("S");
    command->add_flag("--dry-run", o->dryRun, "list the devices and what would be done; serve nothing");
    command->add_flag("--json", o->json, "one JSON object per line on standard output");
    command->add_flag("--trace", o->trace, "the diagnostic trace lines on standard output");
    command->add_flag("--tftp-no-options", o->noOptions, kTftpNoOptionsHelp);
    command->footer(kRecoverFooter);
    return {command, [o] { return Recover(*o); }};
}

Command AddJournal(CLI::App& program) {
    CLI::App* command =
        program.add_subcommand("journal", "show the journal of upgrades, or drop its old ended devices");
    auto o = std::make_shared<JournalArgs>();
    command->add_option("--journal", o->journal, "the journal FILE (default: " + DefaultJournalPath() + ")")
        ->type_name("FILE");
    command
        ->add_option_function<int>(
            "--prune", [o](int days) { o->pruneDays = days; },
            "drop the devices that ended more than DAYS days ago (the\nothers, and every device left "
            "half-way, stay)")
        ->type_name("DAYS")
        ->check(CLI::Range(0, 36500));
    command->add_flag("--json", o->json, "one JSON object per device on standard output");
    return {command, [o] { return ShowJournal(*o); }};
}

} // namespace skelvo::cli
