#include "cli/cli.h"
#include "cli/commands.h"
#include "cli/device_cli.h"
#include "cli/progress.h"
#include "cli/terminal_confirm.h"

#include "engine/messages.h"
#include "engine/sha256.h"
#include "engine/trace.h"
#include "engine/upgrade_record.h"
#include "http/continue_sequence.h"
#include "http/device_http.h"
#include "tftp/tftp_callbacks.h"

#include <cstdio>
#include <fstream>
#include <memory>
#include <thread>

namespace skelvo::cli {
namespace {

constexpr char kUpgradeHelp[] =
    "usage: skelvo-cli upgrade HOST... [options]\n"
    "\n"
    "Upgrades the firmware of each HOST in turn: checks the TFTP port, identifies the device,\n"
    "reads its version, asks for confirmation, sends the upgrade command and serves the image\n"
    "twice by TFTP (verify, then program).\n"
    "\n"
    "options:\n"
    "  --login L               administrative login (default \"root\")\n"
    "  --password-stdin        read the password from the first line of standard input\n"
    "  --password-file F       read the password from the first line of file F\n"
    "                          (otherwise SKELVO_PASSWORD, otherwise the product's default;\n"
    "                          the password is never taken on the command line)\n"
    "  --image FILE            serve FILE unchanged instead of the built-in image\n"
    "  --download-trace        ask the device to log its download (&id=1)\n"
    "  --yes                   flash without asking (needed without a terminal)\n"
    "  --dry-run               probe, check the port and the image, show the question; send nothing\n"
    "  --json                  one JSON object per line on standard output (see docs/cli-json.md)\n"
    "  --trace                 the diagnostic trace lines on standard output\n"
    "  --audit-log FILE        append one JSON line per device to FILE\n"
    "  --verify-reboot[=S]     after completion wait up to S seconds (default 180) for the device\n"
    "                          to come back and check that it runs the new version\n"
    "  --fetch-timeout S       give up when the device has not asked for the image after S seconds\n"
    "                          (default 120)\n"
    "  --idle-timeout S        give up when a started transfer is silent for S seconds (default 120;\n"
    "                          not while the device erases)\n"
    "  --programming-wait S    give up when the device has not asked for the image again S seconds\n"
    "                          after verifying it (default 120; erasing can take 45 s)\n"
    "  --tftp-port N           TFTP port to serve on (default 69)\n"
    "  --http-port N           the device's HTTP port (default 80)\n"
    "\n";

constexpr int kDefaultRebootWait = 180;

struct UpgradeOptions {
    std::vector<std::string> hosts;
    std::string login = kDefaultLogin;
    PasswordSource passwordSource;
    std::string image;
    bool downloadTrace = false;
    bool yes = false;
    bool dryRun = false;
    bool json = false;
    bool trace = false;
    std::string auditLog;
    std::optional<int> verifyReboot;
    int fetchTimeout = 120;
    int idleTimeout = 120;
    int programmingWait = 120;
    std::uint16_t tftpPort = kTftpPort;
    std::uint16_t httpPort = kHttpPort;
};

struct HostResult {
    std::string host;
    std::string model;
    std::optional<std::string> oldVersion;
    std::optional<std::string> newVersion;
    std::optional<std::string> imageSha256;
    std::optional<std::string> versionAfterReboot; // --verify-reboot only
    std::string result;                            // "complete", "dry-run" or the failure class
    int exitCode = kExitOther;
};

int UsageError(const std::string& message) {
    std::fprintf(stderr, "skelvo-cli upgrade: %s\n(see 'skelvo-cli upgrade --help')\n", message.c_str());
    return kExitBadUsage;
}

// Returns 0 when parsed, -1 for --help, or the usage exit code after printing why.
int ParseUpgradeOptions(std::span<char*> args, UpgradeOptions& o) {
    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string_view arg = args[i];
        std::string_view inlineValue;
        bool hasInline = false;
        if (arg.starts_with("--")) {
            if (auto eq = arg.find('='); eq != std::string_view::npos) {
                inlineValue = arg.substr(eq + 1);
                arg = arg.substr(0, eq);
                hasInline = true;
            }
        }
        auto value = [&](std::string_view& out) -> bool {
            if (hasInline) {
                out = inlineValue;
                return true;
            }
            if (i + 1 >= args.size())
                return false;
            out = args[++i];
            return true;
        };
        std::string_view v;
        if (arg == "--help" || arg == "-h") {
            return -1;
        } else if (arg == "--password" || arg == "-p") {
            return UsageError("passwords are not taken on the command line, where other users can read "
                              "them; use --password-stdin, --password-file F or SKELVO_PASSWORD");
        } else if (arg == "--login") {
            if (!value(v))
                return UsageError("--login needs a value");
            if (v.size() >= kLoginNameSize)
                return UsageError("the login is longer than 79 characters");
            o.login = v;
        } else if (arg == "--password-stdin") {
            o.passwordSource.fromStdin = true;
        } else if (arg == "--password-file") {
            if (!value(v) || v.empty())
                return UsageError("--password-file needs a file name");
            o.passwordSource.file = v;
        } else if (arg == "--image") {
            if (!value(v) || v.empty())
                return UsageError("--image needs a file name");
            if (v.size() >= kImageFilenameSize)
                return UsageError("the image file name is longer than 259 characters");
            o.image = v;
        } else if (arg == "--download-trace") {
            o.downloadTrace = true;
        } else if (arg == "--yes" || arg == "-y") {
            o.yes = true;
        } else if (arg == "--dry-run") {
            o.dryRun = true;
        } else if (arg == "--json") {
            o.json = true;
        } else if (arg == "--trace") {
            o.trace = true;
        } else if (arg == "--audit-log") {
            if (!value(v) || v.empty())
                return UsageError("--audit-log needs a file name");
            o.auditLog = v;
        } else if (arg == "--verify-reboot") {
            o.verifyReboot = kDefaultRebootWait;
            if (hasInline) {
                auto s = ParseSeconds(inlineValue);
                if (!s || *s == 0)
                    return UsageError("--verify-reboot=S needs a number of seconds from 1 to 86400");
                o.verifyReboot = *s;
            }
        } else if (arg == "--fetch-timeout" || arg == "--idle-timeout" || arg == "--programming-wait") {
            std::optional<int> s;
            if (!value(v) || !(s = ParseSeconds(v)) || *s == 0)
                return UsageError(std::string(arg) + " needs a number of seconds from 1 to 86400");
            (arg == "--fetch-timeout"  ? o.fetchTimeout
             : arg == "--idle-timeout" ? o.idleTimeout
                                       : o.programmingWait) = *s;
        } else if (arg == "--tftp-port" || arg == "--http-port") {
            std::optional<std::uint16_t> port;
            if (!value(v) || !(port = ParsePort(v)))
                return UsageError(std::string(arg) + " needs a port number from 1 to 65535");
            (arg == "--tftp-port" ? o.tftpPort : o.httpPort) = *port;
        } else if (arg.starts_with("-") && arg.size() > 1) {
            return UsageError("unknown option \"" + std::string(args[i]) + "\"");
        } else {
            if (arg.empty())
                return UsageError("an empty host name");
            if (arg.size() >= kHostNameSize)
                return UsageError("the host name \"" + std::string(arg.substr(0, 40)) +
                                  "...\" is longer than 127 characters");
            o.hosts.emplace_back(arg);
        }
    }
    if (o.hosts.empty())
        return UsageError("no HOST given");
    return 0;
}

int StepNumber(int statusCode) {
    switch (statusCode) {
    case STATUS_COMMAND_ACCEPTED:
        return 2;
    case STATUS_VERIFYING:
        return 3;
    case STATUS_ERASING:
        return 4;
    case STATUS_PROGRAMMING:
        return 5;
    default:
        return 0;
    }
}

std::string TrimEnd(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == ' '))
        text.pop_back();
    return text;
}

std::string OneLine(std::string text) {
    for (char& c : text)
        if (c == '\n')
            c = ' ';
    return text;
}

int ExitForError(int code, bool workerStarted) {
    switch (code) {
    case ERR_LOGIN:
        return kExitLogin;
    case ERR_NO_PROGRAMMING_REQUEST:
        return kExitNoProgrammingRequest;
    case ERR_TFTP_BIND:
        return kExitPort;
    case ERR_TFTP_SOCKET:
    case ERR_SOCKETS_SETUP:
        return workerStarted ? kExitPort : kExitUnreachable;
    case ERR_CONNECT:
    case ERR_RESOLVE:
        return kExitUnreachable;
    case ERR_SEND:
    case ERR_RECEIVE:
        return workerStarted ? kExitTransfer : kExitUnreachable;
    default:
        return kExitTransfer;
    }
}

const char* ResultName(int exitCode) {
    switch (exitCode) {
    case kExitComplete:
        return "complete";
    case kExitPort:
        return "tftp-port-unavailable";
    case kExitUnreachable:
        return "unreachable";
    case kExitUnknownType:
        return "unknown-server-type";
    case kExitLogin:
        return "login-rejected";
    case kExitNotFetched:
        return "image-never-fetched";
    case kExitTransfer:
        return "transfer-failed";
    case kExitReboot:
        return "reboot-check-failed";
    case kExitNotConfirmed:
        return "not-confirmed";
    case kExitNoProgrammingRequest:
        return "no-programming-request";
    case kExitBadUsage:
        return "bad-input";
    default:
        return "failed";
    }
}

class Upgrader {
  public:
    Upgrader(const UpgradeOptions& o, std::string password)
        : m_o(o), m_password(std::move(password)), m_tty(ProgressDisplay::IsTerminal(stderr)),
          m_display(stderr, m_tty) {}

    HostResult Run(const std::string& host);

  private:
    void Say(const std::string& host, const std::string& text);
    void OnEvent(const std::string& host, const CliEvent& e);
    ConfirmAnswer Confirm(const std::string& host, const ConfirmQuestion& q);
    int WaitForWorker(const std::string& host);
    bool EndedUnconfirmed() const;
    int VerifyReboot(const std::string& host, int imageToUse, int seconds, HostResult& r);
    int Fail(const std::string& host, int exitCode, const std::string& message);

    const UpgradeOptions& m_o;
    std::string m_password;
    bool m_tty;
    ProgressDisplay m_display;
    EventMonitor m_monitor;
    std::mutex m_printLock;
};

void Upgrader::Say(const std::string& host, const std::string& text) {
    std::lock_guard lock(m_printLock);
    m_display.Finish();
    std::fprintf(stderr, "%s: %s\n", PrintableText(host).c_str(), text.c_str());
    std::fflush(stderr);
}

int Upgrader::Fail(const std::string& host, int exitCode, const std::string& message) {
    if (!message.empty())
        Say(host, message);
    return exitCode;
}

void Upgrader::OnEvent(const std::string& host, const CliEvent& e) {
    if (m_o.json) {
        JsonLine line;
        line.Add("event", e.kind == CliEvent::Status ? "status" : "error")
            .Add("host", host)
            .Add("code", e.code);
        line.Add("name", e.kind == CliEvent::Status ? StatusName(e.code) : ErrorName(e.code));
        if (e.kind == CliEvent::Error) {
            line.Add("text", ErrorText(e.code, g_TftpConfigData.HostName, g_TftpConfigData.LoginName));
        } else if (e.code == STATUS_PROGRESS) {
            line.Add("sent", e.sent).Add("total", e.total).Add("percent", ProgressPosition(e.sent, e.total));
        } else if (int step = StepNumber(e.code)) {
            line.Add("step", step)
                .Add("title", TrimEnd(StepTitle(e.code, PresentedVersion(GetImageToUse()))));
        } else if (e.code == STATUS_COMPLETE) {
            line.Add("title",
                     TrimEnd(SuccessTitle(g_TftpConfigData.HostName, PresentedVersion(GetImageToUse()))));
            line.Add("final_ack", !e.unconfirmed);
            if (e.unconfirmed)
                line.Add("note", UnconfirmedEndNote());
        }
        line.Write(stdout);
    }
    if (e.kind == CliEvent::Error) {
        Say(host, ErrorText(e.code, g_TftpConfigData.HostName, g_TftpConfigData.LoginName));
        return;
    }
    if (e.code == STATUS_PROGRESS) {
        if (m_tty) {
            ProgressInfo info{e.sent, e.total};
            m_display.OnStatus(STATUS_PROGRESS, &info);
        }
        return;
    }
    if (int step = StepNumber(e.code)) {
        std::string title = TrimEnd(StepTitle(e.code, PresentedVersion(GetImageToUse())));
        std::lock_guard lock(m_printLock);
        if (m_tty) {
            m_display.Step(title);
        } else {
            std::fprintf(stderr, "%s: %s\n", PrintableText(host).c_str(), title.c_str());
            std::fflush(stderr);
        }
        (void)step;
    }
}

ConfirmAnswer Upgrader::Confirm(const std::string& host, const ConfirmQuestion& q) {
    if (m_o.json)
        JsonLine()
            .Add("event", "confirm")
            .Add("host", host)
            .Add("title", q.title)
            .Add("text", q.text)
            .Add("current_version", q.currentVersion)
            .Add("new_version", q.newVersion)
            .Add("answer", m_o.yes ? "yes" : "ask")
            .Write(stdout);
    if (m_o.yes) {
        if (!m_o.json) {
            std::lock_guard lock(m_printLock);
            std::fprintf(
                stderr, "%s: %s; confirmed by --yes\n", PrintableText(host).c_str(),
                OneLine(q.text.substr(std::min(q.text.size(), q.text.find("The Varnek Server you wish"))))
                    .c_str());
        }
        return ConfirmAnswer::Yes;
    }
    std::lock_guard lock(m_printLock);
    m_display.Finish();
    return AskOnTerminal(q);
}

int Upgrader::WaitForWorker(const std::string& host) {
    using Clock = std::chrono::steady_clock;
    auto seen = [](std::initializer_list<int> codes) {
        return [codes](const std::vector<CliEvent>& events) {
            for (const auto& e : events) {
                if (e.kind == CliEvent::Error)
                    return true;
                for (int c : codes)
                    if (e.kind == CliEvent::Status && e.code == c)
                        return true;
            }
            return false;
        };
    };
    const auto fetchDeadline = Clock::now() + std::chrono::seconds(m_o.fetchTimeout);
    if (!m_monitor.WaitUntil(seen({STATUS_VERIFYING, STATUS_PROGRAMMING, STATUS_COMPLETE}), fetchDeadline)) {
        if (m_monitor.HasWorkerEnded())
            return Fail(host, kExitTransfer, "the TFTP server ended without serving the image");
        return Fail(host, kExitNotFetched,
                    "the device did not ask for the image within " + std::to_string(m_o.fetchTimeout) + " s");
    }
    for (;;) {
        if (auto err = m_monitor.FirstError())
            return ExitForError(err->code, true);
        if (m_monitor.Has(CliEvent::Status, STATUS_COMPLETE))
            return kExitComplete;
        if (m_monitor.HasWorkerEnded())
            return Fail(host, kExitTransfer, "the TFTP server ended before the upgrade was complete");
        // While the device erases, nothing happens for up to 45 s by design; the worker bounds
        // that wait itself and raises ERR_NO_PROGRAMMING_REQUEST. The idle time only backs it up.
        const bool erasing = m_monitor.Has(CliEvent::Status, STATUS_ERASING) &&
                             !m_monitor.Has(CliEvent::Status, STATUS_PROGRAMMING);
        const auto idle = std::chrono::seconds(m_o.idleTimeout) +
                          (erasing ? std::chrono::seconds(m_o.programmingWait) : std::chrono::seconds(0));
        const auto idleDeadline = m_monitor.LastEventTime() + idle;
        if (Clock::now() >= idleDeadline)
            return Fail(host, kExitTransfer,
                        "nothing happened for " + std::to_string(idle.count()) + " s; giving up");
        m_monitor.WaitUntil(seen({STATUS_COMPLETE}),
                            std::min(idleDeadline, Clock::now() + std::chrono::seconds(1)));
    }
}

bool Upgrader::EndedUnconfirmed() const {
    for (const auto& e : m_monitor.Events())
        if (e.kind == CliEvent::Status && e.code == STATUS_COMPLETE)
            return e.unconfirmed;
    return false;
}

int Upgrader::VerifyReboot(const std::string& host, int imageToUse, int seconds, HostResult& r) {
    using Clock = std::chrono::steady_clock;
    const std::optional<std::string> expected =
        imageToUse == SERVER_USER_FILE ? std::nullopt
                                       : std::optional<std::string>(PresentedVersion(imageToUse));
    const std::optional<std::string> before =
        r.oldVersion && *r.oldVersion != kNotKnown ? r.oldVersion : std::nullopt;
    Say(host, "waiting up to " + std::to_string(seconds) + " s for the device to come back");
    m_monitor.SetMuted(true);
    const auto deadline = Clock::now() + std::chrono::seconds(seconds);
    bool wentAway = false;
    std::optional<std::string> last;
    int outcome = kExitReboot;
    while (Clock::now() < deadline) {
        std::optional<std::string> v = QueryServerVersion(host.c_str());
        if (!v) {
            wentAway = true;
        } else if (*v != kNotKnown) {
            last = v;
            // Only an answer after the restart counts: until it goes away the device may still
            // answer from before, with either version. A version other than the one it reported
            // before the command proves a restart too; the device may have restarted unseen
            // while the server was still resending an unacknowledged last block.
            const bool restarted = wentAway || (before && *v != *before);
            if (restarted && (!expected || *v == *expected)) {
                outcome = kExitComplete;
                break;
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
    }
    m_monitor.SetMuted(false);
    // A restart quicker than one poll goes unseen; then the last answer decides. A user file
    // names no version, so answering at all is all that can be checked.
    if (outcome != kExitComplete && last && (!expected || *last == *expected))
        outcome = kExitComplete;
    if (m_o.json)
        JsonLine()
            .Add("event", "reboot")
            .Add("host", host)
            .Add("version", last)
            .Add("expected", expected)
            .Add("ok", outcome == kExitComplete)
            .Write(stdout);
    r.versionAfterReboot = last;
    if (outcome == kExitComplete)
        Say(host, "back up, running version " + last.value_or("?"));
    else if (last)
        Say(host, "the device answers with version " + *last + ", not " + expected.value_or("?"));
    else
        Say(host, "the device did not come back within " + std::to_string(seconds) + " s");
    return outcome;
}

HostResult Upgrader::Run(const std::string& host) {
    HostResult r;
    r.host = host;
    r.model = ModelName(SERVER_UNKNOWN);

    ResetUpgradeRecord();
    SetDownloadTrace(m_o.downloadTrace ? 1 : 0);
    if (!m_o.image.empty()) {
        SetImageFilename(m_o.image);
        if (LoadImageFile(m_o.image.c_str()) == 0) {
            r.exitCode = Fail(host, kExitBadUsage, "cannot read the image file \"" + m_o.image + "\"");
            r.result = ResultName(r.exitCode);
            return r;
        }
        SetImageToUse(SERVER_USER_FILE);
    }
    SetHttpPort(m_o.httpPort);
    m_monitor.Clear();
    m_monitor.SetListener([this, host](const CliEvent& e) { OnEvent(host, e); });

    if (m_o.json)
        JsonLine()
            .Add("event", "status")
            .Add("host", host)
            .Add("step", 1)
            .Add("title", kStep1Title)
            .Write(stdout);
    else
        Say(host, kStep1Title);

    TftpServerOptions tftp;
    tftp.port = m_o.tftpPort;
    tftp.programmingWait = std::chrono::seconds(m_o.programmingWait);
    // Lets this front end end a worker that waits for a device that will never ask (a rejected
    // login, a failed command), so that the next host can have the port.
    auto stop = std::make_shared<TftpServerStop>();
    tftp.stop = stop;

    ContinueRequest request;
    request.hostName = host;
    request.loginName = m_o.login;
    request.password = m_password;
    request.confirm = [this, &host](const ConfirmQuestion& q) { return Confirm(host, q); };
    request.tftp = tftp;
    request.worker = WorkerMode::Joinable;
    request.onWorkerEnd = [this](int ended) { m_monitor.WorkerEnded(ended); };
    request.dryRun = m_o.dryRun;

    ContinueResult c = RunContinueSequence(request);
    if (c.question)
        r.oldVersion = c.question->currentVersion;
    if (c.imageToUse != SERVER_UNKNOWN)
        r.model = ModelName(c.imageToUse);
    const ImageDescriptor* image = nullptr;
    if (c.imageToUse != SERVER_UNKNOWN && SelectImage(c.imageToUse, &image) == ImageSelection::Selected) {
        r.imageSha256 = Sha256::HexOf(std::span<const std::uint8_t>(image->Data, image->Size));
        r.newVersion =
            c.imageToUse == SERVER_USER_FILE ? std::string("(user file)") : PresentedVersion(c.imageToUse);
    }

    switch (c.outcome) {
    case ContinueOutcome::PortUnavailable:
        r.exitCode =
            Fail(host, kExitPort, "the TFTP port " + std::to_string(m_o.tftpPort) + " cannot be bound");
        break;
    case ContinueOutcome::UnknownServer:
        if (auto err = m_monitor.FirstError())
            r.exitCode = ExitForError(err->code, false);
        else
            r.exitCode =
                Fail(host, kExitUnknownType, "the device names no known server type; nothing was sent");
        break;
    case ContinueOutcome::NotConfirmed:
    case ContinueOutcome::Cancelled:
        r.exitCode = Fail(host, kExitNotConfirmed, "not confirmed; nothing was sent");
        break;
    case ContinueOutcome::DryRun:
        if (image == nullptr) {
            r.exitCode = Fail(host, kExitOther, "no image to serve");
            break;
        }
        if (!m_o.json) {
            std::lock_guard lock(m_printLock);
            std::printf("%s\n\n%s\n\n", c.question->title.c_str(), c.question->text.c_str());
            std::fflush(stdout);
        }
        r.exitCode = Fail(host, kExitComplete,
                          std::string("dry run: ") + ModelName(c.imageToUse) + ", image of " +
                              std::to_string(image->Size) + " bytes ready; nothing was sent");
        break;
    case ContinueOutcome::WorkerStarted:
        if (auto err = m_monitor.FirstError())
            r.exitCode = ExitForError(err->code, false);
        else
            r.exitCode = WaitForWorker(host);
        stop->Request();
        c.worker.join();
        {
            std::lock_guard lock(m_printLock);
            m_display.Finish();
        }
        if (r.exitCode != kExitComplete)
            break;
        if (EndedUnconfirmed()) {
            // The device went silent after the last block: it very probably programmed it all and
            // restarted, so only its coming back with the new version makes this a success.
            Say(host, "the device did not acknowledge the last block. It very probably holds the whole "
                      "image; checking that it restarts with the new version");
            r.exitCode = VerifyReboot(host, c.imageToUse, m_o.verifyReboot.value_or(kDefaultRebootWait), r);
            if (r.exitCode == kExitComplete)
                Say(host, TrimEnd(SuccessTitle(host, PresentedVersion(c.imageToUse))));
            break;
        }
        Say(host, TrimEnd(SuccessTitle(host, PresentedVersion(c.imageToUse))));
        if (m_o.verifyReboot)
            r.exitCode = VerifyReboot(host, c.imageToUse, *m_o.verifyReboot, r);
        break;
    }
    if (c.worker.joinable()) {
        stop->Request();
        c.worker.join();
    }
    r.result = m_o.dryRun && r.exitCode == kExitComplete ? "dry-run" : ResultName(r.exitCode);
    return r;
}

void WriteAudit(const std::string& path, const HostResult& r) {
    // Appended as one write per line, so concurrent runs never interleave inside a record.
    std::string line = JsonLine()
                           .Add("time", UtcTimestamp())
                           .Add("host", r.host)
                           .Add("model", r.model)
                           .Add("old_version", r.oldVersion)
                           .Add("new_version", r.newVersion)
                           .Add("image_sha256", r.imageSha256)
                           .Add("version_after_reboot", r.versionAfterReboot)
                           .Add("result", r.result)
                           .Add("exit_code", r.exitCode)
                           .Text() +
                       "\n";
    std::ofstream out(path, std::ios::app | std::ios::binary);
    out << line;
    out.flush();
    if (!out)
        std::fprintf(stderr, "skelvo-cli upgrade: cannot write the audit log \"%s\"\n", path.c_str());
}

void PrintSummary(const std::vector<HostResult>& results) {
    std::size_t hostWidth = 4;
    for (const auto& r : results)
        hostWidth = std::max(hostWidth, PrintableText(r.host).size());
    std::printf("\n%-*s  %-19s  %-10s  %-10s  %s\n", static_cast<int>(hostWidth), "HOST", "MODEL", "OLD",
                "NEW", "RESULT");
    for (const auto& r : results)
        std::printf("%-*s  %-19s  %-10s  %-10s  %s\n", static_cast<int>(hostWidth),
                    PrintableText(r.host).c_str(), r.model.c_str(), r.oldVersion.value_or("-").c_str(),
                    r.newVersion.value_or("-").c_str(), r.result.c_str());
    std::fflush(stdout);
}

} // namespace

int RunUpgrade(std::span<char*> args) {
    UpgradeOptions o;
    int parsed = ParseUpgradeOptions(args, o);
    if (parsed == -1) {
        std::printf("%s%s", kUpgradeHelp, kExitCodeHelp);
        return kExitOk;
    }
    if (parsed != 0)
        return parsed;
    if (!o.image.empty()) {
        std::ifstream probe(o.image, std::ios::binary);
        if (!probe)
            return UsageError("cannot read the image file \"" + o.image + "\"");
    }
    if (o.passwordSource.fromStdin && !o.passwordSource.file.empty())
        return UsageError("--password-stdin and --password-file exclude each other");
    if (!o.yes && !o.dryRun && !HaveTerminal()) {
        std::fprintf(stderr,
                     "skelvo-cli upgrade: no terminal to confirm on; refusing to flash without --yes\n");
        return kExitNotConfirmed;
    }
    // One password read serves every host: standard input can be read only once.
    std::string passwordError;
    std::optional<std::string> password = ReadPassword(o.passwordSource, passwordError);
    if (!password)
        return UsageError(passwordError);
    RouteTrace(o.trace, o.json);

    Upgrader upgrader(o, std::move(*password));
    std::vector<HostResult> results;
    int exitCode = kExitComplete;
    for (const auto& host : o.hosts) {
        HostResult r = upgrader.Run(host);
        if (!o.auditLog.empty())
            WriteAudit(o.auditLog, r);
        if (o.json)
            JsonLine()
                .Add("event", "result")
                .Add("host", r.host)
                .Add("model", r.model)
                .Add("old_version", r.oldVersion)
                .Add("new_version", r.newVersion)
                .Add("image_sha256", r.imageSha256)
                .Add("result", r.result)
                .Add("exit_code", r.exitCode)
                .Write(stdout);
        if (exitCode == kExitComplete && r.exitCode != kExitComplete)
            exitCode = r.exitCode;
        results.push_back(std::move(r));
    }
    if (!o.json && results.size() > 1)
        PrintSummary(results);
    RouteTrace(true, false);
    return exitCode;
}

} // namespace skelvo::cli
