#include "tftp/tftp_fleet.h"

#include "engine/trace.h"

#include <algorithm>
#include <array>
#include <optional>

namespace {

// How long the server's thread waits for a datagram before it looks at new commands.
constexpr std::chrono::milliseconds kCommandPollInterval{20};
// Datagrams taken from the socket with one call.
constexpr std::size_t kReceiveBatch = 32;
// Every device may have an ACK on its way at once, and each queued datagram costs the system far
// more than its 4 bytes: the default buffer (about 200 KiB) drops ACKs of a fleet of a few hundred
// whenever the server thread falls behind, and each drop costs that device a time-out.
constexpr int kReceiveBuffer = 4 * 1024 * 1024;
// Progress events the event thread lets gather before it takes them, and for how long at most:
// waking it for each of thousands of blocks would cost more than the blocks themselves.
constexpr std::size_t kWakeBatch = 64;
constexpr std::chrono::milliseconds kProgressGather{5};

bool IsReadRequest(const TftpDatagram& d) {
    return d.length >= 2 && d.bytes[0] == 0 && d.bytes[1] == TFTP_RRQ;
}

long long Millis(TftpClock::duration d) {
    return static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(d).count());
}

} // namespace

// The front end's side of one device: its own context (the report) and its callbacks. Every
// report entry of the device points at it; its end entry, the last of them, owns it.
struct TftpFleetServer::DeviceCalls {
    std::shared_ptr<const TftpDeviceContext> context;
    std::function<void(int)> onEnd;
    std::function<void(bool, std::chrono::milliseconds)> onWait;
    std::function<void(const FleetDeviceSummary&)> onSummary;
};

// One device's session and its end of the shared socket.
struct TftpFleetServer::Served {
    std::uint64_t serial = 0;
    TftpSession session;
    std::unique_ptr<Link> link;
    std::shared_ptr<DeviceCalls> calls;
    // The timer entry of this session that is live in the heap (0: none), and when it is due.
    std::uint64_t ticket = 0;
    TftpClock::time_point scheduled;
    // Its datagrams in the backlog that its own drain has not taken.
    std::size_t inBacklog = 0;
    // A verification request held for a transfer slot: the newest one, and since when.
    std::optional<TftpDatagram> heldRequest;
    TftpClock::time_point heldSince;
    std::chrono::milliseconds waited{0};
};

// A held request's place in the line; stale once its session has ended or been served.
struct TftpFleetServer::Held {
    std::uint32_t address = 0;
    std::uint64_t serial = 0;
};

// The bounded queue from the server thread to the event thread.
class TftpFleetServer::EventQueue {
  public:
    enum class Kind : std::uint8_t { Report, Trace, Wait, End, Quit };
    struct Entry {
        Kind kind = Kind::Report;
        DeviceCalls* device = nullptr;       // Report, Wait
        std::shared_ptr<DeviceCalls> ending; // End
        bool flag = false;                   // Report: an error; Wait: started
        bool hasInfo = false;                // Report
        int code = 0;                        // Report
        ProgressInfo progress{};             // Report, STATUS_PROGRESS
        CompletionInfo completion{};         // Report, STATUS_COMPLETE
        std::chrono::milliseconds waited{0}; // Wait
        FleetDeviceSummary summary;          // End
        std::string tag;                     // Trace
        std::string text;                    // Trace
    };

    explicit EventQueue(std::size_t limit) : m_limit(limit) {}

    void Report(DeviceCalls* device, bool error, int code, const void* info) {
        Entry e;
        e.kind = Kind::Report;
        e.device = device;
        e.flag = error;
        e.code = code;
        bool urgent = true;
        if (!error && code == STATUS_PROGRESS && info != nullptr) {
            e.progress = *static_cast<const ProgressInfo*>(info);
            e.hasInfo = true;
            // Past the image's end on the last block only: that one closes the pass.
            urgent = e.progress.Sent > e.progress.Total;
        } else if (!error && code == STATUS_COMPLETE && info != nullptr) {
            e.completion = *static_cast<const CompletionInfo*>(info);
            e.hasInfo = true;
        }
        Push(std::move(e), urgent, !urgent);
    }
    void Trace(std::string_view tag, std::string_view text) {
        Entry e;
        e.kind = Kind::Trace;
        e.tag.assign(tag);
        e.text.assign(text);
        Push(std::move(e), true, false);
    }
    void Wait(DeviceCalls* device, bool started, std::chrono::milliseconds waited) {
        Entry e;
        e.kind = Kind::Wait;
        e.device = device;
        e.flag = started;
        e.waited = waited;
        Push(std::move(e), true, false);
    }
    void End(std::shared_ptr<DeviceCalls> device, const FleetDeviceSummary& summary) {
        Entry e;
        e.kind = Kind::End;
        e.ending = std::move(device);
        e.summary = summary;
        Push(std::move(e), true, false);
    }
    void Quit() {
        Entry e;
        e.kind = Kind::Quit;
        Push(std::move(e), true, false);
    }

    // Takes what is queued, waiting for it; true while Quit has not been taken.
    void Take(std::vector<Entry>& out) {
        std::unique_lock<std::mutex> guard(m_lock);
        m_waiting = true;
        m_ready.wait(guard, [this] { return !m_pending.empty(); });
        if (!m_urgent && m_pending.size() < kWakeBatch)
            m_ready.wait_for(guard, kProgressGather,
                             [this] { return m_urgent || m_pending.size() >= kWakeBatch; });
        m_waiting = false;
        m_urgent = false;
        out.swap(m_pending);
    }

  private:
    void Push(Entry&& e, bool urgent, bool droppable) {
        std::lock_guard<std::mutex> guard(m_lock);
        if (droppable && m_pending.size() >= m_limit)
            return;
        m_pending.push_back(std::move(e));
        m_urgent = m_urgent || urgent;
        if (m_waiting && (urgent || m_pending.size() == 1 || m_pending.size() >= kWakeBatch))
            m_ready.notify_one();
    }

    const std::size_t m_limit;
    std::mutex m_lock;
    std::condition_variable m_ready;
    std::vector<Entry> m_pending;
    bool m_waiting = false;
    bool m_urgent = false;
};

// A device's view of the shared socket. Its drain must not swallow the datagrams of the other
// devices: those stay in the backlog, in order, for their own sessions. Ending a session leaves
// the socket to the others.
class TftpFleetServer::Link final : public TftpLink {
  public:
    Link(TftpFleetServer& server, Served& served) : m_server(server), m_served(served) {}
    long Send(std::span<const std::uint8_t> packet, const net::Endpoint& to) override {
        return m_server.m_socket.socket().SendTo(packet, to);
    }
    net::RecvResult TakeQueued(std::span<std::uint8_t> buffer) override;
    void Release() override {}

  private:
    net::RecvResult Take(Queued& q, std::span<std::uint8_t> buffer) {
        q.taken = true;
        net::RecvResult r;
        r.status = net::RecvStatus::Data;
        r.size = std::min(q.datagram.length, buffer.size());
        r.from = q.datagram.from;
        std::copy_n(q.datagram.bytes.begin(), r.size, buffer.begin());
        return r;
    }

    TftpFleetServer& m_server;
    Served& m_served;
};

net::RecvResult TftpFleetServer::Link::TakeQueued(std::span<std::uint8_t> buffer) {
    const net::Ipv4 device = m_served.session.expectedClient.value_or(net::Ipv4{});
    // What arrived first comes first: the rest of the batch being routed, then the backlog, then
    // the socket.
    for (std::size_t i = m_server.m_batchNext; i < m_server.m_batchCount; ++i) {
        Queued& q = m_server.m_batch[i];
        if (!q.taken && q.datagram.from.ip == device)
            return Take(q, buffer);
    }
    if (m_served.inBacklog > 0) {
        for (Queued& q : m_server.m_backlog) {
            if (!q.taken && q.datagram.from.ip == device) {
                --m_served.inBacklog;
                return Take(q, buffer);
            }
        }
    }
    std::vector<Queued>& more = m_server.m_drainBatch;
    std::array<net::DatagramIn, kReceiveBatch> slots;
    for (std::size_t i = 0; i < slots.size(); ++i)
        slots[i].buffer = more[i].datagram.bytes;
    net::RecvResult r;
    for (;;) {
        const int got = m_server.m_socket.socket().RecvFromMany(slots);
        if (got < 0) {
            r.status = net::RecvStatus::Failed;
            r.error = net::LastError();
            return r;
        }
        bool found = false;
        for (int i = 0; i < got; ++i) {
            const net::DatagramIn& in = slots[static_cast<std::size_t>(i)];
            if (!found && in.from.ip == device) {
                found = true;
                r.status = net::RecvStatus::Data;
                r.size = std::min(in.size, buffer.size());
                r.from = in.from;
                std::copy_n(in.buffer.begin(), r.size, buffer.begin());
            } else {
                m_server.Backlog(in);
            }
        }
        if (found)
            return r;
        if (got < static_cast<int>(slots.size())) {
            r.status = net::RecvStatus::TimedOut;
            return r;
        }
    }
}

TftpFleetServer::TftpFleetServer(TftpSocket socket, const TftpServerOptions& options,
                                 const FleetServerOptions& fleet)
    : m_socket(std::move(socket)), m_options(options), m_fleet(fleet) {
    m_options.expectedClient.reset();
    m_options.stop.reset();
    if (!m_socket)
        return;
    m_port = m_socket.port();
    m_running = true;
    if (!m_socket.socket().SetReceiveBuffer(kReceiveBuffer))
        TraceMessage("Error in setsockopt(SO_RCVBUF) call [errno=%d]\n", net::LastError());
    m_batch.resize(kReceiveBatch);
    m_drainBatch.resize(kReceiveBatch);
    TraceMessage("\ntftp server started for a batch of devices on port %u...\n",
                 static_cast<unsigned>(m_port));
    m_events = std::make_unique<EventQueue>(std::max<std::size_t>(m_fleet.eventQueueLimit, 1));
    m_eventThread = std::thread([this] { Deliver(); });
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
    m_commandsWaiting.store(true, std::memory_order_release);
    return true;
}

void TftpFleetServer::Stop(net::Ipv4 address) {
    std::lock_guard<std::mutex> guard(m_lock);
    Command c;
    c.kind = Command::Kind::StopOne;
    c.device.address = address;
    m_commands.push_back(std::move(c));
    m_commandsWaiting.store(true, std::memory_order_release);
}

void TftpFleetServer::Stop() {
    {
        std::lock_guard<std::mutex> guard(m_lock);
        if (m_running) {
            Command c;
            c.kind = Command::Kind::StopAll;
            m_commands.push_back(std::move(c));
            m_commandsWaiting.store(true, std::memory_order_release);
        }
    }
    if (m_thread.joinable())
        m_thread.join();
    if (m_eventThread.joinable())
        m_eventThread.join();
}

std::size_t TftpFleetServer::Active() const {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_active;
}

bool TftpFleetServer::WaitIdle(std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> guard(m_lock);
    return m_changed.wait_for(guard, timeout, [this] { return m_active == 0; });
}

void TftpFleetServer::Deliver() {
    std::vector<EventQueue::Entry> entries;
    for (;;) {
        entries.clear();
        m_events->Take(entries);
        for (EventQueue::Entry& e : entries) {
            switch (e.kind) {
            case EventQueue::Kind::Report: {
                const TftpDeviceContext* context = e.device->context.get();
                if (context == nullptr || !context->report)
                    break;
                const void* info = nullptr;
                if (e.hasInfo)
                    info = e.code == STATUS_PROGRESS ? static_cast<const void*>(&e.progress)
                                                     : static_cast<const void*>(&e.completion);
                context->report(e.flag, e.code, info);
                break;
            }
            case EventQueue::Kind::Trace:
                TraceWrite(e.tag, e.text);
                break;
            case EventQueue::Kind::Wait:
                if (e.device->onWait)
                    e.device->onWait(e.flag, e.waited);
                break;
            case EventQueue::Kind::End:
                if (e.ending->onSummary)
                    e.ending->onSummary(e.summary);
                if (e.ending->onEnd)
                    e.ending->onEnd(e.summary.result);
                e.ending.reset();
                {
                    std::lock_guard<std::mutex> guard(m_lock);
                    --m_active;
                }
                m_changed.notify_all();
                break;
            case EventQueue::Kind::Quit:
                return;
            }
        }
    }
}

void TftpFleetServer::Schedule(Served& served) {
    const std::optional<TftpClock::time_point>& deadline = served.session.deadline;
    // A later deadline leaves the entry where it is: when that one comes due, it is moved on.
    if (!deadline || (served.ticket != 0 && served.scheduled <= *deadline))
        return;
    served.ticket = m_nextTicket++;
    served.scheduled = *deadline;
    m_timers.push_back(TimerEntry{*deadline, served.session.expectedClient->addr, served.ticket});
    std::push_heap(m_timers.begin(), m_timers.end(), std::greater<>());
}

void TftpFleetServer::AfterEvent(Served& served, TftpState before) {
    const bool wasSending = before == TftpState::Sending;
    const bool isSending = served.session.state == TftpState::Sending;
    if (isSending && !wasSending)
        ++m_transfers;
    else if (wasSending && !isSending)
        --m_transfers;
    if (served.session.state != TftpState::Finished) {
        Schedule(served);
        return;
    }
    FleetDeviceSummary summary;
    summary.result = served.session.result;
    summary.waited = served.waited;
    m_events->End(std::move(served.calls), summary);
    m_served.erase(served.session.expectedClient->addr);
}

void TftpFleetServer::Dispatch(Served& served, const TftpEvent& event, TftpClock::time_point now) {
    const TftpState before = served.session.state;
    TftpStateMachine(served.session, *served.link, event, now);
    AfterEvent(served, before);
}

void TftpFleetServer::AddSession(FleetDevice& device) {
    auto calls = std::make_shared<DeviceCalls>();
    calls->context = device.context;
    calls->onEnd = std::move(device.onEnd);
    calls->onWait = std::move(device.onWait);
    calls->onSummary = std::move(device.onSummary);
    const std::uint32_t key = device.address.addr;
    if (m_served.count(key) != 0) {
        // Add() refuses a second entry while the first waits; one that is being served ends first.
        TraceMessage("%s is already being served\n", device.address.ToString().c_str());
        m_events->End(std::move(calls), FleetDeviceSummary{});
        return;
    }
    // The session reports to the queue; the front end's own context is called on the event thread.
    auto context = std::make_shared<TftpDeviceContext>();
    if (device.context) {
        context->image = device.context->image;
        context->tag = device.context->tag;
    }
    EventQueue* events = m_events.get();
    DeviceCalls* target = calls.get();
    context->report = [events, target](bool error, int code, const void* info) {
        events->Report(target, error, code, info);
    };
    auto served = std::make_unique<Served>();
    served->serial = m_nextSerial++;
    TftpServerOptions options = m_options;
    options.expectedClient = device.address;
    served->session = StartTftpSession(device.firstPass, options, std::move(context));
    served->link = std::make_unique<Link>(*this, *served);
    served->calls = std::move(calls);
    m_served.emplace(key, std::move(served));
}

void TftpFleetServer::Apply(std::vector<Command>& commands, TftpClock::time_point now) {
    for (Command& c : commands) {
        switch (c.kind) {
        case Command::Kind::Add:
            AddSession(c.device);
            break;
        case Command::Kind::StopOne:
            if (auto it = m_served.find(c.device.address.addr); it != m_served.end()) {
                TftpEvent stop;
                stop.kind = TftpEventKind::Stop;
                Dispatch(*it->second, stop, now);
            }
            break;
        case Command::Kind::StopAll: {
            std::vector<Served*> all;
            all.reserve(m_served.size());
            for (auto& [key, served] : m_served)
                all.push_back(served.get());
            for (Served* served : all) {
                TftpEvent stop;
                stop.kind = TftpEventKind::Stop;
                Dispatch(*served, stop, now);
            }
            break;
        }
        }
    }
}

bool TftpFleetServer::ApplyPending(TftpClock::time_point now) {
    std::vector<Command> commands;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        commands.swap(m_commands);
        m_commandsWaiting.store(false, std::memory_order_relaxed);
    }
    const bool stopping = std::any_of(commands.begin(), commands.end(),
                                      [](const Command& c) { return c.kind == Command::Kind::StopAll; });
    Apply(commands, now);
    return stopping;
}

void TftpFleetServer::Backlog(const net::DatagramIn& in) {
    Queued q;
    q.datagram.length = std::min(in.size, q.datagram.bytes.size());
    std::copy_n(in.buffer.begin(), q.datagram.length, q.datagram.bytes.begin());
    q.datagram.from = in.from;
    if (auto it = m_served.find(in.from.ip.addr); it != m_served.end())
        ++it->second->inBacklog;
    m_backlog.push_back(q);
}

void TftpFleetServer::Route(const TftpDatagram& d, TftpClock::time_point now) {
    auto it = m_served.find(d.from.ip.addr);
    // A device is added just before it is commanded, and it may ask before the commands were
    // looked at: its session is started before its request is routed, or the request would be
    // ignored and the device would wait out its own time-out.
    if (it == m_served.end() && m_commandsWaiting.load(std::memory_order_acquire)) {
        m_stopping = ApplyPending(now) || m_stopping;
        it = m_served.find(d.from.ip.addr);
    }
    if (it == m_served.end()) {
        TraceMessage("Ignoring datagram from %s: not a device of this batch\n", d.from.ToString().c_str());
        return;
    }
    Served& served = *it->second;
    const bool mayWait = m_fleet.maxTransfers != 0 && served.session.state == TftpState::AwaitingRequest &&
                         served.session.pass == 1 && IsReadRequest(d);
    // Held requests keep their order: a new one waits behind them even when a slot is free.
    if (mayWait && (m_transfers >= m_fleet.maxTransfers || !m_held.empty() || served.heldRequest)) {
        if (!served.heldRequest) {
            served.heldSince = now;
            m_held.push_back(Held{d.from.ip.addr, served.serial});
            TraceTagged(served.session.device->tag,
                        "...received TFTP request from %s: all %s transfers are taken; it waits its turn\n",
                        d.from.ip.ToString().c_str(), std::to_string(m_fleet.maxTransfers).c_str());
            m_events->Wait(served.calls.get(), false, std::chrono::milliseconds(0));
        }
        served.heldRequest = d;
        return;
    }
    TftpEvent event;
    event.bytes = std::span<const std::uint8_t>(d.bytes.data(), d.length);
    event.from = d.from;
    Dispatch(served, event, now);
}

void TftpFleetServer::StartHeld(TftpClock::time_point now) {
    while (!m_held.empty() && m_transfers < m_fleet.maxTransfers) {
        const Held h = m_held.front();
        m_held.pop_front();
        auto it = m_served.find(h.address);
        if (it == m_served.end() || it->second->serial != h.serial || !it->second->heldRequest)
            continue;
        Served& served = *it->second;
        const TftpDatagram request = *served.heldRequest;
        served.heldRequest.reset();
        const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(now - served.heldSince);
        served.waited += waited;
        TraceTagged(served.session.device->tag,
                    "A transfer slot is free after %lld ms: serving the request\n",
                    Millis(now - served.heldSince));
        m_events->Wait(served.calls.get(), true, waited);
        // Between the passes only a request moves the session on, so a held one still fits.
        if (served.session.state != TftpState::AwaitingRequest || served.session.pass != 1)
            continue;
        TftpEvent event;
        event.bytes = std::span<const std::uint8_t>(request.bytes.data(), request.length);
        event.from = request.from;
        Dispatch(served, event, now);
    }
}

void TftpFleetServer::RunDueTimers(TftpClock::time_point now) {
    while (!m_timers.empty() && m_timers.front().due <= now) {
        std::pop_heap(m_timers.begin(), m_timers.end(), std::greater<>());
        const TimerEntry entry = m_timers.back();
        m_timers.pop_back();
        auto it = m_served.find(entry.address);
        if (it == m_served.end() || it->second->ticket != entry.ticket)
            continue;
        Served& served = *it->second;
        served.ticket = 0;
        if (!served.session.deadline)
            continue;
        if (now < *served.session.deadline) {
            Schedule(served);
            continue;
        }
        TftpEvent timeout;
        timeout.kind = TftpEventKind::Timeout;
        timeout.error = net::TimeoutError();
        Dispatch(served, timeout, now);
    }
}

std::chrono::milliseconds TftpFleetServer::TimeToNextTimer(TftpClock::time_point now) const {
    if (m_timers.empty())
        return kCommandPollInterval;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(m_timers.front().due - now);
    return std::clamp(left, std::chrono::milliseconds(0), kCommandPollInterval);
}

bool TftpFleetServer::ReceiveBatch() {
    std::array<net::DatagramIn, kReceiveBatch> slots;
    for (std::size_t i = 0; i < slots.size(); ++i)
        slots[i].buffer = m_batch[i].datagram.bytes;
    const int got = m_socket.socket().RecvFromMany(slots);
    m_batchNext = 0;
    m_batchCount = 0;
    if (got < 0) {
        // One device's trouble (an ICMP error reported on the shared socket, say) must not end the
        // others' sessions: each has its own timer.
        TraceMessage("Error in recvfrom() call [errno=%d]\n", net::LastError());
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        return false;
    }
    for (int i = 0; i < got; ++i) {
        Queued& q = m_batch[static_cast<std::size_t>(i)];
        q.datagram.length = slots[static_cast<std::size_t>(i)].size;
        q.datagram.from = slots[static_cast<std::size_t>(i)].from;
        q.taken = false;
    }
    m_batchCount = static_cast<std::size_t>(got);
    return got > 0;
}

void TftpFleetServer::Run() {
    // Trace lines leave this thread through the queue, in order with the events.
    ThreadTraceCapture capture(
        [events = m_events.get()](std::string_view tag, std::string_view text) { events->Trace(tag, text); });
    while (!m_stopping) {
        if (m_commandsWaiting.load(std::memory_order_acquire))
            m_stopping = ApplyPending(TftpClock::now());
        if (m_stopping)
            break;
        StartHeld(TftpClock::now());

        // Datagrams are handled in the order they arrived: the batch, then what the drains of
        // its sessions read from the socket for other devices.
        while (m_batchNext < m_batchCount && !m_stopping) {
            Queued& q = m_batch[m_batchNext++];
            if (q.taken)
                continue;
            Route(q.datagram, TftpClock::now());
            StartHeld(TftpClock::now());
        }
        while (!m_backlog.empty() && !m_stopping) {
            const Queued q = m_backlog.front();
            m_backlog.pop_front();
            if (q.taken)
                continue;
            if (auto it = m_served.find(q.datagram.from.ip.addr);
                it != m_served.end() && it->second->inBacklog > 0)
                --it->second->inBacklog;
            Route(q.datagram, TftpClock::now());
            StartHeld(TftpClock::now());
        }
        if (m_stopping)
            break;
        RunDueTimers(TftpClock::now());
        StartHeld(TftpClock::now());

        if (ReceiveBatch())
            continue;
        if (m_socket.socket().WaitReadable(TimeToNextTimer(TftpClock::now())))
            ReceiveBatch();
    }
    // Devices taken in together with the stop are stopped as well.
    std::vector<Served*> left;
    for (auto& [key, served] : m_served)
        left.push_back(served.get());
    for (Served* served : left) {
        TftpEvent stop;
        stop.kind = TftpEventKind::Stop;
        Dispatch(*served, stop, TftpClock::now());
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
        auto calls = std::make_shared<DeviceCalls>();
        calls->onEnd = std::move(c.device.onEnd);
        calls->onSummary = std::move(c.device.onSummary);
        m_events->End(std::move(calls), FleetDeviceSummary{});
    }
    TraceMessage("\ntftp server for the batch finished...\n");
    m_events->Quit();
}
