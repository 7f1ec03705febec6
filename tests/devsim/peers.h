// Real peers for the simulator's tests: child processes (tftpd-hpa, atftpd, curl, the simulator
// executable itself), free loopback ports, and a short HTTP exchange over a plain socket.
#pragma once

#include "net/net.h"
#include "tests/support/files.h"
#include "tests/support/ports.h"

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace devsim_test {

// A child process, ended with SIGTERM (then SIGKILL) by the destructor unless it has exited.
class Child {
  public:
    Child() = default;
    explicit Child(const std::vector<std::string>& argv, const std::string& stdoutFile = "/dev/null");
    ~Child();
    Child(Child&& other) noexcept;
    Child& operator=(Child&& other) noexcept;
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    bool running();
    // Waits for the exit; its status, or nothing after the bound (the child keeps running).
    std::optional<int> Wait(std::chrono::milliseconds bound);
    // SIGTERM, then waits; the exit status (128 + signal for a killed child).
    std::optional<int> Terminate(std::chrono::milliseconds bound = std::chrono::seconds(10));
    int pid() const { return m_pid; }

  private:
    int m_pid = -1;
    std::optional<int> m_status;
};

using skelvo::test::FreeUdpPort;
// True once something holds the UDP port on 127.0.0.1 (our own bind fails), within the bound.
bool WaitUdpPortTaken(std::uint16_t port, std::chrono::milliseconds bound = std::chrono::seconds(10));

// A directory readable by the unprivileged users the TFTP servers run as, holding "image".
class ServeDir {
  public:
    explicit ServeDir(const std::vector<std::uint8_t>& image, const std::string& name = "image");
    ~ServeDir();
    const std::string& path() const { return m_path; }

  private:
    std::string m_path;
};

// tftpd-hpa in the foreground on 127.0.0.1:port, or nothing (with the reason) when it cannot run.
std::optional<Child> StartTftpdHpa(const std::string& dir, std::uint16_t port, std::string* why);
// atftpd in the foreground on 127.0.0.1:port.
std::optional<Child> StartAtftpd(const std::string& dir, std::uint16_t port, std::string* why);

// The path of atftpd's server binary, or empty.
std::string AtftpdPath();

// Sends `request` on a fresh TCP connection and reads until the peer closes (or the bound).
struct HttpExchange {
    bool connected = false;
    std::string reply;
    std::vector<std::string> chunks; // each receive's bytes
    bool closed = false;             // orderly close seen
    bool reset = false;              // connection reset seen
    bool timedOut = false;
};
HttpExchange Exchange(net::Endpoint server, const std::string& request,
                      std::chrono::milliseconds bound = std::chrono::seconds(20));

// Runs a command and returns its standard output (and its exit status through `status`).
std::string Capture(const std::string& command, int* status = nullptr);

// Reads a whole text file; empty if missing.
using skelvo::test::ReadText;

// Waits for the simulator's --ready-file and returns the endpoint written in it.
std::optional<net::Endpoint> WaitReadyFile(const std::string& path, std::chrono::milliseconds bound);

// The built-in image files that the build generates (tolva21.bin, tolva22.bin, dravenholt.bin).
std::vector<std::uint8_t> BuiltInImage(const std::string& name);

} // namespace devsim_test
