#include "devsim/tftp_client.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <thread>

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

class Download {
  public:
    explicit Download(const FetchRequest& rq) : m_rq(rq) {}
    FetchResult Run();

  private:
    void Log(const std::string& line) const {
        if (m_rq.log)
            m_rq.log(line);
    }
    bool Stopped() const { return m_rq.stop != nullptr && m_rq.stop->load(); }
    bool Fail(std::string why) {
        m_result.error = std::move(why);
        Log("tftp: " + m_result.error);
        return false;
    }
    void SendRequest();
    void SendAck(std::uint16_t block, bool repeat);
    void SendError(net::Endpoint to, std::uint16_t code, std::string_view message) {
        auto p = ErrorPacket(code, message);
        m_socket.SendTo(p, to);
    }
    // One datagram handled; returns false when the download has ended (m_done or an error).
    bool Handle(const std::uint8_t* p, std::size_t size, net::Endpoint from);
    // After the last block: re-ACK a repeated last block during the dally, and send the late
    // final ACK if that fault asks for it.
    void Linger();

    const FetchRequest& m_rq;
    FetchResult m_result;
    net::Socket m_socket;
    bool m_started = false; // the first block has arrived and fixed the transfer ID
    bool m_done = false;
    std::uint16_t m_last = 0; // last block number acknowledged, as on the wire
    bool m_wrongSent = false;
    bool m_duplicateSent = false;
    bool m_leftAtOnce = false; // drop-final-ack: no dally after the last block
};

void Download::SendRequest() {
    std::vector<std::uint8_t> p;
    PutBe16(p, kOpRrq);
    PutText(p, m_rq.file);
    PutText(p, "octet");
    m_socket.SendTo(p, m_rq.server);
    ++m_result.requestsSent;
}

void Download::SendAck(std::uint16_t block, bool repeat) {
    const TftpFaultPlan& f = m_rq.faults;
    if (f.ackDelay.count() > 0)
        std::this_thread::sleep_for(f.ackDelay);
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

bool Download::Handle(const std::uint8_t* p, std::size_t size, net::Endpoint from) {
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
        if (m_rq.traceBlocks)
            Log("tftp: block " + std::to_string(m_result.blocks) + " received (" + std::to_string(length) +
                " bytes)");
        if (m_rq.faults.errorAfter != 0 && m_result.blocks == m_rq.faults.errorAfter) {
            SendError(from, 0, "Flash write error");
            return Fail("fault: ERROR sent instead of the ACK for block " + std::to_string(block));
        }
        // RFC 1350: a block shorter than 512 bytes ends the transfer.
        const bool last = length < kBlockSize;
        if (last && m_rq.faults.dropFinalAck) {
            ++m_result.droppedAcks;
            m_leftAtOnce = true;
            Log("tftp: fault: final ACK " + std::to_string(block) + " not sent; leaving without dallying");
        } else {
            SendAck(block, false);
        }
        if (last) {
            m_done = true;
            return false;
        }
        return true;
    }
    if (m_started && block == m_last) {
        ++m_result.duplicateBlocks;
        Log("tftp: block " + std::to_string(block) + " again; ACK repeated");
        SendAck(block, true);
        return true;
    }
    Log("tftp: ignored DATA block " + std::to_string(block) + ", expected " + std::to_string(expected));
    return true;
}

void Download::Linger() {
    const auto start = Clock::now();
    // A client that left at once answers nothing more; the socket stays open only for a late ACK.
    const auto dallyEnd = start + (m_leftAtOnce ? milliseconds(0) : m_rq.options.dally);
    const milliseconds late = m_rq.faults.lateFinalAck;
    const auto lateAt = start + late;
    bool lateSent = late.count() <= 0;
    std::array<std::uint8_t, 1024> buf{};
    while (!Stopped()) {
        const auto now = Clock::now();
        if (!lateSent && now >= lateAt) {
            lateSent = true;
            std::vector<std::uint8_t> p;
            PutBe16(p, kOpAck);
            PutBe16(p, m_last);
            m_socket.SendTo(p, m_result.peer);
            ++m_result.acksSent;
            Log("tftp: fault: final ACK " + std::to_string(m_last) + " sent again after " +
                std::to_string(late.count()) + " ms");
        }
        const auto end = lateSent ? dallyEnd : std::max(dallyEnd, lateAt);
        if (now >= end)
            return;
        auto left = std::chrono::ceil<milliseconds>(end - now);
        auto res = m_socket.RecvFromFor(buf, std::min(left, milliseconds(100)));
        if (res.status != net::RecvStatus::Data || Clock::now() >= dallyEnd)
            continue;
        if (res.from == m_result.peer && res.size >= 4 && Be16(buf.data()) == kOpData &&
            Be16(buf.data() + 2) == m_last) {
            ++m_result.duplicateBlocks;
            Log("tftp: last block again; ACK repeated");
            SendAck(m_last, true);
        }
    }
}

FetchResult Download::Run() {
    m_socket = net::Socket::Udp();
    if (!m_socket || !m_socket.Bind(net::Endpoint{m_rq.localAddress, 0})) {
        Fail("cannot open a UDP socket on " + m_rq.localAddress.ToString() +
             " [errno=" + std::to_string(net::LastError()) + "]");
        return m_result;
    }
    Log("tftp: read request for \"" + m_rq.file + "\" to " + m_rq.server.ToString());
    auto started = Clock::now();
    SendRequest();
    std::array<std::uint8_t, 1024> buf{};
    int inRow = 0;
    auto deadline = Clock::now() + m_rq.options.timeout;
    std::uint32_t seenBlocks = 0;
    for (;;) {
        if (Stopped()) {
            Fail("stopped");
            return m_result;
        }
        auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) {
            ++m_result.timeouts;
            if (++inRow > m_rq.options.retries) {
                Fail("gave up after " + std::to_string(inRow) + " time-outs in a row");
                return m_result;
            }
            if (!m_started && m_rq.giveUpUnanswered) {
                Fail("no answer to the read request");
                return m_result;
            }
            if (!m_started && m_rq.faults.requestOnce) {
                Log("tftp: fault: no answer; the read request is not repeated");
            } else if (!m_started) {
                Log("tftp: no answer; read request sent again");
                SendRequest();
            } else {
                Log("tftp: time-out; ACK " + std::to_string(m_last) + " sent again");
                SendAck(m_last, true);
            }
            deadline = Clock::now() + m_rq.options.timeout;
            continue;
        }
        buf.fill(0);
        auto res = m_socket.RecvFromFor(buf, std::min(left, milliseconds(100)));
        if (res.status == net::RecvStatus::TimedOut)
            continue;
        if (res.status != net::RecvStatus::Data) {
            if (res.error == ECONNREFUSED) // an ICMP port-unreachable; the time-out will retry
                continue;
            Fail("receive failed [errno=" + std::to_string(res.error) + "]");
            return m_result;
        }
        bool go = Handle(buf.data(), res.size, res.from);
        if (m_done) {
            m_result.ok = true;
            m_result.elapsed = std::chrono::duration_cast<milliseconds>(Clock::now() - started);
            Log("tftp: " + std::to_string(m_result.data.size()) + " bytes in " +
                std::to_string(m_result.blocks) + " blocks");
            Linger();
            return m_result;
        }
        if (!go)
            return m_result;
        if (m_result.blocks != seenBlocks) {
            seenBlocks = m_result.blocks;
            inRow = 0;
            deadline = Clock::now() + m_rq.options.timeout;
        }
    }
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

FetchResult FetchFile(const FetchRequest& request) {
    Download d(request);
    return d.Run();
}

} // namespace devsim
