#include "tests/tftp/serve_process.h"

#include "tests/support/event_recorder.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <charconv>
#include <cstdlib>
#include <thread>

namespace skelvo::test {

ServeProcess::ServeProcess(const std::vector<std::string>& args, const std::string& stdoutPath) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0)
        return;
    std::string program = BinaryPath("cli/skelvo-cli");
    std::vector<std::string> all{program};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : all)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    m_pid = ::fork();
    if (m_pid == 0) {
        int out = ::open(stdoutPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (out >= 0)
            ::dup2(out, 1);
        ::dup2(fds[1], 2);
        ::execv(program.c_str(), argv.data());
        ::_exit(127);
    }
    ::close(fds[1]);
    m_stderrFd = fds[0];
}

ServeProcess::~ServeProcess() {
    if (m_pid > 0 && !m_status) {
        ::kill(m_pid, SIGKILL);
        int status = 0;
        ::waitpid(m_pid, &status, 0);
    }
    if (m_stderrFd >= 0)
        ::close(m_stderrFd);
}

bool ServeProcess::ReadSome(std::chrono::milliseconds bound) {
    if (m_stderrFd < 0)
        return false;
    pollfd p{m_stderrFd, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(bound.count())) <= 0)
        return true; // nothing yet, but not at the end
    char buffer[4096];
    ssize_t n = ::read(m_stderrFd, buffer, sizeof buffer);
    if (n <= 0) {
        ::close(m_stderrFd);
        m_stderrFd = -1;
        return false;
    }
    m_stderr.append(buffer, static_cast<std::size_t>(n));
    return true;
}

std::uint16_t ServeProcess::WaitForPort(std::chrono::milliseconds bound) {
    auto until = std::chrono::steady_clock::now() + bound;
    const std::string marker = "UDP port ";
    while (std::chrono::steady_clock::now() < until) {
        std::size_t at = m_stderr.find(marker);
        if (at != std::string::npos) {
            const char* begin = m_stderr.data() + at + marker.size();
            const char* end = m_stderr.data() + m_stderr.size();
            unsigned port = 0;
            auto [stop, ec] = std::from_chars(begin, end, port);
            if (ec == std::errc{} && stop != end)
                return static_cast<std::uint16_t>(port);
        }
        if (!ReadSome(std::chrono::milliseconds(50)))
            return 0;
    }
    return 0;
}

std::optional<int> ServeProcess::Wait(std::chrono::milliseconds bound) {
    if (m_status)
        return m_status;
    if (m_pid <= 0)
        return std::nullopt;
    auto until = std::chrono::steady_clock::now() + bound;
    while (std::chrono::steady_clock::now() < until) {
        int status = 0;
        pid_t r = ::waitpid(m_pid, &status, WNOHANG);
        if (r == m_pid) {
            while (ReadSome(std::chrono::milliseconds(100))) {
            }
            m_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            return m_status;
        }
        if (!ReadSome(std::chrono::milliseconds(50)))
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return std::nullopt;
}

int RunCommand(const std::string& commandLine, int timeoutSeconds) {
    std::string full = "timeout " + std::to_string(timeoutSeconds) + " " + commandLine + " >/dev/null 2>&1";
    int status = std::system(full.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128;
}

bool HaveProgram(const std::string& name) {
    return std::system(("command -v " + name + " >/dev/null 2>&1").c_str()) == 0;
}

} // namespace skelvo::test
