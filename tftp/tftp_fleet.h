// One TFTP socket serving many devices at once. Each datagram goes to the session of its sender's
// address, and each device has a session of its own: its passes, its image, its timers, its events
// and its trace lines. Every guarantee of the single-device server holds per device: a pass is
// taken only by the device's read request, the wait for the programming request, the adaptive
// retransmission timer, the unconfirmed end.
//
// The server runs on a thread of its own from construction until Stop() or destruction. Devices
// are added while it runs, each just before its upgrade command is sent, so that no request of
// the device can come first.
#pragma once

#include "tftp/tftp_session.h"

#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

struct FleetDevice {
    net::Ipv4 address;
    // The image it is served, where its events go and the tag of its trace lines.
    std::shared_ptr<const TftpDeviceContext> context;
    // The pass that its first read request takes: 1 (verify, then program) or 2 (program only).
    int firstPass = 1;
    // Called on the server's thread when the device's session ends, with the session's result:
    // 1 when both passes were served, 0 after a failure or a stop.
    std::function<void(int result)> onEnd;
};

class TftpFleetServer {
  public:
    // Serves on `socket` (from OpenTftpSocket) with the settings of `options` that hold for every
    // device (retransmission, the programming wait). Each device is its own expected client, and
    // Stop() ends the server. An empty socket gives a server that accepts no device.
    TftpFleetServer(TftpSocket socket, const TftpServerOptions& options);
    // Stops the server and waits for its thread.
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
    // thread; returns once the server has ended.
    void Stop();

    std::uint16_t port() const { return m_port; }
    // Devices whose sessions have not ended yet.
    std::size_t Active() const;
    // Waits until no device is being served, or until `timeout` passes. True when none is.
    bool WaitIdle(std::chrono::milliseconds timeout) const;

  private:
    struct Command {
        enum class Kind { Add, StopOne, StopAll } kind = Kind::Add;
        FleetDevice device;
    };
    struct Served;
    class Link;

    void Run();
    void Apply(std::vector<Command>& commands, TftpClock::time_point now);
    // Applies the commands queued so far; true when one of them stops the server.
    bool ApplyPending(TftpClock::time_point now);
    void Route(std::span<const std::uint8_t> bytes, const net::Endpoint& from, TftpClock::time_point now);
    void Dispatch(Served& served, const TftpEvent& event, TftpClock::time_point now);
    void EndFinished();

    TftpSocket m_socket;
    TftpServerOptions m_options;
    std::uint16_t m_port = 0;

    mutable std::mutex m_lock;
    mutable std::condition_variable m_changed;
    std::vector<Command> m_commands; // under m_lock
    std::size_t m_active = 0;        // under m_lock: devices added and not yet ended
    bool m_running = false;          // under m_lock

    // Owned by the server's thread.
    std::map<std::uint32_t, std::unique_ptr<Served>> m_served;
    std::vector<TftpDatagram> m_backlog; // read by one device's drain, for others
    std::thread m_thread;
};
