// The upgrade command over the shared flow: the command line checks its input, binds the port,
// and then only presents what the flow reports and asks its one question.
#include "cli/host_list.h"
#include "cli/image_choice.h"
#include "cli/interrupt.h"
#include "cli/progress.h"
#include "cli/terminal_confirm.h"
#include "cli/upgrade.h"

#include "cli/cmdline.h"
#include "engine/messages.h"
#include "engine/trace.h"
#include "engine/upgrade_record.h"
#include "tftp/tftp_callbacks.h"
#include "upgrade/fleet_runner.h"
#include "upgrade/journal.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <memory>
#include <mutex>
#include <unordered_map>

namespace skelvo::cli {
namespace {

// The longest a device takes to erase its flash between the two downloads.
constexpr int kLongestErase = 45;

int UsageError(const std::string& message) {
    return cmdline::UsageError("skelvo-cli upgrade", message);
}

// Past the TFTP server's own bound on a silent transfer, so that the server, not this front end,
// decides how a transfer ends: it alone can tell a failure from an unconfirmed end.
std::chrono::seconds IdleFloor() {
    return std::chrono::ceil<std::chrono::seconds>(RetransmitPolicy{}.giveUp) + std::chrono::seconds(10);
}

std::string GiveUpSeconds() {
    return std::to_string(std::chrono::ceil<std::chrono::seconds>(RetransmitPolicy{}.giveUp).count());
}

// What the command line shows of the flow: standard error for people (one device: the steps and a
// bar on a terminal; a batch: a line per step and a progress line every few seconds), JSON lines
// on standard output with --json, and the audit log.
class Presenter final : public UpgradeSink {
  public:
    Presenter(const UpgradeOptions& o, AuditLog& audit, bool single)
        : m_o(o), m_audit(audit), m_single(single), m_tty(single && ProgressDisplay::IsTerminal(stderr)),
          m_display(stderr, m_tty) {}

    void Say(const std::string& host, const std::string& text) {
        std::lock_guard lock(m_print);
        m_display.Finish();
        if (host.empty())
            std::fprintf(stderr, "%s\n", text.c_str());
        else
            std::fprintf(stderr, "%s: %s\n", PrintableText(host).c_str(), text.c_str());
        std::fflush(stderr);
    }
    void FinishLine() {
        std::lock_guard lock(m_print);
        m_display.Finish();
    }

    void Began(const DeviceUpgrade& d) override {
        if (m_o.json)
            WriteStepOneLine(d.host());
        else
            Say(d.host(), kStep1Title);
    }
    void Say(const DeviceUpgrade& d, const std::string& text) override { Say(d.host(), text); }
    void Event(const DeviceUpgrade& d, const DeviceEvent& e) override;
    void Rebooted(const DeviceUpgrade& d, const std::optional<std::string>& version,
                  const std::optional<std::string>& expected, bool ok) override {
        if (m_o.json)
            WriteRebootLine(d.host(), version, expected, ok);
    }
    void Retrying(const DeviceUpgrade& d, const HostResult& failed,
                  std::chrono::milliseconds delay) override {
        HostResult record = failed;
        record.retryInMs = delay.count();
        m_audit.Write(record);
        if (m_o.json)
            WriteRetryLine(failed, m_o.retries, delay);
        char text[160];
        std::snprintf(
            text, sizeof text, "%s; no upgrade command was taken, trying again in %.0f s (retry %d of %d)",
            failed.result.c_str(), static_cast<double>(delay.count()) / 1000.0, failed.attempt, m_o.retries);
        Say(d.host(), text);
    }
    void Finished(const DeviceUpgrade&, const HostResult& r) override {
        FinishLine();
        m_audit.Write(r);
        if (m_o.json)
            WriteResultLine(r);
    }

  private:
    struct PerDevice {
        ProgressThrottle jsonProgress;
        ProgressThrottle textProgress{std::chrono::seconds(5)};
        std::chrono::steady_clock::time_point passStart;
    };
    PerDevice& Of(const DeviceUpgrade& d) {
        std::lock_guard lock(m_devicesLock);
        return m_devices[&d];
    }

    const UpgradeOptions& m_o;
    AuditLog& m_audit;
    bool m_single;
    bool m_tty;
    ProgressDisplay m_display;
    std::mutex m_print;
    std::mutex m_devicesLock;
    std::unordered_map<const DeviceUpgrade*, PerDevice> m_devices;
};

void Presenter::Event(const DeviceUpgrade& d, const DeviceEvent& e) {
    PerDevice& state = Of(d);
    const std::string& host = d.host();
    const bool progress = !e.error && e.code == STATUS_PROGRESS;
    if (!e.error && (e.code == STATUS_VERIFYING || e.code == STATUS_PROGRAMMING))
        state.passStart = e.at;
    if (m_o.json && (!progress || state.jsonProgress.Due(e)))
        WriteEventLine(host, e, d.type(), d.target().login);
    if (e.error) {
        if (!e.detail.empty())
            Say(host, e.detail);
        else if (!e.told) // the transfer's own error told the failure already
            Say(host, ErrorText(e.code, host, d.target().login));
        return;
    }
    if (progress) {
        if (m_tty) {
            ProgressInfo info{e.sent, e.total};
            m_display.OnStatus(STATUS_PROGRESS, &info);
        } else if (!m_single && !m_o.json && state.textProgress.Due(e)) {
            Say(host,
                TrimEnd(ProgressBar(e.sent, e.total, 20) + "  " +
                        RateAndTimeLeft(e.sent, e.at - state.passStart, std::max(0, e.total - e.sent))));
        }
        return;
    }
    if (StepNumber(e.code) == 0)
        return;
    const std::string title = TrimEnd(StepTitle(e.code, PresentedVersion(d.type())));
    if (m_tty) {
        std::lock_guard lock(m_print);
        m_display.Step(title);
    } else {
        Say(host, title);
    }
}

// The one question: the dialog's for one device, a table for a batch.
class Confirmer {
  public:
    Confirmer(const UpgradeOptions& o, Presenter& presenter, InterruptWatch& interrupts, FleetRunner& runner)
        : m_o(o), m_presenter(presenter), m_interrupts(interrupts), m_runner(runner) {}

    bool operator()(const Confirmation& c) {
        const bool yes = m_o.hosts.size() == 1 ? One(*c.probed.front(), c.dryRun) : Batch(c);
        // A signal that ended the question is the run's before its listener has told it.
        if (const int count = m_interrupts.Count(); count > 0)
            m_runner.Interrupt(count, m_interrupts.LastSignal());
        return yes;
    }

  private:
    bool One(const DeviceUpgrade& d, bool dryRun) {
        const ConfirmQuestion& q = d.question();
        if (dryRun) {
            if (!m_o.json) {
                m_presenter.FinishLine();
                std::printf("%s\n\n%s\n\n", q.title.c_str(), q.text.c_str());
                std::fflush(stdout);
            }
            return false;
        }
        if (m_o.json)
            WriteConfirmLine(d.host(), q, m_o.yes);
        if (m_o.yes) {
            if (!m_o.json)
                m_presenter.Say(d.host(), OneLineText(q.text.substr(std::min(
                                              q.text.size(), q.text.find("The Varnek Server you wish")))) +
                                              "; confirmed by --yes");
            return true;
        }
        m_presenter.FinishLine();
        return AskOnTerminal(q, [this] { return m_interrupts.Count() > 0; }) == ConfirmAnswer::Yes;
    }

    bool Batch(const Confirmation& c) {
        std::size_t hostWidth = 4;
        for (const DeviceUpgrade* d : c.probed)
            hostWidth = std::max(hostWidth, PrintableText(d->host()).size());
        auto row = [hostWidth](const std::string& host, const std::string& model, const std::string& current,
                               const std::string& next, const std::string& action) {
            char line[512];
            std::snprintf(line, sizeof line, "%-*s  %-13s  %-10s  %-10s  %s\n", static_cast<int>(hostWidth),
                          host.c_str(), model.c_str(), current.c_str(), next.c_str(), action.c_str());
            return std::string(line);
        };
        std::string table = row("HOST", "MODEL", "CURRENT", "NEW", "ACTION");
        for (const DeviceUpgrade* d : c.probed) {
            const HostResult r = d->result();
            const std::string action = PolicyDecisionName(d->decision());
            table += row(PrintableText(d->host()), r.model, d->currentVersion(),
                         d->type() == SERVER_USER_FILE ? "unknown" : PresentedVersion(d->type()), action);
            if (m_o.json)
                JsonLine()
                    .Add("event", "confirm")
                    .Add("host", d->host())
                    .Add("model", r.model)
                    .Add("current_version", d->currentVersion())
                    .Add("new_version", r.newVersion)
                    .Add("action", action)
                    .Add("answer", m_o.yes    ? "yes"
                                   : c.dryRun ? "dry-run"
                                              : "ask")
                    .Write(stdout);
        }
        if (!m_o.image.empty())
            table += "\nThe image is the file \"" + PrintableText(m_o.image) +
                     "\"; its version is unknown, so it is not compared with the devices' versions.\n";
        const std::string question =
            "Warning: You have chosen to upgrade the flash image of " + std::to_string(c.toUpgrade) +
            " Varnek Server(s).\nThis action cannot be interrupted and should only be done if and when "
            "required.\n\n" +
            table + "\nDo you really want to upgrade the flash image of the devices marked \"upgrade\"?";
        m_presenter.FinishLine();
        if (c.dryRun) {
            if (!m_o.json) {
                std::printf("%s\n\n%s\n\n", kConfirmTitle, question.c_str());
                std::fflush(stdout);
            }
            return false;
        }
        if (m_o.yes) {
            if (!m_o.json) {
                std::fprintf(stderr, "\n%s\nconfirmed by --yes\n\n", table.c_str());
                std::fflush(stderr);
            }
            return true;
        }
        ConfirmQuestion q;
        q.title = kConfirmTitle;
        q.text = question;
        return AskOnTerminal(q, [this] { return m_interrupts.Count() > 0; }) == ConfirmAnswer::Yes;
    }

    const UpgradeOptions& m_o;
    Presenter& m_presenter;
    InterruptWatch& m_interrupts;
    FleetRunner& m_runner;
};

// What a signal means, said once when it arrives.
void TellInterrupt(const UpgradeOptions& o, Presenter& presenter, const FleetRunner::InterruptSummary& s,
                   int count, int signal) {
    if (o.json) {
        for (const auto& [host, phase] : s.inProgress)
            WriteInterruptLine(host, signal, count, phase);
        if (s.inProgress.empty())
            WriteInterruptLine(o.hosts.size() == 1 ? o.hosts.front() : "", signal, count, Phase::NotStarted);
    }
    if (count != 1)
        return;
    const std::string what = std::string("interrupted (") + SignalName(signal) + "): ";
    if (o.hosts.size() > 1) {
        if (s.commanded == 0)
            presenter.Say("", what + "no further device will be contacted; no upgrade command will be sent");
        else
            presenter.Say("",
                          what + "no further device will be commanded. The " + std::to_string(s.commanded) +
                              " device(s) already commanded may be erasing their flash: Skelvo will finish "
                              "serving them, or they would be left without firmware. A second Ctrl-C (or "
                              "signal) abandons them.");
        return;
    }
    if (s.inProgress.empty())
        return;
    const auto& [host, phase] = s.inProgress.front();
    if (phase < Phase::Command)
        presenter.Say(host, what + "stopping; no upgrade command will be sent");
    else if (phase == Phase::RebootCheck)
        presenter.Say(host, what +
                                "the device has been served its image; Skelvo is checking that it restarts "
                                "with it. A second Ctrl-C (or signal) ends the check.");
    else
        presenter.Say(host,
                      what + "the upgrade command has been sent, and the device may be erasing its flash. "
                             "Skelvo will finish serving it its image, or the device would be left without "
                             "firmware. A second Ctrl-C (or signal) abandons it.");
}

} // namespace

int RunUpgrade(UpgradeOptions& o) {
    if (!o.hostsFile.empty()) {
        if (o.hostsFile == "-" && o.passwordSource.fromStdin)
            return UsageError("--hosts-file - and --password-stdin both read standard input; give the "
                              "password with --password-file F or SKELVO_PASSWORD instead");
        if (std::string error = AddHostsFile(o.hostsFile, o.hosts); !error.empty())
            return UsageError(error);
    }
    if (!o.image.empty()) {
        std::ifstream probe(o.image, std::ios::binary | std::ios::ate);
        if (!probe)
            return UsageError("cannot read the image file \"" + o.image + "\"");
        const auto size = static_cast<unsigned long long>(probe.tellg());
        if (size > kTftpMaxImageSize)
            return UsageError(
                "the image file \"" + o.image + "\" holds " + std::to_string(size) +
                " bytes; a device's download numbers at most 65535 blocks of 512 bytes, so at most " +
                std::to_string(kTftpMaxImageSize) + " bytes can be served");
    }
    if (o.passwordSource.fromStdin && !o.passwordSource.file.empty())
        return UsageError("--password-stdin and --password-file exclude each other");
    // Opened before any device is contacted: an upgrade that cannot be recorded is not begun.
    AuditLog audit;
    std::string auditError;
    if (!o.auditLog.empty() && !audit.Open(o.auditLog, auditError))
        return UsageError(auditError + "; no device was contacted");
    // The journal, too, before any device is contacted: an upgrade that a crash could leave
    // half-way is not begun without its record.
    Journal journal;
    const std::string journalPath = o.journal.empty() ? DefaultJournalPath() : o.journal;
    if (!o.dryRun) {
        std::string journalError;
        if (!journal.Open(journalPath, journalError))
            return UsageError(journalError + "; no device was contacted");
    }
    const JournalRead journaled = ReadJournal(journalPath);
    for (const std::string& warning : journaled.warnings)
        std::fprintf(stderr, "skelvo-cli upgrade: warning: %s\n", warning.c_str());
    if (!o.yes && !o.dryRun && !HaveTerminal()) {
        std::fprintf(stderr,
                     "skelvo-cli upgrade: no terminal to confirm on; refusing to flash without --yes\n");
        return kExitNotConfirmed;
    }
    if (std::chrono::seconds(o.idleTimeout) < IdleFloor()) {
        std::fprintf(stderr,
                     "skelvo-cli upgrade: --idle-timeout %d s is shorter than the %s s for which the TFTP "
                     "server itself resends an unacknowledged block; waiting %lld s instead\n",
                     o.idleTimeout, GiveUpSeconds().c_str(), static_cast<long long>(IdleFloor().count()));
        o.idleTimeout = static_cast<int>(IdleFloor().count());
    }
    if (o.programmingWait < kLongestErase)
        std::fprintf(stderr,
                     "skelvo-cli upgrade: warning: --programming-wait %d s is shorter than the %d s a device "
                     "may take to erase its flash; a device still erasing when it ends is left without "
                     "firmware\n",
                     o.programmingWait, kLongestErase);
    // One password read serves every host: standard input can be read only once.
    std::string passwordError;
    std::optional<std::string> password = ReadPassword(o.passwordSource, passwordError);
    if (!password)
        return UsageError(passwordError);

    UpgradeSettings settings;
    settings.tftpPort = o.tftpPort;
    settings.policy = o.policy;
    settings.fetchTimeout = std::chrono::seconds(o.fetchTimeout);
    settings.idleTimeout = std::chrono::seconds(o.idleTimeout);
    settings.programmingWait = std::chrono::seconds(o.programmingWait);
    if (o.verifyReboot)
        settings.verifyReboot = std::chrono::seconds(*o.verifyReboot);
    settings.rebootWait = std::chrono::seconds(o.verifyReboot.value_or(kDefaultRebootWait));
    settings.retries = o.retries;
    settings.parallel = o.parallel;
    settings.tftp.port = o.tftpPort;
    settings.tftp.programmingWait = settings.programmingWait;
    settings.tftp.negotiateOptions = !o.noOptions;
    if (!o.policy.force)
        for (const JournalEntry& entry : journaled.entries) {
            if (entry.Ended())
                continue;
            settings.unendedHosts[entry.first.value("host", "")] = entry.state;
            if (const std::string address = entry.first.value("address", ""); !address.empty())
                settings.unendedAddresses[address] = entry.state;
        }
    ResetUpgradeRecord();
    if (!o.image.empty()) {
        if (!LoadUserImage(o.image))
            return UsageError("cannot read the image file \"" + o.image + "\"");
        settings.userImage = &g_TftpConfigData.FileImage;
        settings.imagePath = o.image;
    }
    std::vector<UpgradeTarget> targets;
    for (const auto& host : o.hosts) {
        UpgradeTarget t;
        t.host = host;
        t.login = o.login;
        t.password = *password;
        t.downloadTrace = o.downloadTrace;
        t.httpPort = o.httpPort;
        targets.push_back(std::move(t));
    }
    const bool single = o.hosts.size() == 1;
    RouteTrace(o.trace, o.json, single ? o.hosts.front() : std::string());

    Presenter presenter(o, audit, single);
    JournalSink journaling(journal, presenter, settings);
    FleetRunner runner(std::move(targets), settings, journaling);
    InterruptWatch interrupts;
    interrupts.SetListener([&](int count, int signal) {
        TellInterrupt(o, presenter, runner.Interrupt(count, signal), count, signal);
    });
    // The port is held from before the first probe until the last device is served.
    TftpSocket socket = OpenTftpSocket(settings.tftp);
    if (!socket) {
        const int error = net::LastError();
        const std::string why = PortFailure(o.tftpPort, error);
        if (!single)
            presenter.Say("", "skelvo-cli upgrade: " + why + "; no device was contacted");
        runner.EndAll(kExitPort, single ? why : std::string());
    } else {
        Confirmer confirmer(o, presenter, interrupts, runner);
        runner.Run(std::move(socket), std::ref(confirmer), o.dryRun);
    }
    interrupts.SetListener({});
    const std::vector<HostResult> results = runner.Results();
    if (!o.json && !single)
        PrintSummary(results);
    RouteTrace(true, false);
    for (const HostResult& r : results)
        if (r.exitCode != kExitComplete)
            return r.exitCode;
    return kExitComplete;
}

} // namespace skelvo::cli
