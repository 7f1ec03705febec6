// One device's upgrade, the same for every front end:
//
//   Probe:   the model (unless a user's file is served), the version, the image, the policy's
//            decision and the question                     -> ended: unreachable, unknown, ...
//   (the front end confirms, once for a whole batch)
//   Execute: the device is added to the fleet server, then commanded; its two passes are served;
//            then the checks: the image-rejected check when it never asks again, the reboot check
//            after an unconfirmed end, a last block that was sent but never acknowledged, or
//            --verify-reboot                               -> ended: complete, or why not
//
// Every step has a bound: the HTTP exchanges theirs (HttpBounds), the wait for the first request
// (fetchTimeout), the silence of a transfer (idleTimeout, beyond the server's own bound), the
// erase (programmingWait), the checks their own. A cancel before the command ends the exchange
// under way at once; after the command only an abandon (a second signal) stops serving.
//
// What the device does is reported to an UpgradeSink; the device keeps its own state and takes
// nothing from the process but the built-in images.
#pragma once

#include "engine/version_policy.h"
#include "http/device_http.h"
#include "tftp/tftp_fleet.h"
#include "upgrade/outcome.h"
#include "upgrade/question.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace skelvo::upgrade {

// The value of one device's upgrade: whom to talk to, and how.
struct UpgradeTarget {
    std::string host; // as typed
    std::string login = "root";
    std::string password;
    bool downloadTrace = false;
    std::uint16_t httpPort = kHttpPort;
};

// What holds for every device of a run.
struct UpgradeSettings {
    std::uint16_t tftpPort = kTftpPort;
    // A user's image file, served to every device instead of its model's built-in image; it must
    // outlive the run.
    const ImageDescriptor* userImage = nullptr;
    std::string imagePath; // that file's path, for records and the rescue command
    VersionPolicy policy;
    HttpBounds http;
    std::chrono::seconds fetchTimeout{120};
    std::chrono::seconds idleTimeout{120};
    std::chrono::seconds programmingWait{120};
    // A reboot check after every success; without it, only where the end is in doubt.
    std::optional<std::chrono::seconds> verifyReboot;
    std::chrono::seconds rebootWait{180};
    int retries = 0;
    int parallel = 20;
    // The TFTP server's settings that hold for every device (retransmission, options).
    TftpServerOptions tftp;
    // Each device's trace lines start with its host; a front end with one device may do without.
    bool tagTrace = true;
    // Devices the journal shows half-way, by host as typed and by address, with the state they
    // were left at: they are not commanded.
    std::map<std::string, std::string> unendedHosts;
    std::map<std::string, std::string> unendedAddresses;
    // The SHA-256 of each image a device may be served, by its first byte's address; see
    // AddImageDigests. An image without one is hashed when it is chosen.
    std::map<const unsigned char*, std::string> imageDigests;
};

// Hashes the built-in images and the user's image once, for every device of a run.
void AddImageDigests(UpgradeSettings& settings);

// An engine event of one device, as the flow passes it on.
struct DeviceEvent {
    bool error = false;
    int code = 0;
    int sent = 0; // STATUS_PROGRESS
    int total = 0;
    bool unconfirmed = false;        // STATUS_COMPLETE: the last block was never acknowledged
    bool replyWarning = false;       // ERR_RECEIVE of the command's reply: the image is still served
    std::string detail;              // an error's meaning here, where the engine's text would mislead
    bool told = false;               // an error whose failure an earlier error of the transfer told
    Phase phase = Phase::NotStarted; // the phase the event leaves the device in
    std::chrono::steady_clock::time_point at;
};

class DeviceUpgrade;

// Where a device's upgrade reports. The calls for one device come in order, but from different
// threads (the device's own, the TFTP server's); a sink serving several devices must be safe for
// that.
class UpgradeSink {
  public:
    virtual ~UpgradeSink() = default;
    // The device's turn has begun (step 1).
    virtual void Began(const DeviceUpgrade&) {}
    virtual void Event(const DeviceUpgrade&, const DeviceEvent&) {}
    // A line for the user about the device.
    virtual void Say(const DeviceUpgrade&, const std::string&) {}
    // The reboot check has ended.
    virtual void Rebooted(const DeviceUpgrade&, const std::optional<std::string>& /*version*/,
                          const std::optional<std::string>& /*expected*/, bool /*ok*/) {}
    // An attempt failed before the device took the command, and it will be tried again.
    virtual void Retrying(const DeviceUpgrade&, const HostResult& /*failed*/, std::chrono::milliseconds) {}
    // Before the upgrade command goes out: false keeps it from going (nothing is sent).
    virtual bool Commanding(const DeviceUpgrade&) { return true; }
    // The device has reached a phase after the command (Verify, Erase, Program).
    virtual void Reached(const DeviceUpgrade&, Phase) {}
    // The device is done; its record is final.
    virtual void Finished(const DeviceUpgrade&, const HostResult&) {}
};

class DeviceUpgrade {
  public:
    DeviceUpgrade(UpgradeTarget target, const UpgradeSettings& settings, UpgradeSink& sink);
    ~DeviceUpgrade();
    DeviceUpgrade(const DeviceUpgrade&) = delete;
    DeviceUpgrade& operator=(const DeviceUpgrade&) = delete;

    // Step 1 and the question. True when the device may be asked about; false when it has ended.
    bool Probe();
    // The command and everything after it, serving the device on `fleet`. Blocks until the
    // device has ended, or has failed in a way that may be retried (Retryable(result())).
    void Execute(TftpFleetServer& fleet);
    // Ends the device without a command, telling the user why (nothing when message is empty).
    void End(int exitCode, const std::string& message, const std::string& resultName = {});
    // Ends the device that a signal kept from being commanded, or that was in its reboot check.
    void Interrupted(Phase phase, int signal);
    // Makes a failed attempt ready for the next one (the probe's findings are kept).
    void NextAttempt();
    // Tells the sink that the record is final.
    void Publish();

    // From any thread. Before the command: ends the exchange under way at once, and the device
    // ends interrupted. After the command: nothing (the device is served to the end).
    void Cancel(int signal);
    // From any thread, after the command: stops serving the device and ends its waits; it ends
    // abandoned, with its rescue command. During the reboot check: ends the check.
    void Abandon(int signal);

    const UpgradeTarget& target() const { return m_target; }
    const std::string& host() const { return m_target.host; }
    // The image it is served: a built-in ServerType or SERVER_USER_FILE; SERVER_UNKNOWN before the
    // probe has found it.
    int type() const { return m_type; }
    // What its Server line named (SERVER_TOLVA included), before the choice of the image.
    int detectedType() const { return m_detected; }
    const std::string& currentVersion() const { return m_current; }
    PolicyDecision decision() const { return m_decision; }
    const ConfirmQuestion& question() const { return m_question; }
    // Where its web server was reached, which is also where its requests come from.
    std::optional<net::Ipv4> address() const { return m_address; }
    bool probed() const { return m_image != nullptr; }
    const ImageDescriptor* image() const { return m_image; }
    Phase phase() const;
    bool commanded() const;
    bool ended() const;
    HostResult result() const;

  private:
    void SetPhase(Phase phase);
    HttpCall Call(const std::string& host);
    void OnHttpEvent(bool error, int code);
    void OnTftpEvent(bool error, int code, const void* info);
    void Pass(const DeviceEvent& e, std::optional<Phase> reached);
    void ReleaseHeldEvents();
    void OnSessionEnd();
    void StopSession(TftpFleetServer& fleet);
    // The wait for the device's two passes; the exit code, or kAbandonedCode.
    int WaitForPasses();
    void AfterPasses(int outcome);
    // Whether a device that never asked again still answers with its old version.
    bool StillAtOldVersion();
    struct RebootOutcome {
        enum class Kind { Back, NotBack, Stopped } kind = Kind::NotBack;
        std::string why;
    };
    RebootOutcome RebootCheck(std::chrono::seconds seconds);
    void OfferRescue(const std::string& why);
    void Fail(int exitCode, const std::string& message);
    // Ends the device with what the user was told already (the events), recording why.
    void Conclude(int exitCode, const std::string& reason);
    void Abandoned();
    std::string Digest(const ImageDescriptor& image) const;
    bool AbandonRequested() const;
    int Signal() const;
    void Stamp();

    const UpgradeTarget m_target;
    const UpgradeSettings& m_settings;
    UpgradeSink& m_sink;
    HttpCancel m_cancel;
    std::chrono::steady_clock::time_point m_started;

    // What the probe found; written by the device's own thread before anyone else reads it.
    int m_type = 0;
    int m_detected = 0;
    const ImageDescriptor* m_image = nullptr;
    std::optional<net::Ipv4> m_address;
    std::string m_contact; // m_address in dotted form
    std::string m_current;
    PolicyDecision m_decision = PolicyDecision::Upgrade;
    ConfirmQuestion m_question;

    // Shared with the TFTP server's thread and the signals, under m_lock.
    mutable std::mutex m_lock;
    std::condition_variable m_changed;
    HostResult m_result;
    bool m_ended = false;
    Phase m_phase = Phase::NotStarted;
    bool m_commanded = false;
    bool m_accepted = false;        // STATUS_COMMAND_ACCEPTED came
    bool m_commandExchange = false; // the upgrade command's HTTP exchange is under way
    std::optional<int> m_firstHttpError;
    std::optional<DeviceEvent> m_tftpError;
    std::optional<DeviceEvent> m_complete;
    bool m_errorTold = false;
    bool m_sessionEnded = true;
    bool m_lastProgramBlockSent = false;
    int m_signal = 0;
    bool m_cancelled = false;
    bool m_abandoned = false;
    Phase m_abandonedAt = Phase::NotStarted;
    std::chrono::steady_clock::time_point m_lastEvent;
    std::chrono::steady_clock::time_point m_commandAt;
    std::optional<std::chrono::steady_clock::time_point> m_verifyAt, m_erasingAt, m_programAt, m_completeAt;
    TftpFleetServer* m_fleet = nullptr;
    // The device may ask for its image before the command's exchange has ended; its events wait
    // until then, so that every front end sees the steps in their order.
    bool m_holdTftpEvents = false;
    bool m_heldForSlot = false; // its first request waits for a transfer slot
    std::vector<DeviceEvent> m_heldEvents;
    bool m_muted = false; // the checks' exchanges raise nothing the user needs
};

} // namespace skelvo::upgrade
