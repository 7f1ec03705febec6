// Drives N >= 1 device upgrades on one TFTP fleet server, for every front end:
//
//   1. every device is probed, up to `parallel` at once; a probe that failed and may be retried
//      is tried again, before the question;
//   2. one confirmation covers every probed device (the front end asks it);
//   3. the devices the version policy leaves alone end; the others are commanded, each as soon as
//      one of `parallel` places is free, and served side by side on the one socket. A device that
//      failed before it took the command may be tried again later, without holding a place.
//
// Signals (Interrupt): the first one ends every exchange before a command at once, and no further
// device is probed or commanded; the commanded ones are served to the end. The second abandons
// the commanded ones, each with its rescue command.
#pragma once

#include "upgrade/device_upgrade.h"

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace skelvo::upgrade {

// What the front end is asked to confirm.
struct Confirmation {
    // Every probed device, in the order given, with its decision and question.
    std::vector<const DeviceUpgrade*> probed;
    std::size_t toUpgrade = 0; // of them, those the policy lets be upgraded
    bool dryRun = false;       // nothing will be sent whatever the answer: show, do not ask
};
// True to go on. Called once, on the thread that runs the batch.
using ConfirmFn = std::function<bool(const Confirmation&)>;

class FleetRunner {
  public:
    FleetRunner(std::vector<UpgradeTarget> targets, UpgradeSettings settings, UpgradeSink& sink);
    ~FleetRunner();
    FleetRunner(const FleetRunner&) = delete;
    FleetRunner& operator=(const FleetRunner&) = delete;

    // The whole batch, served on `socket`, bound by the caller so that the port is held from
    // before the first probe. Returns once every device has ended.
    void Run(TftpSocket socket, const ConfirmFn& confirm, bool dryRun);
    // Ends every device without contacting it (the port cannot be bound, say).
    void EndAll(int exitCode, const std::string& message);

    struct InterruptSummary {
        std::vector<std::pair<std::string, Phase>> inProgress; // devices begun and not ended
        std::size_t commanded = 0;
    };
    // From any thread: a signal, the count-th since the run began.
    InterruptSummary Interrupt(int count, int signal);

    std::vector<HostResult> Results() const;
    const UpgradeSettings& settings() const { return m_settings; }

  private:
    void ProbeAll();
    void ProbeOne(DeviceUpgrade& d);
    void Decide(const ConfirmFn& confirm, bool dryRun);
    void ServeAll(TftpFleetServer& fleet);
    void Work(TftpFleetServer& fleet);
    // Waits for the retry delay; false when a signal ended the wait.
    bool WaitBeforeRetry(std::chrono::milliseconds delay);
    bool Stopping() const;

    UpgradeSettings m_settings;
    UpgradeSink& m_sink;
    std::vector<std::unique_ptr<DeviceUpgrade>> m_devices;

    mutable std::mutex m_lock;
    std::condition_variable m_changed;
    int m_signals = 0;
    int m_signal = 0;
    struct Queued {
        DeviceUpgrade* device;
        std::chrono::steady_clock::time_point due;
    };
    std::deque<Queued> m_queue;
    std::size_t m_serving = 0;
};

} // namespace skelvo::upgrade
