#include "upgrade/fleet_runner.h"

#include "engine/trace.h"
#include "engine/upgrade_record.h"
#include "upgrade/policy.h"

#include <algorithm>
#include <atomic>
#include <thread>

namespace skelvo::upgrade {
namespace {

using Clock = std::chrono::steady_clock;

// Runs work on up to `count` threads at once and waits for all of them.
void OnThreads(std::size_t count, const std::function<void()>& work) {
    std::vector<std::jthread> threads;
    threads.reserve(count);
    for (std::size_t i = 0; i < count; ++i)
        threads.emplace_back(work);
}

} // namespace

FleetRunner::FleetRunner(std::vector<UpgradeTarget> targets, UpgradeSettings settings, UpgradeSink& sink)
    : m_settings(std::move(settings)), m_sink(sink) {
    if (m_settings.imageDigests.empty())
        AddImageDigests(m_settings);
    for (auto& target : targets)
        m_devices.push_back(std::make_unique<DeviceUpgrade>(std::move(target), m_settings, m_sink));
}

FleetRunner::~FleetRunner() = default;

bool FleetRunner::Stopping() const {
    std::lock_guard lock(m_lock);
    return m_signals > 0;
}

std::vector<HostResult> FleetRunner::Results() const {
    std::vector<HostResult> results;
    results.reserve(m_devices.size());
    for (const auto& d : m_devices)
        results.push_back(d->result());
    return results;
}

void FleetRunner::EndAll(int exitCode, const std::string& message) {
    for (auto& d : m_devices) {
        d->End(exitCode, message);
        d->Publish();
    }
}

FleetRunner::InterruptSummary FleetRunner::Interrupt(int count, int signal) {
    {
        std::lock_guard lock(m_lock);
        m_signals = std::max(m_signals, count);
        m_signal = signal;
    }
    InterruptSummary summary;
    for (auto& d : m_devices) {
        const Phase phase = d->phase();
        if (d->ended() || phase == Phase::NotStarted)
            continue;
        summary.inProgress.emplace_back(d->host(), phase);
        if (d->commanded())
            ++summary.commanded;
        if (phase < Phase::Command)
            d->Cancel(signal);
        else if (count >= 2)
            d->Abandon(signal);
    }
    m_changed.notify_all();
    return summary;
}

bool FleetRunner::WaitBeforeRetry(std::chrono::milliseconds delay) {
    std::unique_lock lock(m_lock);
    return !m_changed.wait_for(lock, delay, [this] { return m_signals > 0; });
}

void FleetRunner::ProbeOne(DeviceUpgrade& d) {
    for (;;) {
        if (Stopping()) {
            int signal;
            {
                std::lock_guard lock(m_lock);
                signal = m_signal;
            }
            d.Interrupted(Phase::NotStarted, signal);
            return d.Publish();
        }
        if (d.Probe())
            return;
        const HostResult r = d.result();
        if (r.attempt > m_settings.retries || !Retryable(r) || Stopping())
            return d.Publish();
        const auto delay = RetryDelay(r.attempt);
        m_sink.Retrying(d, r, delay);
        if (!WaitBeforeRetry(delay))
            continue; // the signal ends it above
        d.NextAttempt();
    }
}

void FleetRunner::ProbeAll() {
    std::atomic<std::size_t> next{0};
    const std::size_t workers =
        std::min<std::size_t>(static_cast<std::size_t>(std::max(1, m_settings.parallel)), m_devices.size());
    OnThreads(workers, [this, &next] {
        for (std::size_t i = next++; i < m_devices.size(); i = next++)
            ProbeOne(*m_devices[i]);
    });
}

void FleetRunner::Decide(const ConfirmFn& confirm, bool dryRun) {
    // Two names of one device: it is upgraded once, under the first.
    for (std::size_t i = 0; i < m_devices.size(); ++i) {
        DeviceUpgrade& d = *m_devices[i];
        if (d.ended() || !d.probed())
            continue;
        for (std::size_t j = 0; j < i; ++j) {
            const DeviceUpgrade& first = *m_devices[j];
            if (!first.ended() && first.probed() && first.address() == d.address()) {
                d.End(kExitBadUsage, "the same device (" + d.address()->ToString() + ") as " +
                                         PrintableText(first.host()) +
                                         ", which it is upgraded as; nothing was sent");
                d.Publish();
                break;
            }
        }
    }
    Confirmation question;
    question.dryRun = dryRun;
    std::vector<DeviceUpgrade*> probed;
    for (auto& d : m_devices) {
        if (d->ended() || !d->probed())
            continue;
        probed.push_back(d.get());
        question.probed.push_back(d.get());
        if (d->decision() == PolicyDecision::Upgrade)
            ++question.toUpgrade;
    }
    const bool confirmed = !question.probed.empty() && !Stopping() && (question.toUpgrade > 0 || dryRun) &&
                           confirm && confirm(question) && !Stopping();
    int signal;
    {
        std::lock_guard lock(m_lock);
        signal = m_signal;
    }
    const bool userFile = m_settings.userImage != nullptr;
    for (DeviceUpgrade* each : probed) {
        DeviceUpgrade& d = *each;
        if (d.ended())
            continue;
        if (d.decision() != PolicyDecision::Upgrade) {
            std::string message;
            const int code = PolicyExit(d.decision(), d.currentVersion(), d.type(), userFile, message);
            d.End(code, (dryRun ? "dry run: " : "") + message, PolicyDecisionName(d.decision()));
        } else if (dryRun) {
            d.End(kExitComplete,
                  std::string("dry run: ") + ModelName(d.type()) + ", image of " +
                      std::to_string(d.image()->Size) + " bytes ready; nothing was sent",
                  "dry-run");
        } else if (Stopping()) {
            d.Interrupted(Phase::Confirmation, signal);
        } else if (!confirmed) {
            d.End(kExitNotConfirmed, "not confirmed; nothing was sent");
        } else {
            std::lock_guard lock(m_lock);
            m_queue.push_back({&d, Clock::now()});
            continue;
        }
        d.Publish();
    }
}

void FleetRunner::Work(TftpFleetServer& fleet) {
    std::unique_lock lock(m_lock);
    for (;;) {
        if (m_signals > 0 && !m_queue.empty()) {
            std::deque<Queued> left = std::exchange(m_queue, {});
            const int signal = m_signal;
            lock.unlock();
            for (Queued& q : left) {
                q.device->Interrupted(Phase::NotStarted, signal);
                q.device->Publish();
            }
            lock.lock();
            m_changed.notify_all();
            continue;
        }
        if (m_queue.empty() && m_serving == 0)
            return;
        const auto now = Clock::now();
        auto next =
            std::find_if(m_queue.begin(), m_queue.end(), [now](const Queued& q) { return q.due <= now; });
        if (next == m_queue.end()) {
            if (m_queue.empty())
                m_changed.wait(lock);
            else
                m_changed.wait_until(
                    lock,
                    std::min_element(m_queue.begin(), m_queue.end(), [](const Queued& a, const Queued& b) {
                        return a.due < b.due;
                    })->due);
            continue;
        }
        DeviceUpgrade& d = *next->device;
        m_queue.erase(next);
        ++m_serving;
        lock.unlock();

        d.Execute(fleet);
        const HostResult r = d.result();
        const bool retry = r.attempt <= m_settings.retries && Retryable(r) && !Stopping();
        if (retry) {
            const auto delay = RetryDelay(r.attempt);
            m_sink.Retrying(d, r, delay);
            d.NextAttempt();
            lock.lock();
            m_queue.push_back({&d, Clock::now() + delay});
        } else {
            d.Publish();
            lock.lock();
        }
        --m_serving;
        m_changed.notify_all();
    }
}

void FleetRunner::ServeAll(TftpFleetServer& fleet) {
    std::size_t queued;
    {
        std::lock_guard lock(m_lock);
        queued = m_queue.size();
    }
    const std::size_t workers =
        std::min<std::size_t>(static_cast<std::size_t>(std::max(1, m_settings.parallel)), queued);
    OnThreads(workers, [this, &fleet] { Work(fleet); });
}

void FleetRunner::Run(TftpSocket socket, const ConfirmFn& confirm, bool dryRun) {
    // Transfers beyond --parallel wait in order for a slot rather than be lost.
    FleetServerOptions slots;
    slots.maxTransfers = static_cast<std::size_t>(std::max(1, m_settings.parallel));
    TftpFleetServer fleet(std::move(socket), m_settings.tftp, slots);
    ProbeAll();
    Decide(confirm, dryRun);
    ServeAll(fleet);
    fleet.Stop();
}

} // namespace skelvo::upgrade
