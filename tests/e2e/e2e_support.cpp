#include "tests/e2e/e2e_support.h"

#include "engine/sha256.h"
#include "net/net.h"
#include "tests/support/event_recorder.h"

#include <fcntl.h>
#include <pty.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace skelvo::e2e {
namespace {

using Clock = std::chrono::steady_clock;

std::string TempDirPath() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "skelvo-e2e-XXXXXX").string();
    if (::mkdtemp(tmpl.data()) == nullptr)
        throw std::runtime_error("mkdtemp failed");
    return tmpl;
}

std::optional<int> WaitPid(int pid, std::chrono::milliseconds bound) {
    auto end = Clock::now() + bound;
    for (;;) {
        int st = 0;
        pid_t r = ::waitpid(pid, &st, WNOHANG);
        if (r == pid)
            return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
        if (r < 0)
            return -1;
        if (Clock::now() >= end)
            return std::nullopt;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

std::vector<std::string> Environment(const std::map<std::string, std::string>& env) {
    std::vector<std::string> out;
    for (char** e = environ; *e != nullptr; ++e) {
        std::string entry = *e;
        std::string key = entry.substr(0, entry.find('='));
        if (key == "SKELVO_PASSWORD" || env.count(key) != 0)
            continue;
        out.push_back(entry);
    }
    for (const auto& [k, v] : env)
        out.push_back(k + "=" + v);
    return out;
}

int Spawn(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env,
          const std::string& in, const std::string& out, const std::string& err) {
    std::vector<std::string> envText = Environment(env);
    std::vector<char*> envp;
    for (auto& e : envText)
        envp.push_back(e.data());
    envp.push_back(nullptr);
    std::vector<char*> args;
    for (const auto& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);

    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, in.c_str(), O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&fa, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    // A new session has no controlling terminal, as under a scheduler or in CI.
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSID);
    pid_t pid = -1;
    int rc = posix_spawn(&pid, args[0], &fa, &attr, args.data(), envp.data());
    posix_spawnattr_destroy(&attr);
    posix_spawn_file_actions_destroy(&fa);
    if (rc != 0)
        throw std::runtime_error("cannot start " + argv[0] + ": " + std::strerror(rc));
    return pid;
}

} // namespace

std::string Sha256Hex(const std::vector<unsigned char>& bytes) {
    return Sha256::HexOf(std::span<const std::uint8_t>(bytes.data(), bytes.size()));
}

std::size_t Count(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size()))
        ++n;
    return n;
}

std::vector<std::string> CliRun::OutLines() const {
    std::vector<std::string> lines;
    std::istringstream in(out);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

std::vector<std::string> CliRun::EventNames() const {
    std::vector<std::string> names;
    for (const auto& line : OutLines()) {
        auto at = line.find("\"name\":\"");
        if (at == std::string::npos)
            continue;
        at += 8;
        std::string name = line.substr(at, line.find('"', at) - at);
        if (name != "STATUS_PROGRESS")
            names.push_back(name);
    }
    return names;
}

namespace {

// A run keeps its journal in a state folder of its own, not in the user's, unless the test names
// one: a run that a test kills must not keep another test's device from being commanded.
std::map<std::string, std::string> WithOwnState(std::map<std::string, std::string> env,
                                                const std::string& dir) {
    env.emplace("XDG_STATE_HOME", dir + "/state");
    return env;
}

} // namespace

CliRun RunCli(const std::vector<std::string>& args, const CliOptions& options) {
    const std::string dir = TempDirPath();
    const std::string in = dir + "/stdin", out = dir + "/stdout", err = dir + "/stderr";
    std::ofstream(in, std::ios::binary) << options.stdinText;
    std::vector<std::string> argv{skelvo::test::BinaryPath("cli/skelvo-cli")};
    argv.insert(argv.end(), args.begin(), args.end());
    auto start = Clock::now();
    int pid = Spawn(argv, WithOwnState(options.env, dir), in, out, err);
    CliRun run;
    std::optional<int> status = WaitPid(pid, options.bound);
    if (!status) {
        ::kill(pid, SIGKILL);
        status = WaitPid(pid, std::chrono::seconds(10));
    }
    run.status = status.value_or(-1);
    run.elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
    run.out = ReadText(out);
    run.err = ReadText(err);
    std::filesystem::remove_all(dir);
    return run;
}

CliProcess::CliProcess(const std::vector<std::string>& args, Terminal terminal, const CliOptions& options)
    : m_dir(TempDirPath()), m_start(Clock::now()) {
    std::vector<std::string> argv{skelvo::test::BinaryPath("cli/skelvo-cli")};
    argv.insert(argv.end(), args.begin(), args.end());
    const std::string in = m_dir + "/stdin";
    std::ofstream(in, std::ios::binary) << options.stdinText;
    if (terminal == Terminal::None) {
        m_pid = Spawn(argv, WithOwnState(options.env, m_dir), in, m_dir + "/stdout", m_dir + "/stderr");
        return;
    }
    // Everything the child needs is prepared here: between fork and exec only async-signal-safe
    // calls are allowed.
    std::vector<std::string> envText = Environment(WithOwnState(options.env, m_dir));
    std::vector<char*> envp;
    for (auto& e : envText)
        envp.push_back(e.data());
    envp.push_back(nullptr);
    std::vector<char*> argp;
    for (const auto& a : argv)
        argp.push_back(const_cast<char*>(a.c_str()));
    argp.push_back(nullptr);
    const std::string out = m_dir + "/stdout";
    const int outFd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (outFd < 0)
        throw std::runtime_error("cannot create " + out);
    winsize size{};
    size.ws_row = 40;
    size.ws_col = 120;
    const pid_t pid = ::forkpty(&m_master, nullptr, nullptr, &size);
    if (pid < 0) {
        ::close(outFd);
        throw std::runtime_error("forkpty failed");
    }
    if (pid == 0) {
        // The pseudo-terminal is the child's controlling terminal, standard input and error.
        ::dup2(outFd, 1);
        ::execve(argp[0], argp.data(), envp.data());
        ::_exit(127);
    }
    ::close(outFd);
    m_pid = pid;
    m_reader = std::thread([this] { ReadTerminal(); });
}

void CliProcess::ReadTerminal() {
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(m_master, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break; // EIO once the child and its descendants have closed the terminal
        {
            std::lock_guard lock(m_lock);
            m_terminal.append(buffer, static_cast<std::size_t>(n));
        }
        m_grew.notify_all();
    }
}

std::string CliProcess::Err() const {
    if (m_master < 0)
        return ReadText(m_dir + "/stderr");
    std::lock_guard lock(m_lock);
    return m_terminal;
}

bool CliProcess::WaitForErr(const std::string& text, std::chrono::milliseconds bound) {
    const auto end = Clock::now() + bound;
    if (m_master >= 0) {
        std::unique_lock lock(m_lock);
        return m_grew.wait_until(lock, end, [&] { return m_terminal.find(text) != std::string::npos; });
    }
    while (Clock::now() < end) {
        if (Err().find(text) != std::string::npos)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return Err().find(text) != std::string::npos;
}

void CliProcess::Type(const std::string& bytes) {
    if (m_master >= 0 && ::write(m_master, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size()))
        throw std::runtime_error("cannot type on the terminal");
}

void CliProcess::Signal(int signal) {
    if (!m_status)
        ::kill(m_pid, signal);
}

CliRun CliProcess::Wait(std::chrono::milliseconds bound) {
    if (!m_status) {
        m_status = WaitPid(m_pid, bound);
        if (!m_status) {
            ::kill(m_pid, SIGKILL);
            m_status = WaitPid(m_pid, std::chrono::seconds(10)).value_or(-1);
        }
    }
    if (m_reader.joinable())
        m_reader.join();
    CliRun run;
    run.status = *m_status;
    run.elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - m_start);
    run.out = ReadText(m_dir + "/stdout");
    run.err = Err();
    return run;
}

CliProcess::~CliProcess() {
    if (!m_status) {
        ::kill(m_pid, SIGKILL);
        WaitPid(m_pid, std::chrono::seconds(10));
        m_status = -1;
    }
    if (m_reader.joinable())
        m_reader.join();
    if (m_master >= 0)
        ::close(m_master);
    std::filesystem::remove_all(m_dir);
}

DevSim::DevSim(const std::string& model, const std::string& address, std::uint16_t tftpPort,
               const std::vector<std::string>& extra, std::uint16_t httpPort)
    : DevSim({"--model", model, "--address", address}, address, tftpPort, extra, httpPort) {}

std::unique_ptr<DevSim> DevSim::Fleet(int count, const std::string& addressBase, std::uint16_t tftpPort,
                                      const std::vector<std::string>& extra, std::uint16_t httpPort) {
    return std::unique_ptr<DevSim>(
        new DevSim({"--fleet", std::to_string(count), "--address-base", addressBase}, addressBase, tftpPort,
                   extra, httpPort));
}

DevSim::DevSim(const std::vector<std::string>& where, const std::string& address, std::uint16_t tftpPort,
               const std::vector<std::string>& extra, std::uint16_t httpPort)
    : m_address(address), m_dir(TempDirPath()) {
    const std::string ready = m_dir + "/ready";
    m_report = m_dir + "/report.json";
    std::vector<std::string> argv{skelvo::test::BinaryPath("devsim/skelvo-devsim")};
    argv.insert(argv.end(), where.begin(), where.end());
    argv.insert(argv.end(), {"--http-port", std::to_string(httpPort), "--tftp-port", std::to_string(tftpPort),
                             "--erase-seconds", "1", "--reboot-seconds", "1", "--ready-file", ready,
                             "--report", m_report});
    argv.insert(argv.end(), extra.begin(), extra.end());
    m_pid = Spawn(argv, {}, "/dev/null", m_dir + "/log", m_dir + "/log.err");
    auto end = Clock::now() + std::chrono::seconds(20);
    while (Clock::now() < end) {
        std::string text = ReadText(ready);
        auto colon = text.rfind(':');
        if (colon != std::string::npos && text.find('\n') != std::string::npos) {
            m_httpPort = static_cast<std::uint16_t>(std::stoi(text.substr(colon + 1)));
            return;
        }
        if (WaitPid(m_pid, std::chrono::milliseconds(20))) {
            m_stopped = true;
            throw std::runtime_error("skelvo-devsim ended at start: " + ReadText(m_dir + "/log.err"));
        }
    }
    ::kill(m_pid, SIGKILL);
    WaitPid(m_pid, std::chrono::seconds(5));
    m_stopped = true;
    throw std::runtime_error("skelvo-devsim did not get ready");
}

std::string DevSim::StopAndReport() {
    if (!m_stopped) {
        ::kill(m_pid, SIGTERM);
        if (!WaitPid(m_pid, std::chrono::seconds(15))) {
            ::kill(m_pid, SIGKILL);
            WaitPid(m_pid, std::chrono::seconds(5));
        }
        m_stopped = true;
    }
    return ReadText(m_report);
}

std::string DevSim::Report() const {
    return ReadText(m_report);
}

bool DevSim::WaitForReport(const std::string& text, std::chrono::milliseconds bound) {
    const auto end = Clock::now() + bound;
    while (Clock::now() < end) {
        if (Report().find(text) != std::string::npos)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return Report().find(text) != std::string::npos;
}

std::string DevSim::Log() const {
    return ReadText(m_dir + "/log") + ReadText(m_dir + "/log.err");
}

DevSim::~DevSim() {
    StopAndReport();
    std::filesystem::remove_all(m_dir);
}

} // namespace skelvo::e2e
