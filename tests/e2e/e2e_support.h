// End-to-end helpers: skelvo-cli and skelvo-devsim as child processes, each simulated device on its
// own loopback address, each test with its own TFTP port.
#pragma once

#include "tests/support/files.h"
#include "tests/support/ports.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace skelvo::e2e {

struct CliRun {
    int status = -1; // exit status; 128 + signal when killed
    std::string out;
    std::string err;
    std::chrono::milliseconds elapsed{0};
    // The JSON lines of standard output whose "name" field is an engine event, in order.
    std::vector<std::string> EventNames() const;
    std::vector<std::string> OutLines() const;
};

struct CliOptions {
    std::string stdinText;
    std::map<std::string, std::string> env; // added to (or replacing) the inherited environment
    std::chrono::seconds bound{180};
};

// Runs skelvo-cli in a new session (so it has no controlling terminal) and waits for its end.
CliRun RunCli(const std::vector<std::string>& args, const CliOptions& options = {});

// skelvo-cli running in the background, for tests that act while it runs. Standard output goes to
// a file. With a terminal, the program runs on a pseudo-terminal of its own: its controlling
// terminal (the confirmation question), standard input and standard error; typing Ctrl-C there
// signals it as a real terminal does. Without one, it runs in a new session and standard error
// goes to a file.
class CliProcess {
  public:
    enum class Terminal { None, Pseudo };
    CliProcess(const std::vector<std::string>& args, Terminal terminal, const CliOptions& options = {});
    ~CliProcess();
    CliProcess(const CliProcess&) = delete;
    CliProcess& operator=(const CliProcess&) = delete;

    // Waits until what the program wrote to its terminal (or standard error) contains text.
    bool WaitForErr(const std::string& text, std::chrono::milliseconds bound = std::chrono::seconds(120));
    std::string Err() const;
    // Bytes typed on the terminal ("\x03" is Ctrl-C).
    void Type(const std::string& bytes);
    void Signal(int signal);
    // Waits for the end (killing the program after the bound) and returns what it wrote.
    CliRun Wait(std::chrono::milliseconds bound = std::chrono::seconds(180));

  private:
    void ReadTerminal();

    int m_pid = -1;
    int m_master = -1;
    std::string m_dir;
    std::optional<int> m_status;
    std::chrono::steady_clock::time_point m_start;
    mutable std::mutex m_lock;
    std::condition_variable m_grew;
    std::string m_terminal;
    std::thread m_reader;
};

using skelvo::test::FreeTcpPort;
using skelvo::test::FreeUdpPort;

class DevSim {
  public:
    // Starts skelvo-devsim on address with --http-port 0 and waits until it listens.
    DevSim(const std::string& model, const std::string& address, std::uint16_t tftpPort,
           const std::vector<std::string>& extra = {}, std::uint16_t httpPort = 0);
    // Starts a fleet of count simulated devices in one process, on consecutive addresses from
    // addressBase (the fleet's own options, such as --fleet-file, in extra); address() is the
    // first member's. The report holds every member under its address.
    static std::unique_ptr<DevSim> Fleet(int count, const std::string& addressBase, std::uint16_t tftpPort,
                                         const std::vector<std::string>& extra, std::uint16_t httpPort = 0);
    ~DevSim();
    DevSim(const DevSim&) = delete;
    DevSim& operator=(const DevSim&) = delete;

    std::uint16_t httpPort() const { return m_httpPort; }
    const std::string& address() const { return m_address; }
    // The report as last written (the simulator writes it at each change of an upgrade).
    std::string Report() const;
    // Waits until the report contains text.
    bool WaitForReport(const std::string& text, std::chrono::milliseconds bound);
    // Stops the simulator (SIGTERM) and returns its report (JSON text).
    std::string StopAndReport();
    std::string Log() const;

  private:
    DevSim(const std::vector<std::string>& where, const std::string& address, std::uint16_t tftpPort,
           const std::vector<std::string>& extra, std::uint16_t httpPort);

    int m_pid = -1;
    std::string m_address;
    std::uint16_t m_httpPort = 0;
    std::string m_dir;
    std::string m_report;
    bool m_stopped = false;
};

using skelvo::test::ReadText;
std::string Sha256Hex(const std::vector<unsigned char>& bytes);
std::size_t Count(const std::string& text, const std::string& what);

} // namespace skelvo::e2e
