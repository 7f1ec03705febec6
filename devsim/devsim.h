// skelvo-devsim: a simulated device server for demonstrations and end-to-end tests. It has a web
// server (GET / with the model's Server line; GET /config?if=image&ih=ADDR[&id=1] with Basic
// credentials starts an upgrade) and its own TFTP client, which fetches the image twice from ADDR:
// once to verify its trailer (family and CRC-32), then, after the erase wait, to program it.
// After programming it is unreachable while it restarts, then answers with the new version.
// When the program download fails after the erase, the device has no firmware: its web server
// stays down and its boot loader asks the same server for "image" every few seconds until one
// complete download of a good image programs it; then it restarts with that version.
//
// In-process use (the executable is a thin wrapper around the same class):
//
//     devsim::Options o;
//     o.model = devsim::Model::Tolva21;
//     o.httpPort = 0;                 // any free port
//     o.tftpPort = serverPort;        // where the TFTP server under test listens
//     o.eraseTime = o.rebootTime = std::chrono::milliseconds(0);
//     devsim::Simulator sim(o);
//     if (!sim.Start(&why)) ...       // bound and answering once it returns true
//     net::Endpoint web = sim.HttpEndpoint();
//     auto up = sim.WaitForUpgrade(std::chrono::seconds(60));  // first upgrade's record
//     sim.Stop();                     // closes everything and joins; the destructor does too
//
// Every method may be called from any thread.
#pragma once

#include "devsim/tftp_client.h"
#include "net/net.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace devsim {

enum class Model { Tolva21, Tolva22, Tolva, Dravenholt, Vintrosphere };

std::optional<Model> ParseModel(std::string_view name); // "tolva21", "tolva22", "tolva", ...
const char* ModelName(Model model);                     // the command-line name
const char* ProductName(Model model);                   // "Tolva 2100", "Dravenholt II", ...
const char* DefaultFirmware(Model model);               // "1.0.8" or "6.2.0"
std::vector<std::string> AcceptedFamilies(Model model); // trailer families it programs

// Which downloads a TFTP fault touches: bit 0 the first (verify), bit 1 the second (program).
inline constexpr unsigned kBothPasses = 3;

struct LossFault {
    double fraction = 0;
    unsigned passes = kBothPasses;
};
struct BlockFault {
    std::uint32_t block = 0; // 0: off
    unsigned passes = kBothPasses;
};
struct DelayFault {
    std::chrono::milliseconds delay{0}; // 0: off
    unsigned passes = kBothPasses;
};

struct Faults {
    bool refuseLogin = false; // every command gets 401
    bool silent = false;      // accept connections, read, never answer
    // Answer with a header that never ends: one byte every `trickle`, or (endlessHeader) header
    // lines without a Server line as fast as they are read; trickleCommand: only the upgrade
    // command's reply, which is then not carried out.
    std::chrono::milliseconds trickle{0};
    bool endlessHeader = false;
    std::chrono::milliseconds trickleCommand{0};
    bool noServerHeader = false;        // replies carry no Server line
    bool lowercaseServerHeader = false; // "server: ..." instead of "Server: ..."
    bool splitServerHeader = false;     // the Server line leaves in two TCP segments
    bool serverInBody = false;          // "Server: Dravenholt II" in the HTML body
    bool resetAfterCommand = false;     // RST after reading /config, before any reply
    // With resetAfterCommand: the download begins first, and the RST follows this much later.
    std::chrono::milliseconds resetAfterCommandDelay{0};
    std::chrono::milliseconds slow{0}; // wait before each reply, then send it in small pieces
    LossFault dropData;
    LossFault dropAck;
    BlockFault duplicateAck;
    BlockFault wrongAck;
    BlockFault errorMidTransfer;
    std::chrono::milliseconds ackDelay{0};
    unsigned ackDelayPasses = kBothPasses;
    bool noSecondRequest = false;
    unsigned dropFinalAck = 0; // the downloads it touches (bits as in kBothPasses); 0: off
    unsigned requestOnce = 0;  // the same
    DelayFault lateFinalAck;
    int commandStatus = 0; // a good command is answered with this HTTP status and not carried out; 0: off
};

// Applies one fault given as on the command line: "silent", "drop-data=0.2", "wrong-ack=3@2"
// (@1 or @2 limits a TFTP fault to the first or second download). False with a reason otherwise.
bool ParseFault(std::string_view text, Faults& faults, std::string* error);
// Each fault of a comma-separated list ("silent,drop-data=0.1@2"); false at the first bad one.
bool ParseFaultList(std::string_view text, Faults& faults, std::string* error);
// The fault names with a one-line description each, for --help.
std::string FaultHelp();

struct Options {
    Model model = Model::Tolva21;
    std::string firmware;               // version text shown before any upgrade; empty: model default
    net::Ipv4 address = net::kLoopback; // web server and TFTP client source address
    std::uint16_t httpPort = 80;        // 0: any free port (HttpEndpoint() tells which)
    std::uint16_t tftpPort = 69;        // where the read requests go
    std::string login = "root";
    std::string password = "marlin";
    std::chrono::milliseconds eraseTime{3000};
    std::chrono::milliseconds rebootTime{4000};
    // Between the boot loader's read requests (start to start) while the flash is erased.
    std::chrono::milliseconds bootLoaderRetry{3000};
    bool acceptAnyImage = false; // programs an image that has no trailer
    std::uint64_t seed = 1;      // for the drop faults
    Faults faults;
    TftpClientOptions tftp;
    // Where its downloads run (a fleet shares one); none: on the device's own upgrade thread.
    TftpClientHub* tftpHub = nullptr;
    std::chrono::milliseconds requestTimeout{10000}; // for a client to finish its request
    std::string reportFile;                          // JSON written after each upgrade and at Stop()
    std::string readyFile;                           // "ADDR:PORT\n" written once the web server listens
    std::function<void(std::string_view)> log;       // one line each, no line break; default stdout
    // Called whenever the report changes, where the report file is (re)written; never with the
    // simulator's lock held, so it may call GetReport().
    std::function<void()> reportChanged;
};

struct RequestRecord {
    std::string peer;  // "a.b.c.d:port"
    std::string bytes; // exactly as received
    std::string method;
    std::string target;
    int status = 0;                          // of the reply; 0 when none was sent
    std::string login;                       // from the Authorization line, if any
    std::optional<bool> credentialsAccepted; // only for requests that need credentials
};

struct PassRecord {
    int pass = 0; // 1 verify, 2 program, 3 a boot loader download
    bool complete = false;
    bool answered = false; // the server sent DATA or an ERROR
    std::string error;
    std::vector<std::uint8_t> data;
    std::string sha256;
    std::string server; // the transfer ID that served it
    std::uint32_t blocks = 0;
    int requestsSent = 0;
    int acksSent = 0;
    int timeouts = 0;
    int duplicateBlocks = 0;
    int droppedData = 0;
    int droppedAcks = 0;
    int strangers = 0;
    std::chrono::milliseconds elapsed{0}; // first request to last block
};

// Something that happened to the device during an upgrade, `at` after the command.
struct EventRecord {
    std::chrono::milliseconds at{0};
    std::string what; // "command", "verified", "erased", "bricked", "rescued", ...
    std::string detail;
};

struct UpgradeRecord {
    std::string tftpServer; // where the read requests went
    std::string file;       // the name from if=
    bool trace = false;     // id=1
    std::vector<PassRecord> passes;
    bool verified = false;
    std::string verification; // the verdict's reason
    std::string imageFamily;
    std::string imageVersion; // digits from the trailer
    bool identical = false;   // both downloads byte for byte the same
    bool erased = false;      // the flash was erased; without `programmed` the device is stranded
    bool programmed = false;
    std::string outcome; // "programmed", "rejected", "verify download failed", ...
    // What the upgrade left: "upgrading" while it runs; "intact" (the old firmware still runs),
    // "programmed", "bricked" (flash erased and not programmed: the boot loader is asking for an
    // image), "rescued" (a boot loader download programmed it and it has restarted), or
    // "erased" (erased, then nothing more: the no-second-request fault).
    std::string state = "upgrading";
    bool rescued = false;
    int bootLoaderRequests = 0; // read requests the boot loader sent, answered or not
    std::vector<EventRecord> events;
    std::string versionBefore;
    std::string versionAfter;
    std::chrono::steady_clock::time_point commanded; // when the command arrived (not reported)
    // The upgrade itself worked: both downloads complete, identical and verified. A rescued
    // device is programmed but did not succeed.
    bool succeeded() const { return programmed && identical && verified; }
};

struct Report {
    std::string model;
    std::string initialVersion;
    std::string currentVersion;
    std::string deviceState; // "running", "upgrading", "restarting" or "bricked"; filled by GetReport()
    std::vector<RequestRecord> requests;
    std::vector<UpgradeRecord> upgrades;
};

// JSON of the report. Request bytes are escaped; the credentials token of an Authorization line
// is replaced by "[credentials]", so the file never holds the password in any form.
std::string ReportJson(const Report& report);

class Simulator {
  public:
    explicit Simulator(Options options);
    ~Simulator();
    Simulator(const Simulator&) = delete;
    Simulator& operator=(const Simulator&) = delete;

    // Binds the web server and starts serving. False (with the reason) if it cannot bind.
    bool Start(std::string* error = nullptr);
    // The web server's bound address and port (valid after Start()).
    net::Endpoint HttpEndpoint() const;
    // Waits until the web server listens (after a restart too); false after the bound.
    bool WaitListening(std::chrono::milliseconds bound) const;
    // Waits until upgrade number `index` (0 = first) has ended, and returns its record.
    // An upgrade that bricks the device ends there (state "bricked"); the boot loader goes on.
    std::optional<UpgradeRecord> WaitForUpgrade(std::chrono::milliseconds bound, std::size_t index = 0) const;
    // Waits until upgrade number `index` has left the device rescued (state "rescued": programmed
    // by the boot loader and answering again), and returns its record; nothing after the bound.
    std::optional<UpgradeRecord> WaitForRescue(std::chrono::milliseconds bound, std::size_t index = 0) const;
    // "running", "upgrading", "restarting" or "bricked".
    std::string DeviceState() const;
    std::string CurrentVersion() const;
    std::string ServerLine() const; // "Tolva 2100/1.0.8"
    Report GetReport() const;
    // Stops the web server and any upgrade, joins every thread, writes the report. Idempotent.
    void Stop();

  private:
    struct State;
    std::unique_ptr<State> m;
};

} // namespace devsim
