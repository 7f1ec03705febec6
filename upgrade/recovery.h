// Bringing back the devices that a crash left half-way, from the journal: every device whose
// last record is not an end is served its recorded image on the fleet server (all at once) while
// its web server is asked what it runs, until each one is settled:
//
//   answers with the new version                      -> ended "complete"
//   answers with its old version, asked for nothing during the settle time, and the journal never
//   reached "erasing"                                 -> ended "not-upgraded" (or "image-rejected"
//                                                        once it had verified the image): its flash
//                                                        is intact
//   otherwise (silent, asking, erased)                -> served until it has its image and comes
//                                                        back, or the window ends ("unrecovered")
//
// A device that has verified its image may still be erasing while it answers with its old
// version, so an old version counts only after the settle time (longer than any erase) has passed
// without a request.
#pragma once

#include "http/device_http.h"
#include "tftp/tftp_server.h"
#include "upgrade/device_upgrade.h"
#include "upgrade/journal.h"

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace skelvo::upgrade {

// One unended attempt of the journal, with the image it is to be served.
struct RecoveryTarget {
    JournalEntry entry;
    std::string host;
    std::string address; // where requests come from; the host when the record has none
    std::uint16_t httpPort = kHttpPort;
    std::uint16_t tftpPort = kTftpPort;
    int type = 0;
    std::string oldVersion;
    std::string newVersion; // "(user file)" when a user's file was served
    std::string imageSource;
    const ImageDescriptor* image = nullptr; // checked against the recorded SHA-256
};

// The images a recovery serves: the built-in ones as they are, a user's file read again.
class RecoveryImages {
  public:
    // The image the entry recorded, when it is still the one recorded; else nothing and why
    // (a changed or missing file, a built-in image of another version of this program).
    const ImageDescriptor* Resolve(const JournalEntry& entry, std::string& why);

  private:
    std::vector<std::unique_ptr<std::vector<unsigned char>>> m_files;
    std::vector<std::unique_ptr<ImageDescriptor>> m_descriptors;
};

// The targets of every unended attempt of a journal; those whose image cannot be served are left
// out, each with its reason in `refused`.
std::vector<RecoveryTarget> RecoveryTargets(const JournalRead& journal, RecoveryImages& images,
                                            std::vector<std::pair<JournalEntry, std::string>>& refused);

struct RecoverySettings {
    std::chrono::seconds window{600};
    std::chrono::seconds settle{90};
    std::chrono::seconds pollInterval{1};
    HttpBounds http;
    // Retransmission, options; the port is each target's own.
    TftpServerOptions tftp;
};

struct RecoveryOutcome {
    std::string result; // "complete", "not-upgraded", "image-rejected", "unrecovered"
    bool recovered = false;
    std::optional<std::string> version; // what it answered last
    std::string reason;
};

class RecoverySink {
  public:
    virtual ~RecoverySink() = default;
    virtual void Began(const RecoveryTarget&, bool /*serving*/) {}
    // The device's TFTP events while it is served.
    virtual void Event(const RecoveryTarget&, const DeviceEvent&) {}
    virtual void Say(const RecoveryTarget&, const std::string&) {}
    virtual void Ended(const RecoveryTarget&, const RecoveryOutcome&) {}
};

// Settles every target at once and writes each outcome to the journal (an end, or
// "unrecovered"). Returns the outcomes in the targets' order. `cancel`, when requested, ends the
// waits (the devices not yet settled are unrecovered).
std::vector<RecoveryOutcome> Recover(const std::vector<RecoveryTarget>& targets,
                                     const RecoverySettings& settings, RecoverySink& sink, Journal* journal,
                                     HttpCancel* cancel);

} // namespace skelvo::upgrade
