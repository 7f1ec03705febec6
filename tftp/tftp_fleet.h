// One TFTP socket serving many devices at once. Each datagram goes to the session of its sender's
// address, and each device has a session of its own: its passes, its image, its timers, its events
// and its trace lines. Every guarantee of the single-device server holds per device: a pass is
// taken only by the device's read request, the wait for the programming request, the adaptive
// retransmission timer, the unconfirmed end.
//
// The work per datagram does not grow with the fleet: sessions are found by address in a hash
// table, each time-out waits in a heap and is looked at only when it is due, and nothing scans
// the sessions.
//
// Threads. The server runs two threads of its own from construction until Stop() or destruction:
//   - the server thread receives, runs the sessions and sends. It never waits on a front end's
//     output: whatever it reports leaves through a queue;
//   - the event thread takes that queue in order and makes every call into the front end:
//     each device's `context->report` (its events), the trace lines written while its session ran
//     (through the trace sink, see TraceWrite), `onWait`, `onSummary` and `onEnd`.
// So every callback of every device runs on the event thread, one at a time, never two at once,
// and never on the server thread or on the thread that called Add() or Stop(). For one device the
// calls come in the order in which its session raised them, its trace lines among them where they
// were written; `onSummary` and then `onEnd` are its last two, after every event of its session.
// A callback may call Add() and Stop(address); it must not call Stop() or destroy the server.
//
// The queue is bounded: when it holds `eventQueueLimit` entries, a progress event that is not the
// last block of a pass is dropped (the next one tells more). State changes, errors, results, trace
// lines and the last block's progress are never dropped.
//
// Devices are added while it runs, each just before its upgrade command is sent, so that no request
// of the device can come first.
#pragma once

#include "tftp/tftp_session.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <vector>

// What the server knows of a device once its session has ended.
struct FleetDeviceSummary {
    // As onEnd gets it: 1 when both passes were served, 0 after a failure or a stop.
    int result = 0;
    // How long its verification request waited for a transfer slot (FleetServerOptions), from the
    // first read request that found every slot taken until its transfer began; 0 when it did not.
    std::chrono::milliseconds waited{0};
};

struct FleetDevice {
    net::Ipv4 address;
    // The image it is served, where its events go and the tag of its trace lines.
    std::shared_ptr<const TftpDeviceContext> context;
    // The pass that its first read request takes: 1 (verify, then program) or 2 (program only).
    int firstPass = 1;
    // Called on the event thread when the device's session has ended, after all its events, with
    // the session's result: 1 when both passes were served, 0 after a failure or a stop.
    std::function<void(int result)> onEnd;
    // Called on the event thread, in order with the device's events: with `started` false when its
    // verification request finds every transfer slot taken and is held, and with `started` true and
    // the time it was held when its transfer then begins.
    std::function<void(bool started, std::chrono::milliseconds waited)> onWait = {};
    // Called on the event thread just before onEnd, with what the server knows of the device.
    std::function<void(const FleetDeviceSummary&)> onSummary = {};
};

// Settings of the fleet server itself, beyond those of each device's session.
struct FleetServerOptions {
    // At most this many transfers at once; 0 for no limit. A verification request that comes while
    // the limit is reached is held, in the order of arrival, and served as a transfer ends; a
    // device that sends it again keeps its place, and its newest request is the one served. A
    // programming request is never held: that device has erased its flash.
    std::size_t maxTransfers = 0;
    // The length at which the event queue starts dropping progress events.
    std::size_t eventQueueLimit = 8192;
};

class TftpFleetServer {
  public:
    // Serves on `socket` (from OpenTftpSocket) with the settings of `options` that hold for every
    // device (retransmission, the programming wait). Each device is its own expected client, and
    // Stop() ends the server. An empty socket gives a server that accepts no device.
    TftpFleetServer(TftpSocket socket, const TftpServerOptions& options,
                    const FleetServerOptions& fleet = {});
    // Stops the server and waits for its threads.
    ~TftpFleetServer();
    TftpFleetServer(const TftpFleetServer&) = delete;
    TftpFleetServer& operator=(const TftpFleetServer&) = delete;

    // From now on the device's read requests are served. False when the server does not run or
    // the address is already being served. Safe from any thread.
    bool Add(FleetDevice device);
    // Ends one device's session as a stop: no event is raised, its onEnd gets 0. Safe from any
    // thread; the session ends within a few milliseconds.
    void Stop(net::Ipv4 address);
    // Ends every session the same way, then the server, and releases the port. Safe from any
    // thread but the event thread; returns once every device's onEnd has been called and both
    // threads have ended.
    void Stop();

    std::uint16_t port() const { return m_port; }
    // Devices whose onEnd has not been called yet.
    std::size_t Active() const;
    // Waits until no device is being served (every onEnd has returned), or until `timeout` passes.
    // True when none is.
    bool WaitIdle(std::chrono::milliseconds timeout) const;

  private:
    struct Command {
        enum class Kind { Add, StopOne, StopAll } kind = Kind::Add;
        FleetDevice device;
    };
    struct Served;
    struct DeviceCalls;
    struct Held;
    // A session's time-out in the heap; stale once the session holds another ticket.
    struct TimerEntry {
        TftpClock::time_point due;
        std::uint32_t address = 0;
        std::uint64_t ticket = 0;
        bool operator>(const TimerEntry& other) const { return due > other.due; }
    };
    struct Queued {
        TftpDatagram datagram;
        bool taken = false; // by a drain of the device's own session
    };
    class Link;
    class EventQueue;

    void Run();
    void Deliver(); // the event thread
    void Apply(std::vector<Command>& commands, TftpClock::time_point now);
    // Applies the commands queued so far; true when one of them stops the server.
    bool ApplyPending(TftpClock::time_point now);
    void AddSession(FleetDevice& device);
    void Route(const TftpDatagram& d, TftpClock::time_point now);
    void Dispatch(Served& served, const TftpEvent& event, TftpClock::time_point now);
    // Brings the transfer count, the timer and the end of a session up to date after an event.
    void AfterEvent(Served& served, TftpState before);
    void Schedule(Served& served);
    void StartHeld(TftpClock::time_point now);
    void RunDueTimers(TftpClock::time_point now);
    std::chrono::milliseconds TimeToNextTimer(TftpClock::time_point now) const;
    // Takes what is queued on the socket into the batch; false when nothing was.
    bool ReceiveBatch();
    void Backlog(const net::DatagramIn& in);

    TftpSocket m_socket;
    TftpServerOptions m_options;
    FleetServerOptions m_fleet;
    std::uint16_t m_port = 0;

    mutable std::mutex m_lock;
    mutable std::condition_variable m_changed;
    std::vector<Command> m_commands; // under m_lock
    std::size_t m_active = 0;        // under m_lock: devices added whose onEnd has not returned
    bool m_running = false;          // under m_lock
    std::atomic<bool> m_commandsWaiting{false};

    // Owned by the server's thread.
    std::unordered_map<std::uint32_t, std::unique_ptr<Served>> m_served;
    std::vector<TimerEntry> m_timers; // a min-heap by `due`
    std::uint64_t m_nextTicket = 1;
    std::uint64_t m_nextSerial = 1;
    std::vector<Queued> m_batch; // the last receive's datagrams, routed from m_batchNext on
    std::size_t m_batchNext = 0;
    std::size_t m_batchCount = 0;
    std::vector<Queued> m_drainBatch; // a drain's receive
    std::deque<Queued> m_backlog;     // read by one device's drain, for others, in order of arrival
    std::deque<Held> m_held;          // verification requests waiting for a transfer slot
    std::size_t m_transfers = 0;      // sessions in the middle of a transfer
    bool m_stopping = false;

    std::unique_ptr<EventQueue> m_events;
    std::thread m_eventThread;
    std::thread m_thread;
};
