#include "upgrade/recovery.h"

#include "engine/events.h"
#include "engine/sha256.h"
#include "engine/trace.h"
#include "engine/upgrade_record.h"
#include "tftp/tftp_fleet.h"

#include <atomic>
#include <fstream>
#include <iterator>
#include <map>
#include <mutex>
#include <thread>

namespace skelvo::upgrade {
namespace {

using Clock = std::chrono::steady_clock;

std::string HexOf(const ImageDescriptor& image) {
    return Sha256::HexOf(std::span<const std::uint8_t>(image.Data, image.Size));
}

// One device's recovery: its session's events, and whether it has asked for anything.
struct Watch {
    const RecoveryTarget* target = nullptr;
    std::atomic<bool> sessionEnded{true};
    std::atomic<bool> asked{false};
    std::atomic<bool> programmed{false}; // a programming download was served whole
};

} // namespace

const ImageDescriptor* RecoveryImages::Resolve(const JournalEntry& entry, std::string& why) {
    const nlohmann::json& first = entry.first;
    const std::string recorded = first.value("image_sha256", "");
    const std::string name = first.value("image_name", "");
    if (!name.empty()) {
        const std::optional<int> type = BuiltinImageType(name);
        const ImageDescriptor* image = nullptr;
        if (!type || SelectImage(*type, &image) != ImageSelection::Selected || image == nullptr) {
            why =
                "the recorded built-in image \"" + PrintableText(name) + "\" is not built into this program";
            return nullptr;
        }
        if (const std::string now = HexOf(*image); now != recorded) {
            why = "the built-in image " + name + " of this program (SHA-256 " + now +
                  ") is not the one the device was being served (SHA-256 " + recorded +
                  "): Skelvo was changed since; serve it with the program that upgraded it, or with "
                  "skelvo-cli rescue";
            return nullptr;
        }
        return image;
    }
    const std::string path = first.value("image_source", "");
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        why = "the recorded image file \"" + PrintableText(path) + "\" cannot be read";
        return nullptr;
    }
    auto bytes = std::make_unique<std::vector<unsigned char>>(std::istreambuf_iterator<char>(in),
                                                              std::istreambuf_iterator<char>());
    auto image = std::make_unique<ImageDescriptor>();
    image->Size = static_cast<std::uint32_t>(bytes->size());
    image->Data = bytes->data();
    if (const std::string now = HexOf(*image); now != recorded) {
        why = "the recorded image file \"" + PrintableText(path) +
              "\" has changed since the upgrade (SHA-256 " + now + ", recorded " + recorded + ")";
        return nullptr;
    }
    m_files.push_back(std::move(bytes));
    m_descriptors.push_back(std::move(image));
    return m_descriptors.back().get();
}

std::vector<RecoveryTarget> RecoveryTargets(const JournalRead& journal, RecoveryImages& images,
                                            std::vector<std::pair<JournalEntry, std::string>>& refused) {
    std::vector<RecoveryTarget> targets;
    for (const JournalEntry& entry : journal.entries) {
        if (entry.Ended())
            continue;
        std::string why;
        const ImageDescriptor* image = images.Resolve(entry, why);
        if (image == nullptr) {
            refused.emplace_back(entry, why);
            continue;
        }
        RecoveryTarget t;
        t.entry = entry;
        t.host = entry.first.value("host", "");
        t.address = entry.first.value("address", "");
        if (t.address.empty())
            t.address = t.host;
        t.httpPort = entry.first.value("http_port", static_cast<int>(kHttpPort));
        t.tftpPort = entry.first.value("tftp_port", static_cast<int>(kTftpPort));
        t.type = entry.first.value("type", 0);
        t.oldVersion = entry.first.value("old_version", "");
        t.newVersion = entry.first.value("new_version", "");
        t.imageSource = entry.first.value("image_source", "");
        t.image = image;
        targets.push_back(std::move(t));
    }
    return targets;
}

namespace {

// What one device's recovery comes to; runs on a thread of its own.
RecoveryOutcome Settle(Watch& watch, TftpFleetServer* fleet, const RecoverySettings& settings,
                       RecoverySink& sink, HttpCancel* cancel) {
    const RecoveryTarget& t = *watch.target;
    const std::optional<net::Ipv4> address = net::ParseIpv4(t.address);
    const bool erased = t.entry.Reached(kStateErasing) || t.entry.Reached(kStateProgramming);
    const bool verified = t.entry.Reached(kStateVerified);
    const bool userFile = t.type == SERVER_USER_FILE;
    const auto start = Clock::now();
    const auto deadline = start + settings.window;
    RecoveryOutcome out;

    auto serve = [&] {
        if (fleet == nullptr || !address || !watch.sessionEnded.exchange(false))
            return;
        auto context = std::make_shared<TftpDeviceContext>();
        context->image = t.image;
        context->tag = PrintableText(t.host) + ": ";
        context->report = [&watch, &sink](bool error, int code, const void* info) {
            DeviceEvent e;
            e.error = error;
            e.code = code;
            e.at = Clock::now();
            if (!error && code == STATUS_PROGRESS && info != nullptr) {
                e.sent = static_cast<const ProgressInfo*>(info)->Sent;
                e.total = static_cast<const ProgressInfo*>(info)->Total;
            }
            if (!error && (code == STATUS_VERIFYING || code == STATUS_PROGRAMMING))
                watch.asked = true;
            if (!error && code == STATUS_COMPLETE)
                watch.programmed = true;
            sink.Event(*watch.target, e);
        };
        FleetDevice device;
        device.address = *address;
        device.context = context;
        // An erased device's boot loader asks for the image to program it; one that had not begun
        // erasing may still be in its upgrade, and is served both passes.
        device.firstPass = erased ? 2 : 1;
        device.onEnd = [&watch](int) { watch.sessionEnded = true; };
        if (!fleet->Add(device))
            watch.sessionEnded = true;
    };

    std::optional<Clock::time_point> programmedAt;
    bool awayAfterProgramming = false;
    HttpCall call;
    call.host = t.address;
    call.port = t.httpPort;
    call.bounds = settings.http;
    call.cancel = cancel;
    call.events = [](bool, int) {};
    call.traceTag = PrintableText(t.host) + ": ";
    while (Clock::now() < deadline && !(cancel != nullptr && cancel->Requested())) {
        serve();
        const bool programmedBefore = watch.programmed;
        if (programmedBefore && !programmedAt)
            programmedAt = Clock::now();
        const std::optional<std::string> version = AskServerVersion(call).version;
        if (!version && programmedBefore)
            awayAfterProgramming = true;
        if (version && *version != kNotKnown) {
            out.version = version;
            // A user file names no version: only the device's going away after its programming and
            // answering again shows that it restarted, since it may answer for a moment before it
            // does. One that restarts quicker than a poll goes unseen; after the settling time its
            // answering at all is taken for it.
            const bool restartedWithFile =
                programmedBefore && (awayAfterProgramming || Clock::now() - *programmedAt >= settings.settle);
            const bool isNew =
                userFile ? (*version != t.oldVersion || restartedWithFile) : *version == t.newVersion;
            if (isNew) {
                out.result = "complete";
                out.recovered = true;
                break;
            }
            if (*version == t.oldVersion && !erased && !watch.asked &&
                Clock::now() - start >= settings.settle) {
                out.result = verified ? "image-rejected" : "not-upgraded";
                out.recovered = true;
                out.reason = "it answers with its old version " + t.oldVersion +
                             " and has asked for nothing for " + std::to_string(settings.settle.count()) +
                             " s: its flash is intact";
                break;
            }
        }
        const auto next = Clock::now() + settings.pollInterval;
        while (Clock::now() < next && !(cancel != nullptr && cancel->Requested()))
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    if (fleet != nullptr && address)
        fleet->Stop(*address);
    if (out.result.empty()) {
        out.result = "unrecovered";
        out.reason = out.version
                         ? "it answers with version " + *out.version + ", not " + t.newVersion
                         : "it did not come back within " + std::to_string(settings.window.count()) + " s";
    }
    return out;
}

} // namespace

std::vector<RecoveryOutcome> Recover(const std::vector<RecoveryTarget>& targets,
                                     const RecoverySettings& settings, RecoverySink& sink, Journal* journal,
                                     HttpCancel* cancel) {
    std::vector<RecoveryOutcome> outcomes(targets.size());
    // One fleet server for each port the devices were told to ask on.
    std::map<std::uint16_t, std::unique_ptr<TftpFleetServer>> fleets;
    std::map<std::uint16_t, std::string> portFailures;
    for (const RecoveryTarget& t : targets) {
        if (fleets.count(t.tftpPort) != 0 || portFailures.count(t.tftpPort) != 0)
            continue;
        TftpServerOptions options = settings.tftp;
        options.port = t.tftpPort;
        TftpSocket socket = OpenTftpSocket(options);
        if (!socket) {
            portFailures[t.tftpPort] = "the TFTP port " + std::to_string(t.tftpPort) +
                                       " cannot be bound [errno=" + std::to_string(net::LastError()) + "]";
            continue;
        }
        fleets[t.tftpPort] = std::make_unique<TftpFleetServer>(std::move(socket), options);
    }
    std::vector<std::unique_ptr<Watch>> watches;
    for (const RecoveryTarget& t : targets) {
        watches.push_back(std::make_unique<Watch>());
        watches.back()->target = &t;
        sink.Began(t, fleets.count(t.tftpPort) != 0);
        if (auto failure = portFailures.find(t.tftpPort); failure != portFailures.end())
            sink.Say(t, failure->second + ": the device is only asked what it runs");
    }
    {
        std::vector<std::jthread> threads;
        for (std::size_t i = 0; i < targets.size(); ++i)
            threads.emplace_back([&, i] {
                auto it = fleets.find(targets[i].tftpPort);
                outcomes[i] = Settle(*watches[i], it != fleets.end() ? it->second.get() : nullptr, settings,
                                     sink, cancel);
            });
    }
    for (auto& [port, fleet] : fleets)
        fleet->Stop();
    for (std::size_t i = 0; i < targets.size(); ++i) {
        const RecoveryTarget& t = targets[i];
        const RecoveryOutcome& o = outcomes[i];
        if (journal != nullptr) {
            if (o.recovered) {
                const int code = o.result == "complete"         ? kExitComplete
                                 : o.result == "image-rejected" ? kExitImageRejected
                                                                : kExitNotFetched;
                nlohmann::ordered_json end = JournalEnd(t.entry.id, t.host, o.result, code, o.reason);
                end["by"] = "recover";
                journal->Record(end);
            } else {
                nlohmann::ordered_json record = JournalRecord(t.entry.id, t.host, kStateUnrecovered);
                record["reason"] = o.reason;
                journal->Record(record);
            }
        }
        sink.Ended(t, o);
    }
    return outcomes;
}

} // namespace skelvo::upgrade
