#include "devsim/tftp_client.h"

#if defined(__linux__)
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <array>
#include <cerrno>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <thread>
#include <unordered_map>

namespace devsim {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr std::uint16_t kOpRrq = 1;
constexpr std::uint16_t kOpData = 3;
constexpr std::uint16_t kOpAck = 4;
constexpr std::uint16_t kOpError = 5;
constexpr std::size_t kBlockSize = 512;

std::uint16_t Be16(const std::uint8_t* p) {
    return static_cast<std::uint16_t>((p[0] << 8) | p[1]);
}

void PutBe16(std::vector<std::uint8_t>& out, std::uint16_t v) {
    out.push_back(static_cast<std::uint8_t>(v >> 8));
    out.push_back(static_cast<std::uint8_t>(v & 0xFF));
}

void PutText(std::vector<std::uint8_t>& out, std::string_view text) {
    for (char c : text)
        out.push_back(static_cast<std::uint8_t>(c));
    out.push_back(0);
}

std::vector<std::uint8_t> ErrorPacket(std::uint16_t code, std::string_view message) {
    std::vector<std::uint8_t> p;
    PutBe16(p, kOpError);
    PutBe16(p, code);
    PutText(p, message);
    return p;
}

// The message of a received ERROR packet, made printable, up to its NUL or the datagram's end.
std::string ErrorText(const std::uint8_t* p, std::size_t size) {
    std::string out;
    for (std::size_t i = 4; i < size && p[i] != 0; ++i)
        out.push_back((p[i] >= 0x20 && p[i] < 0x7F) ? static_cast<char>(p[i]) : '?');
    return out;
}

// One download as a state machine: the driver (FetchFile's own loop, or a hub serving many) hands
// it the datagrams queued on its socket and the passing of time, and it never blocks.
class Download {
  public:
    explicit Download(const FetchRequest& rq) : m_rq(rq) {}
    // Opens the socket and sends the read request; false when it cannot (the download has ended).
    bool Begin(Clock::time_point now);
    // Handles the datagrams queued on the socket.
    void Readable(Clock::time_point now);
    // Acts on what is due by `now`: a stop, a time-out, a delayed ACK, the end of the dally.
    void Tick(Clock::time_point now);
    bool Done() const { return m_phase == Phase::Done; }
    // While an ACK waits out its delay nothing is read, as a device busy with its flash reads nothing.
    bool WantsRead() const { return m_phase != Phase::Done && !m_delayed; }
    // When Tick next has something to do (a stop is looked for by the driver).
    Clock::time_point NextWake() const;
    net::Socket& socket() { return m_socket; }
    FetchResult Take() { return std::move(m_result); }

  private:
    enum class Phase { Transfer, Linger, Done };
    struct DelayedAck {
        std::uint16_t block = 0;
        bool repeat = false;
        Clock::time_point due;
        bool resetDeadline = false; // then the time-out starts again
        bool thenLinger = false;    // the last block's: the dally starts once it is out
    };

    void Log(const std::string& line) const {
        if (m_rq.log)
            m_rq.log(line);
    }
    bool Stopped() const { return m_rq.stop != nullptr && m_rq.stop->load(); }
    bool Fail(std::string why) {
        m_result.error = std::move(why);
        Log("tftp: " + m_result.error);
        m_phase = Phase::Done;
        return false;
    }
    void SendRequest();
    // Sends the ACK now, or once the ack-delay fault's time has passed.
    void SendAck(std::uint16_t block, bool repeat, Clock::time_point now, bool resetDeadline = false,
                 bool thenLinger = false);
    void SendAckNow(std::uint16_t block, bool repeat);
    void SendError(net::Endpoint to, std::uint16_t code, std::string_view message) {
        auto p = ErrorPacket(code, message);
        m_socket.SendTo(p, to);
    }
    // One datagram handled; returns false when the download has ended (m_done or an error).
    bool Handle(const std::uint8_t* p, std::size_t size, net::Endpoint from, Clock::time_point now);
    void Completed(Clock::time_point now);
    void StartLinger(Clock::time_point now);
    void LingerDatagram(const std::uint8_t* p, std::size_t size, net::Endpoint from, Clock::time_point now);
    Clock::time_point LingerEnd() const { return m_lateSent ? m_dallyEnd : std::max(m_dallyEnd, m_lateAt); }

    const FetchRequest& m_rq;
    FetchResult m_result;
    net::Socket m_socket;
    Phase m_phase = Phase::Transfer;
    bool m_started = false; // the first block has arrived and fixed the transfer ID
    bool m_done = false;
    std::uint16_t m_last = 0; // last block number acknowledged, as on the wire
    bool m_wrongSent = false;
    bool m_duplicateSent = false;
    bool m_leftAtOnce = false; // drop-final-ack: no dally after the last block
    Clock::time_point m_begun;
    Clock::time_point m_deadline;
    int m_inRow = 0;
    std::optional<DelayedAck> m_delayed;
    // After the last block: re-ACK a repeated last block during the dally, and send the late final
    // ACK if that fault asks for it.
    Clock::time_point m_dallyEnd;
    Clock::time_point m_lateAt;
    bool m_lateSent = true;
};

void Download::SendRequest() {
    std::vector<std::uint8_t> p;
    PutBe16(p, kOpRrq);
    PutText(p, m_rq.file);
    PutText(p, "octet");
    m_socket.SendTo(p, m_rq.server);
    ++m_result.requestsSent;
}

void Download::SendAck(std::uint16_t block, bool repeat, Clock::time_point now, bool resetDeadline,
                       bool thenLinger) {
    if (m_rq.faults.ackDelay.count() > 0) {
        m_delayed = DelayedAck{block, repeat, now + m_rq.faults.ackDelay, resetDeadline, thenLinger};
        return;
    }
    SendAckNow(block, repeat);
    if (resetDeadline)
        m_deadline = now + m_rq.options.timeout;
    if (thenLinger)
        StartLinger(now);
}

void Download::SendAckNow(std::uint16_t block, bool repeat) {
    const TftpFaultPlan& f = m_rq.faults;
    std::uint16_t number = block;
    if (!repeat && !m_wrongSent && f.wrongAck != 0 && m_result.blocks == f.wrongAck) {
        m_wrongSent = true;
        number = static_cast<std::uint16_t>(block + 1);
        Log("tftp: fault: ACK for block " + std::to_string(block) + " sent as " + std::to_string(number));
    }
    if (m_rq.rng != nullptr && m_rq.rng->Chance(f.dropAck)) {
        ++m_result.droppedAcks;
        Log("tftp: fault: ACK " + std::to_string(number) + " not sent");
        return;
    }
    std::vector<std::uint8_t> p;
    PutBe16(p, kOpAck);
    PutBe16(p, number);
    m_socket.SendTo(p, m_result.peer);
    ++m_result.acksSent;
    if (!repeat && !m_duplicateSent && f.duplicateAck != 0 && m_result.blocks == f.duplicateAck) {
        m_duplicateSent = true;
        m_socket.SendTo(p, m_result.peer);
        ++m_result.acksSent;
        Log("tftp: fault: ACK " + std::to_string(number) + " sent twice");
    }
}

bool Download::Handle(const std::uint8_t* p, std::size_t size, net::Endpoint from, Clock::time_point now) {
    if (from.ip != m_rq.server.ip) {
        Log("tftp: ignored a datagram from " + from.ToString());
        return true;
    }
    if (m_started && from.port != m_result.peer.port) {
        // RFC 1350: a packet from a wrong transfer ID gets ERROR 5 and leaves the transfer alone.
        ++m_result.strangers;
        SendError(from, 5, "Unknown transfer ID");
        Log("tftp: ERROR 5 to " + from.ToString() + ", not the transfer's peer");
        return true;
    }
    if (size < 4) {
        Log("tftp: ignored a datagram of " + std::to_string(size) + " bytes");
        return true;
    }
    std::uint16_t op = Be16(p);
    if (op == kOpError || op == kOpData)
        m_result.answered = true;
    if (op == kOpError)
        return Fail("server sent ERROR " + std::to_string(Be16(p + 2)) + " (" + ErrorText(p, size) + ")");
    if (op != kOpData) {
        Log("tftp: ignored opcode " + std::to_string(op));
        return true;
    }
    std::uint16_t block = Be16(p + 2);
    std::size_t length = size - 4;
    if (m_rq.rng != nullptr && m_rq.rng->Chance(m_rq.faults.dropData)) {
        ++m_result.droppedData;
        Log("tftp: fault: DATA block " + std::to_string(block) + " dropped");
        return true;
    }
    std::uint16_t expected = static_cast<std::uint16_t>(m_last + 1);
    if (block == expected) {
        if (!m_started) {
            m_started = true;
            m_result.peer = from;
        }
        if (length > kBlockSize) {
            SendError(from, 4, "Illegal TFTP operation");
            return Fail("DATA block " + std::to_string(block) + " holds " + std::to_string(length) +
                        " bytes");
        }
        if (m_result.data.size() + length > m_rq.options.maxBytes) {
            SendError(from, 3, "Disk full or allocation exceeded");
            return Fail("image larger than " + std::to_string(m_rq.options.maxBytes) + " bytes");
        }
        m_result.data.insert(m_result.data.end(), p + 4, p + 4 + length);
        m_last = block;
        ++m_result.blocks;
        m_inRow = 0;
        if (m_rq.traceBlocks)
            Log("tftp: block " + std::to_string(m_result.blocks) + " received (" + std::to_string(length) +
                " bytes)");
        if (m_rq.faults.errorAfter != 0 && m_result.blocks == m_rq.faults.errorAfter) {
            SendError(from, 0, "Flash write error");
            return Fail("fault: ERROR sent instead of the ACK for block " + std::to_string(block));
        }
        // RFC 1350: a block shorter than 512 bytes ends the transfer.
        const bool last = length < kBlockSize;
        if (last) {
            m_done = true;
            Completed(now);
        }
        if (last && m_rq.faults.dropFinalAck) {
            ++m_result.droppedAcks;
            m_leftAtOnce = true;
            Log("tftp: fault: final ACK " + std::to_string(block) + " not sent; leaving without dallying");
            StartLinger(now);
        } else {
            SendAck(block, false, now, !last, last);
        }
        return !last;
    }
    if (m_started && block == m_last) {
        ++m_result.duplicateBlocks;
        Log("tftp: block " + std::to_string(block) + " again; ACK repeated");
        SendAck(block, true, now);
        return true;
    }
    Log("tftp: ignored DATA block " + std::to_string(block) + ", expected " + std::to_string(expected));
    return true;
}

void Download::Completed(Clock::time_point now) {
    m_result.ok = true;
    m_result.elapsed = std::chrono::duration_cast<milliseconds>(now - m_begun);
    Log("tftp: " + std::to_string(m_result.data.size()) + " bytes in " + std::to_string(m_result.blocks) +
        " blocks");
}

void Download::StartLinger(Clock::time_point now) {
    m_phase = Phase::Linger;
    // A client that left at once answers nothing more; the socket stays open only for a late ACK.
    m_dallyEnd = now + (m_leftAtOnce ? milliseconds(0) : m_rq.options.dally);
    const milliseconds late = m_rq.faults.lateFinalAck;
    m_lateAt = now + late;
    m_lateSent = late.count() <= 0;
    Tick(now);
}

void Download::LingerDatagram(const std::uint8_t* p, std::size_t size, net::Endpoint from,
                              Clock::time_point now) {
    if (now >= m_dallyEnd)
        return;
    if (from == m_result.peer && size >= 4 && Be16(p) == kOpData && Be16(p + 2) == m_last) {
        ++m_result.duplicateBlocks;
        Log("tftp: last block again; ACK repeated");
        SendAck(m_last, true, now);
    }
}

bool Download::Begin(Clock::time_point now) {
    m_socket = net::Socket::Udp();
    if (!m_socket || !m_socket.Bind(net::Endpoint{m_rq.localAddress, 0})) {
        return Fail("cannot open a UDP socket on " + m_rq.localAddress.ToString() +
                    " [errno=" + std::to_string(net::LastError()) + "]");
    }
    Log("tftp: read request for \"" + m_rq.file + "\" to " + m_rq.server.ToString());
    m_begun = now;
    SendRequest();
    m_deadline = now + m_rq.options.timeout;
    return true;
}

void Download::Readable(Clock::time_point now) {
    std::array<std::uint8_t, 1024> buf{};
    while (WantsRead()) {
        net::DatagramIn in;
        in.buffer = buf;
        const int got = m_socket.RecvFromMany(std::span<net::DatagramIn>(&in, 1));
        if (got == 0)
            return;
        if (got < 0) {
            if (net::LastError() == ECONNREFUSED) // an ICMP port-unreachable; the time-out will retry
                continue;
            if (m_phase == Phase::Transfer)
                Fail("receive failed [errno=" + std::to_string(net::LastError()) + "]");
            return;
        }
        if (m_phase == Phase::Linger)
            LingerDatagram(buf.data(), in.size, in.from, now);
        else
            Handle(buf.data(), in.size, in.from, now);
    }
}

void Download::Tick(Clock::time_point now) {
    if (m_phase == Phase::Done)
        return;
    if (Stopped()) {
        if (m_phase == Phase::Transfer)
            Fail("stopped");
        m_phase = Phase::Done;
        return;
    }
    if (m_delayed) {
        if (now < m_delayed->due)
            return;
        const DelayedAck ack = *m_delayed;
        m_delayed.reset();
        SendAckNow(ack.block, ack.repeat);
        if (ack.resetDeadline)
            m_deadline = now + m_rq.options.timeout;
        if (ack.thenLinger) {
            StartLinger(now);
            return;
        }
    }
    if (m_phase == Phase::Linger) {
        if (!m_lateSent && now >= m_lateAt) {
            m_lateSent = true;
            std::vector<std::uint8_t> p;
            PutBe16(p, kOpAck);
            PutBe16(p, m_last);
            m_socket.SendTo(p, m_result.peer);
            ++m_result.acksSent;
            Log("tftp: fault: final ACK " + std::to_string(m_last) + " sent again after " +
                std::to_string(m_rq.faults.lateFinalAck.count()) + " ms");
        }
        if (now >= LingerEnd())
            m_phase = Phase::Done;
        return;
    }
    if (now < m_deadline)
        return;
    ++m_result.timeouts;
    if (++m_inRow > m_rq.options.retries) {
        Fail("gave up after " + std::to_string(m_inRow) + " time-outs in a row");
        return;
    }
    if (!m_started && m_rq.giveUpUnanswered) {
        Fail("no answer to the read request");
        return;
    }
    if (!m_started && m_rq.faults.requestOnce) {
        Log("tftp: fault: no answer; the read request is not repeated");
    } else if (!m_started) {
        Log("tftp: no answer; read request sent again");
        SendRequest();
    } else {
        Log("tftp: time-out; ACK " + std::to_string(m_last) + " sent again");
        SendAck(m_last, true, now, true);
        if (m_delayed)
            return;
    }
    m_deadline = now + m_rq.options.timeout;
}

Clock::time_point Download::NextWake() const {
    if (m_delayed)
        return m_delayed->due;
    if (m_phase == Phase::Linger)
        return m_lateSent ? m_dallyEnd : std::min(m_lateAt, LingerEnd());
    return m_deadline;
}

// How often a waiting download looks at its stop flag.
constexpr milliseconds kStopPoll{100};

// One download on the calling thread.
FetchResult RunAlone(const FetchRequest& request) {
    Download d(request);
    if (!d.Begin(Clock::now()))
        return d.Take();
    while (!d.Done()) {
        const auto now = Clock::now();
        const auto left = std::max(milliseconds(0), std::chrono::ceil<milliseconds>(d.NextWake() - now));
        const auto wait = std::min(left, kStopPoll);
        if (d.WantsRead()) {
            if (d.socket().WaitReadable(wait))
                d.Readable(Clock::now());
        } else {
            std::this_thread::sleep_for(wait);
        }
        d.Tick(Clock::now());
    }
    return d.Take();
}

} // namespace

std::uint64_t Rng::Next() {
    std::uint64_t z = (m_state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

double Rng::Unit() {
    return static_cast<double>(Next() >> 11) * 0x1.0p-53;
}

#if defined(__linux__)

struct TftpClientHub::Impl {
    struct Job {
        explicit Job(const FetchRequest& rq) : download(rq) {}
        Download download;
        std::uint64_t ticket = 0; // its live entry in the timer heap
        Clock::time_point scheduled;
        bool reading = false; // registered for input
        bool finished = false;
        std::condition_variable ended;
    };
    // An entry of the timer heap; its job is found through `live`, as it may have ended since.
    struct Timer {
        Clock::time_point due;
        std::uint64_t ticket;
        bool operator>(const Timer& other) const { return due > other.due; }
    };

    int epoll = -1;
    int wake = -1; // an eventfd: a new job, or the end
    std::mutex lock;
    std::vector<Job*> incoming; // under lock
    bool quit = false;          // under lock
    std::thread thread;
    // The hub's thread's own.
    std::vector<Job*> jobs;
    std::vector<Timer> timers;
    std::unordered_map<std::uint64_t, Job*> live; // each running job's ticket
    std::uint64_t nextTicket = 1;

    void Watch(Job& job) {
        const bool want = job.download.WantsRead();
        if (want == job.reading)
            return;
        epoll_event ev{};
        ev.events = want ? static_cast<std::uint32_t>(EPOLLIN) : 0u;
        ev.data.ptr = &job;
        epoll_ctl(epoll, EPOLL_CTL_MOD, job.download.socket().native(), &ev);
        job.reading = want;
    }
    void Schedule(Job& job) {
        const Clock::time_point due = job.download.NextWake();
        if (job.ticket != 0 && job.scheduled <= due)
            return;
        live.erase(job.ticket);
        job.ticket = nextTicket++;
        job.scheduled = due;
        live.emplace(job.ticket, &job);
        timers.push_back(Timer{due, job.ticket});
        std::push_heap(timers.begin(), timers.end(), std::greater<>());
    }
    // After the job's download did something: its end, its input, its next time.
    void Settle(Job& job) {
        if (job.download.Done()) {
            live.erase(job.ticket);
            epoll_ctl(epoll, EPOLL_CTL_DEL, job.download.socket().native(), nullptr);
            jobs.erase(std::find(jobs.begin(), jobs.end(), &job));
            std::lock_guard<std::mutex> g(lock);
            job.finished = true;
            job.ended.notify_all();
            return;
        }
        Watch(job);
        Schedule(job);
    }
    void Take(Clock::time_point now) {
        std::vector<Job*> fresh;
        {
            std::lock_guard<std::mutex> g(lock);
            fresh.swap(incoming);
        }
        for (Job* job : fresh) {
            jobs.push_back(job);
            if (!job->download.Begin(now)) {
                Settle(*job);
                continue;
            }
            epoll_event ev{};
            ev.events = EPOLLIN;
            ev.data.ptr = job;
            epoll_ctl(epoll, EPOLL_CTL_ADD, job->download.socket().native(), &ev);
            job->reading = true;
            Settle(*job);
        }
    }
    void Run() {
        std::array<epoll_event, 64> ready{};
        auto nextStopCheck = Clock::now() + kStopPoll;
        for (;;) {
            auto now = Clock::now();
            auto until = nextStopCheck;
            if (!timers.empty())
                until = std::min(until, timers.front().due);
            const int wait = static_cast<int>(
                std::max<long long>(0, std::chrono::ceil<milliseconds>(until - now).count()));
            const int n = epoll_wait(epoll, ready.data(), static_cast<int>(ready.size()), wait);
            now = Clock::now();
            for (int i = 0; i < n; ++i) {
                if (ready[static_cast<std::size_t>(i)].data.ptr == nullptr) {
                    std::uint64_t count = 0;
                    [[maybe_unused]] const auto r = ::read(wake, &count, sizeof count);
                    {
                        std::lock_guard<std::mutex> g(lock);
                        if (quit)
                            return;
                    }
                    Take(now);
                    continue;
                }
                Job& job = *static_cast<Job*>(ready[static_cast<std::size_t>(i)].data.ptr);
                job.download.Readable(now);
                Settle(job);
            }
            while (!timers.empty() && timers.front().due <= now) {
                std::pop_heap(timers.begin(), timers.end(), std::greater<>());
                const Timer t = timers.back();
                timers.pop_back();
                const auto it = live.find(t.ticket);
                if (it == live.end())
                    continue;
                Job& job = *it->second;
                live.erase(it);
                job.ticket = 0;
                job.download.Tick(now);
                Settle(job);
            }
            if (now >= nextStopCheck) {
                nextStopCheck = now + kStopPoll;
                const std::vector<Job*> all = jobs;
                for (Job* job : all) {
                    job->download.Tick(now);
                    Settle(*job);
                }
            }
        }
    }
};

TftpClientHub::TftpClientHub() : m(std::make_unique<Impl>()) {
    m->epoll = epoll_create1(EPOLL_CLOEXEC);
    m->wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (m->epoll < 0 || m->wake < 0)
        return;
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.ptr = nullptr;
    epoll_ctl(m->epoll, EPOLL_CTL_ADD, m->wake, &ev);
    m->thread = std::thread([this] { m->Run(); });
}

TftpClientHub::~TftpClientHub() {
    if (m->thread.joinable()) {
        {
            std::lock_guard<std::mutex> g(m->lock);
            m->quit = true;
        }
        const std::uint64_t one = 1;
        [[maybe_unused]] const auto r = ::write(m->wake, &one, sizeof one);
        m->thread.join();
        // Whoever still waits is told its download ended, as a stop would.
        std::lock_guard<std::mutex> g(m->lock);
        for (Impl::Job* job : m->jobs) {
            job->finished = true;
            job->ended.notify_all();
        }
        for (Impl::Job* job : m->incoming) {
            job->finished = true;
            job->ended.notify_all();
        }
    }
    if (m->wake >= 0)
        ::close(m->wake);
    if (m->epoll >= 0)
        ::close(m->epoll);
}

FetchResult TftpClientHub::Fetch(const FetchRequest& request) {
    if (!m->thread.joinable())
        return RunAlone(request);
    Impl::Job job(request);
    std::unique_lock<std::mutex> g(m->lock);
    if (m->quit)
        return RunAlone(request);
    m->incoming.push_back(&job);
    const std::uint64_t one = 1;
    [[maybe_unused]] const auto r = ::write(m->wake, &one, sizeof one);
    job.ended.wait(g, [&] { return job.finished; });
    return job.download.Take();
}

#else

struct TftpClientHub::Impl {};

TftpClientHub::TftpClientHub() : m(std::make_unique<Impl>()) {}
TftpClientHub::~TftpClientHub() = default;

FetchResult TftpClientHub::Fetch(const FetchRequest& request) {
    return RunAlone(request);
}

#endif

FetchResult FetchFile(const FetchRequest& request) {
    if (request.hub != nullptr)
        return request.hub->Fetch(request);
    return RunAlone(request);
}

} // namespace devsim
