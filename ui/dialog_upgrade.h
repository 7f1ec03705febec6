// The dialog's upgrade: the shared upgrade flow for the one device of the record, run on a worker
// thread of its own, so that the dialog keeps drawing while the device is probed and commanded.
// The dialog supplies only its confirmation and its presentation: every event of the flow reaches
// it through the one event road (DeliverDialogEvent), and the end through `finished`.
#pragma once

#include "tftp/tftp_server.h"
#include "ui/event_route.h"
#include "upgrade/device_upgrade.h"
#include "upgrade/fleet_runner.h"
#include "upgrade/journal.h"
#include "upgrade/recovery.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace skelvo::ui {

// Where the dialog's upgrade talks to and keeps its journal: the product always uses the device's
// ports 80 and 69 and the user's journal; a test or a lab set-up may choose others.
struct DialogNetwork {
    std::uint16_t tftpPort = kTftpPort;
    std::uint16_t httpPort = kHttpPort;
    std::string journal; // empty: the user's journal (DefaultJournalPath)
};

// What the dialog lends the flow. Each runs on the dialog's thread; the worker waits for it.
struct DialogHooks {
    // Runs work on the dialog's thread and waits for it to end; false, not run, once the dialog
    // has closed.
    std::function<bool(const std::function<void()>& work)> onDialogThread;
    std::function<upgrade::ConfirmAnswer(const upgrade::ConfirmQuestion&)> confirm;
    std::function<bool(std::string_view title, std::string_view text)> askYesNo;
    // The device's end, with whether an event already told it.
    std::function<void(const upgrade::HostResult&, bool presented)> finished;
};

class DialogUpgrade final : public upgrade::UpgradeSink {
  public:
    // Starts the flow for the record's HostName, LoginName, Password, DownloadTrace and image
    // choice, serving on `socket` (bound already), keeping `journal` (open already), in which
    // `unended` names the devices left half-way.
    DialogUpgrade(TftpSocket socket, const DialogNetwork& network, upgrade::Journal& journal,
                  const upgrade::JournalRead& unended, bool negotiateOptions, DialogHooks hooks);
    // Stops serving and waits for the worker. The program itself ends without it.
    ~DialogUpgrade() override;
    DialogUpgrade(const DialogUpgrade&) = delete;
    DialogUpgrade& operator=(const DialogUpgrade&) = delete;

  private:
    void Run(TftpSocket socket);
    bool Confirm(const upgrade::DeviceUpgrade& d);
    EventContext Context(const upgrade::DeviceUpgrade& d) const;

    void Event(const upgrade::DeviceUpgrade& d, const upgrade::DeviceEvent& e) override;
    void Finished(const upgrade::DeviceUpgrade& d, const upgrade::HostResult& r) override;

    DialogHooks m_hooks;
    upgrade::UpgradeSettings m_settings;
    upgrade::UpgradeTarget m_target;
    std::unique_ptr<upgrade::JournalSink> m_journaling;
    std::unique_ptr<upgrade::FleetRunner> m_runner;
    std::atomic<bool> m_presented{false};
    // An end the device never acknowledged is shown only once its restart proves it.
    std::atomic<bool> m_heldComplete{false};
    std::optional<upgrade::HostResult> m_result;
    std::thread m_worker;
};

// Brings back the devices the journal shows half-way, the way skelvo-cli recover does, on a thread
// of its own, with their events on the dialog's road (step 5, the bar, the success form) and the
// end through `finished`.
class DialogRecovery final : public upgrade::RecoverySink {
  public:
    DialogRecovery(std::vector<upgrade::RecoveryTarget> targets, upgrade::Journal& journal,
                   std::function<void(const std::vector<upgrade::RecoveryOutcome>&)> finished,
                   std::function<bool(const std::function<void()>&)> onDialogThread);
    ~DialogRecovery() override;
    DialogRecovery(const DialogRecovery&) = delete;
    DialogRecovery& operator=(const DialogRecovery&) = delete;

  private:
    void Event(const upgrade::RecoveryTarget& t, const upgrade::DeviceEvent& e) override;

    std::vector<upgrade::RecoveryTarget> m_targets;
    HttpCancel m_cancel;
    std::thread m_worker;
};

} // namespace skelvo::ui
