// The journal: what a crash of the PC must not lose. Before a device is commanded, one record
// names it, where it was reached, its image and how to serve it again; each state it reaches
// after that is a record of its own, and its end is the last. A device whose last record is not
// an end may have erased its flash, and `skelvo-cli recover` brings it back from the journal.
//
// One JSON object a line (docs/journal.md):
//
//   {"time":..., "id":"5f0c...", "state":"commanding", "host":..., "address":..., "model":..., ...}
//   {"time":..., "id":"5f0c...", "host":..., "state":"commanded"}
//   ... "verifying", "verified", "erasing", "programming" ...
//   {"time":..., "id":"5f0c...", "host":..., "state":"end", "result":"complete", "exit_code":0}
//
// The file is only ever appended to (but for PruneJournal), each record whole with one write and
// made durable before Record returns; a torn last line, left by a crash in the middle of a write,
// is skipped with a warning.
#pragma once

#include "upgrade/device_upgrade.h"
#include "upgrade/records.h"

#include <nlohmann/json.hpp>

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace skelvo::upgrade {

// The states of a journaled device, in their order.
inline constexpr char kStateCommanding[] = "commanding";   // about to be sent the command
inline constexpr char kStateCommanded[] = "commanded";     // the command was taken
inline constexpr char kStateVerifying[] = "verifying";     // its verify download began
inline constexpr char kStateVerified[] = "verified";       // the verify download is complete
inline constexpr char kStateErasing[] = "erasing";         // it erases its flash
inline constexpr char kStateProgramming[] = "programming"; // its programming download began
inline constexpr char kStateEnd[] = "end";
// Not ends: an upgrade that left the device perhaps without firmware (its rescue command was
// given), and a recover that could not bring it back. Both are for recover to settle.
inline constexpr char kStateStranded[] = "stranded";
inline constexpr char kStateUnrecovered[] = "unrecovered";

// $XDG_STATE_HOME/skelvo/journal.jsonl (~/.local/state/...), %LOCALAPPDATA%\Skelvo\journal.jsonl
// on Windows; empty when neither the variable nor a home folder is known.
std::string DefaultJournalPath();

class Journal {
  public:
    Journal() = default;
    ~Journal();
    Journal(const Journal&) = delete;
    Journal& operator=(const Journal&) = delete;

    // Creates the folders and opens the file for appending. False with the reason otherwise.
    bool Open(const std::string& path, std::string& error);
    bool IsOpen() const { return m_log.IsOpen(); }
    const std::string& path() const { return m_log.path(); }

    // Appends a record and returns once it is on the disk; false when it could not be made so.
    // Records of every thread that wait at the same time share one flush.
    bool Record(const nlohmann::ordered_json& record);
    // Appends a record without waiting: a state the device has reached by itself, which no
    // waiting could hold back. It is on the disk a flush later.
    void Post(const nlohmann::ordered_json& record);

  private:
    void Write();
    std::uint64_t Enqueue(const nlohmann::ordered_json& record);

    DurableLog m_log;
    std::mutex m_lock;
    std::condition_variable m_changed;
    std::vector<std::string> m_pending;
    std::uint64_t m_queued = 0;               // records handed in so far
    std::uint64_t m_written = 0;              // records flushed (or failed) so far
    std::uint64_t m_failedAfter = UINT64_MAX; // the first record of a failed flush
    bool m_stop = false;
    std::thread m_writer;
};

// One journaled device attempt, as the journal tells it.
struct JournalEntry {
    std::string id;
    nlohmann::json first; // the commanding record, with everything needed to serve the device
    std::string state;    // the last record's state
    std::string lastTime;
    std::optional<nlohmann::json> end; // the end record
    std::vector<std::string> states;   // every state, in order
    bool Ended() const { return end.has_value(); }
    bool Reached(std::string_view which) const;
};

struct JournalRead {
    std::vector<JournalEntry> entries; // in the order their first records stand
    std::vector<std::string> warnings; // torn or foreign lines, skipped
    bool readable = true;              // false when the file exists but cannot be read
};

// Reads the journal; a missing file is an empty journal.
JournalRead ReadJournal(const std::string& path);

// Rewrites the journal without the ended devices whose end is older than `days` days: the new
// file is written beside it, flushed, and renamed over it. The number dropped, or nothing with the
// reason in error.
std::optional<std::size_t> PruneJournal(const std::string& path, int days, std::string& error);

// Passes every call on to `inner` and keeps the journal of each device: the commanding record
// (durable before the command may go; a device whose record cannot be kept is not commanded), its
// states as it reaches them, and its end.
class JournalSink final : public UpgradeSink {
  public:
    JournalSink(Journal& journal, UpgradeSink& inner, const UpgradeSettings& settings)
        : m_journal(journal), m_inner(inner), m_settings(settings) {}

    void Began(const DeviceUpgrade& d) override { m_inner.Began(d); }
    void Event(const DeviceUpgrade& d, const DeviceEvent& e) override;
    void Say(const DeviceUpgrade& d, const std::string& text) override { m_inner.Say(d, text); }
    void Rebooted(const DeviceUpgrade& d, const std::optional<std::string>& version,
                  const std::optional<std::string>& expected, bool ok) override {
        m_inner.Rebooted(d, version, expected, ok);
    }
    void Retrying(const DeviceUpgrade& d, const HostResult& failed, std::chrono::milliseconds delay) override;
    bool Commanding(const DeviceUpgrade& d) override;
    void Reached(const DeviceUpgrade& d, Phase phase) override;
    void Finished(const DeviceUpgrade& d, const HostResult& r) override;

  private:
    std::optional<std::string> IdOf(const DeviceUpgrade& d);
    void End(const DeviceUpgrade& d, const HostResult& r);

    Journal& m_journal;
    UpgradeSink& m_inner;
    const UpgradeSettings& m_settings;
    std::mutex m_lock;
    std::map<const DeviceUpgrade*, std::string> m_ids; // the attempts journaled and not ended
};

// A record of the journal: time, id, host and state, and with them whatever `more` holds.
nlohmann::ordered_json JournalRecord(const std::string& id, const std::string& host, std::string_view state);
// The end record of an attempt.
nlohmann::ordered_json JournalEnd(const std::string& id, const std::string& host, const std::string& result,
                                  int exitCode, const std::string& reason = {});

} // namespace skelvo::upgrade
