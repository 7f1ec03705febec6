// A fleet of simulated devices in one process: member i listens on the base address plus i, all
// on the same HTTP port number, each with its own web server thread, TFTP client, faults and
// report. A fleet list gives the members as groups of alike devices; what a group leaves out comes
// from the options shared by the whole fleet.
//
//     devsim::FleetOptions f;
//     f.device.httpPort = 0;                      // one free port number, the same on every address
//     f.device.tftpPort = serverPort;
//     f.addressBase = *net::ParseIpv4("127.0.1.1");
//     f.size = 30;                                // the default mix, cycled
//     devsim::Fleet fleet(f);
//     if (!fleet.Start(&why)) ...                 // every member listens once it returns true
//     fleet.HttpEndpoint(4);                      // 127.0.1.5:port
//     fleet.Member(4).WaitForUpgrade(...);
#pragma once

#include "devsim/devsim.h"

#include <atomic>
#include <cstddef>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace devsim {

inline constexpr std::size_t kMaxFleet = 1000;

// `count` devices alike. Unset fields take the fleet's shared options.
struct FleetEntry {
    std::size_t count = 1;
    Model model = Model::Tolva21;
    std::optional<std::string> firmware;
    std::optional<Faults> faults; // replaces the shared faults; an empty text gives none
    std::optional<std::string> login;
    std::optional<std::string> password;
};

// A JSON array of objects with "count" (1 when missing), "model", "version", "faults" (as
// --fault: comma-separated), "login" and "password"; any other key is an error. An entry without
// "model" takes `model`, and is an error when that is empty.
std::optional<std::vector<FleetEntry>> ParseFleetList(std::string_view text, std::optional<Model> model,
                                                      std::string* error);

// One each of Tolva 21xx, Tolva 22xx and Dravenholt II at their default versions, which are older
// than the built-in images: a batch upgrade upgrades every member.
std::vector<FleetEntry> DefaultFleetMix();

struct FleetOptions {
    Options device;                     // shared; address, reportFile and readyFile are the fleet's below
    net::Ipv4 addressBase{0x7F000101u}; // 127.0.1.1
    std::size_t size = 0;               // 0: the list's total; otherwise the list is cycled or cut to it
    std::vector<FleetEntry> entries;    // empty: DefaultFleetMix()
    std::string reportFile;             // one entry per member, keyed by its address
    std::string readyFile;              // one "ADDR:PORT" line per member once every one listens
};

// Each member's options, in address order; nothing (with the reason) for an empty or too large
// fleet, or one whose addresses would run past 255.255.255.254. Member i gets seed + i.
std::optional<std::vector<Options>> FleetMemberOptions(const FleetOptions& options, std::string* error);

class Fleet {
  public:
    explicit Fleet(FleetOptions options);
    ~Fleet();
    Fleet(const Fleet&) = delete;
    Fleet& operator=(const Fleet&) = delete;

    // Starts every member: all listen once it returns true. With HTTP port 0 the first member
    // takes a free port and the others the same number (a few fresh tries if one is taken).
    // On failure nothing is left running.
    bool Start(std::string* error = nullptr);
    std::size_t size() const;
    Simulator& Member(std::size_t index);
    const Simulator& Member(std::size_t index) const;
    net::Endpoint HttpEndpoint(std::size_t index) const;
    // The fleet's report: every member's record as ReportJson gives it, keyed by its address.
    std::string ReportJson() const;
    // Stops every member at once and writes the report. Idempotent.
    void Stop();

  private:
    std::string MemberJson(std::size_t index) const;
    static std::string Assemble(const std::vector<std::string>& entries);
    // Writes the report file; `changed` names the one member whose record changed.
    void WriteReport(std::optional<std::size_t> changed = std::nullopt);

    FleetOptions m_options;
    // Every member's downloads run on it; it outlives the members.
    std::unique_ptr<TftpClientHub> m_hub;
    std::vector<std::unique_ptr<Simulator>> m_members;
    std::atomic<bool> m_reporting{false};
    std::mutex m_reportMu;
    std::vector<std::string> m_entries; // each member's report entry as last written
    std::mutex m_logMu;
    bool m_started = false;
    bool m_stopped = false;
};

} // namespace devsim
