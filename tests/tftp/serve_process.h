// `skelvo-cli serve` as a child process: its standard error read through a pipe (where it reports
// the port it serves on) and its standard output written to a file.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace skelvo::test {

class ServeProcess {
  public:
    // Runs skelvo-cli with these arguments (after the program name); stdout goes to stdoutPath.
    ServeProcess(const std::vector<std::string>& args, const std::string& stdoutPath);
    ~ServeProcess();
    ServeProcess(const ServeProcess&) = delete;
    ServeProcess& operator=(const ServeProcess&) = delete;

    // Waits for "UDP port N" on standard error; 0 if the process ended or the bound passed first.
    std::uint16_t WaitForPort(std::chrono::milliseconds bound = std::chrono::seconds(30));
    // Waits for the exit status; nothing after the bound (the process is then killed).
    std::optional<int> Wait(std::chrono::milliseconds bound = std::chrono::seconds(60));
    // Standard error as read so far (all of it after Wait).
    const std::string& Stderr() const { return m_stderr; }

  private:
    bool ReadSome(std::chrono::milliseconds bound);

    pid_t m_pid = -1;
    int m_stderrFd = -1;
    std::string m_stderr;
    std::optional<int> m_status;
};

// Runs a shell command line with a time limit; its exit status (124 after the limit).
int RunCommand(const std::string& commandLine, int timeoutSeconds = 120);
// Whether a program is on PATH.
bool HaveProgram(const std::string& name);

} // namespace skelvo::test
