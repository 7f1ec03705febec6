#include "tftp/tftp_fleet.h"

#include "engine/trace.h"

#include <algorithm>
#include <array>

namespace {

// How long the server's thread waits for a datagram before it looks at new commands.
constexpr std::chrono::milliseconds kCommandPollInterval{20};

} // namespace

// One device's session and its end of the shared socket.
struct TftpFleetServer::Served {
    TftpSession session;
    std::unique_ptr<Link> link;
    std::function<void(int)> onEnd;
};

// A device's view of the shared socket. Its drain must not swallow the datagrams of the other
// devices: those go to the server's backlog and are handled once the drain is over. Ending a
// session leaves the socket to the others.
class TftpFleetServer::Link final : public TftpLink {
  public:
    Link(TftpFleetServer& server, net::Ipv4 device) : m_server(server), m_device(device) {}
    long Send(std::span<const std::uint8_t> packet, const net::Endpoint& to) override {
        return m_server.m_socket.socket().SendTo(packet, to);
    }
    net::RecvResult TakeQueued(std::span<std::uint8_t> buffer) override {
        for (;;) {
            net::RecvResult r;
            if (m_server.m_socket.socket().BytesAvailable() <= 0) {
                r.status = net::RecvStatus::TimedOut;
                return r;
            }
            r = m_server.m_socket.socket().RecvFrom(buffer);
            if (r.status != net::RecvStatus::Data || r.from.ip == m_device)
                return r;
            TftpDatagram other;
            other.length = std::min(r.size, other.bytes.size());
            std::copy_n(buffer.begin(), other.length, other.bytes.begin());
            other.from = r.from;
            m_server.m_backlog.push_back(other);
        }
    }
    void Release() override {}

  private:
    TftpFleetServer& m_server;
    net::Ipv4 m_device;
};

TftpFleetServer::TftpFleetServer(TftpSocket socket, const TftpServerOptions& options)
    : m_socket(std::move(socket)), m_options(options) {
    m_options.expectedClient.reset();
    m_options.stop.reset();
    if (!m_socket)
        return;
    m_port = m_socket.port();
    m_running = true;
    TraceMessage("\ntftp server started for a batch of devices on port %u...\n",
                 static_cast<unsigned>(m_port));
    m_thread = std::thread([this] { Run(); });
}

TftpFleetServer::~TftpFleetServer() {
    Stop();
}

bool TftpFleetServer::Add(FleetDevice device) {
    std::lock_guard<std::mutex> guard(m_lock);
    if (!m_running)
        return false;
    for (const Command& c : m_commands)
        if (c.kind == Command::Kind::Add && c.device.address == device.address)
            return false;
    ++m_active;
    m_commands.push_back(Command{Command::Kind::Add, std::move(device)});
    return true;
}

void TftpFleetServer::Stop(net::Ipv4 address) {
    std::lock_guard<std::mutex> guard(m_lock);
    Command c;
    c.kind = Command::Kind::StopOne;
    c.device.address = address;
    m_commands.push_back(std::move(c));
}

void TftpFleetServer::Stop() {
    {
        std::lock_guard<std::mutex> guard(m_lock);
        if (m_running) {
            Command c;
            c.kind = Command::Kind::StopAll;
            m_commands.push_back(std::move(c));
        }
    }
    if (m_thread.joinable())
        m_thread.join();
}

std::size_t TftpFleetServer::Active() const {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_active;
}

bool TftpFleetServer::WaitIdle(std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> guard(m_lock);
    return m_changed.wait_for(guard, timeout, [this] { return m_active == 0; });
}

void TftpFleetServer::Dispatch(Served& served, const TftpEvent& event, TftpClock::time_point now) {
    TftpStateMachine(served.session, *served.link, event, now);
}

void TftpFleetServer::Apply(std::vector<Command>& commands, TftpClock::time_point now) {
    for (Command& c : commands) {
        switch (c.kind) {
        case Command::Kind::Add: {
            const std::uint32_t key = c.device.address.addr;
            if (m_served.count(key) != 0) {
                // Add() refuses a second entry while the first waits; one that is being served
                // ends first.
                TraceMessage("%s is already being served\n", c.device.address.ToString().c_str());
                if (c.device.onEnd)
                    c.device.onEnd(0);
                std::lock_guard<std::mutex> guard(m_lock);
                --m_active;
                m_changed.notify_all();
                break;
            }
            auto served = std::make_unique<Served>();
            TftpServerOptions options = m_options;
            options.expectedClient = c.device.address;
            served->session = StartTftpSession(c.device.firstPass, options, c.device.context);
            served->link = std::make_unique<Link>(*this, c.device.address);
            served->onEnd = std::move(c.device.onEnd);
            m_served.emplace(key, std::move(served));
            break;
        }
        case Command::Kind::StopOne:
            if (auto it = m_served.find(c.device.address.addr); it != m_served.end()) {
                TftpEvent stop;
                stop.kind = TftpEventKind::Stop;
                Dispatch(*it->second, stop, now);
            }
            break;
        case Command::Kind::StopAll:
            for (auto& [key, served] : m_served) {
                TftpEvent stop;
                stop.kind = TftpEventKind::Stop;
                Dispatch(*served, stop, now);
            }
            break;
        }
    }
}

bool TftpFleetServer::ApplyPending(TftpClock::time_point now) {
    std::vector<Command> commands;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        commands.swap(m_commands);
    }
    const bool stopping = std::any_of(commands.begin(), commands.end(),
                                      [](const Command& c) { return c.kind == Command::Kind::StopAll; });
    Apply(commands, now);
    return stopping;
}

void TftpFleetServer::Route(std::span<const std::uint8_t> bytes, const net::Endpoint& from,
                            TftpClock::time_point now) {
    auto it = m_served.find(from.ip.addr);
    if (it == m_served.end()) {
        TraceMessage("Ignoring datagram from %s: not a device of this batch\n", from.ToString().c_str());
        return;
    }
    TftpEvent event;
    event.bytes = bytes;
    event.from = from;
    Dispatch(*it->second, event, now);
}

void TftpFleetServer::EndFinished() {
    for (auto it = m_served.begin(); it != m_served.end();) {
        if (it->second->session.state != TftpState::Finished) {
            ++it;
            continue;
        }
        const int result = it->second->session.result;
        std::function<void(int)> onEnd = std::move(it->second->onEnd);
        it = m_served.erase(it);
        if (onEnd)
            onEnd(result);
        std::lock_guard<std::mutex> guard(m_lock);
        --m_active;
        m_changed.notify_all();
    }
}

void TftpFleetServer::Run() {
    std::array<std::uint8_t, kTftpPacketSize> buffer{};
    bool stopping = false;
    while (!stopping) {
        stopping = ApplyPending(TftpClock::now());
        EndFinished();
        if (stopping)
            break;

        // Datagrams that a drain read for other devices come first, in the order they arrived.
        while (!m_backlog.empty()) {
            const TftpDatagram d = m_backlog.front();
            m_backlog.erase(m_backlog.begin());
            Route(std::span<const std::uint8_t>(d.bytes.data(), d.length), d.from, TftpClock::now());
        }

        std::chrono::milliseconds wait = kCommandPollInterval;
        const TftpClock::time_point before = TftpClock::now();
        for (const auto& [key, served] : m_served)
            if (served->session.deadline)
                wait = std::min(
                    wait, std::max(std::chrono::milliseconds(0), std::chrono::ceil<std::chrono::milliseconds>(
                                                                     *served->session.deadline - before)));
        buffer.fill(0);
        const net::RecvResult r = m_socket.socket().RecvFromFor(buffer, wait);
        const TftpClock::time_point now = TftpClock::now();
        if (r.status == net::RecvStatus::Data) {
            // A device is added just before it is commanded, and it may ask while this thread
            // waits here: its session is started before its request is routed, or the request
            // would be ignored and the device would wait out its own time-out.
            if (m_served.count(r.from.ip.addr) == 0)
                stopping = ApplyPending(now);
            if (!stopping)
                Route(std::span<const std::uint8_t>(buffer.data(), r.size), r.from, now);
        } else if (r.status != net::RecvStatus::TimedOut) {
            // One device's trouble (an ICMP error reported on the shared socket, say) must not end
            // the others' sessions: each has its own timer.
            TraceMessage("Error in recvfrom() call [errno=%d]\n", r.error);
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        for (auto& [key, served] : m_served) {
            if (served->session.deadline && now >= *served->session.deadline) {
                TftpEvent timeout;
                timeout.kind = TftpEventKind::Timeout;
                Dispatch(*served, timeout, now);
            }
        }
        EndFinished();
    }
    // Sessions stopped above have ended; the port goes back now.
    std::vector<Command> late;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_running = false;
        late.swap(m_commands);
    }
    m_socket.Release();
    // Devices added after the stop were never served.
    for (Command& c : late) {
        if (c.kind != Command::Kind::Add)
            continue;
        if (c.device.onEnd)
            c.device.onEnd(0);
        std::lock_guard<std::mutex> guard(m_lock);
        --m_active;
    }
    m_changed.notify_all();
    TraceMessage("\ntftp server for the batch finished...\n");
}
