// The server's state machine under any sequence of datagrams and timer expiries: from the
// device's transfer port, from a new port of the device, from a stranger, or waiting in the queue
// that a drain empties; after a plain request or one with options (RFC 2347: blksize, tsize,
// timeout, windowsize), with negotiation on or off. No socket and no clock: the session sees a
// scripted link and fake time.
#include "fuzz/fuzz_support.h"

#include "engine/upgrade_record.h"
#include "tftp/tftp_session.h"

#include <array>
#include <cstdint>
#include <cstdlib>
#include <deque>
#include <string>
#include <vector>

namespace {

constexpr net::Endpoint kDevice{net::Ipv4{0x0A000002u}, 2001};
constexpr net::Endpoint kDeviceAgain{net::Ipv4{0x0A000002u}, 2002};
constexpr net::Endpoint kStranger{net::Ipv4{0x0A000009u}, 3000};

class Link final : public TftpLink {
  public:
    long Send(std::span<const std::uint8_t> packet, const net::Endpoint&) override {
        if (released != 0 || packet.size() < 4 || packet.size() > kTftpHeaderSize + maxBlock)
            std::abort();
        ++sends;
        lastOpcode = (packet[0] << 8u) | packet[1];
        lastNumber = (packet[2] << 8u) | packet[3];
        return static_cast<long>(packet.size());
    }
    net::RecvResult TakeQueued(std::span<std::uint8_t> buffer) override {
        net::RecvResult r;
        if (queued.empty()) {
            r.status = net::RecvStatus::TimedOut;
            return r;
        }
        const auto& [bytes, from] = queued.front();
        std::copy(bytes.begin(), bytes.end(), buffer.begin());
        r.status = net::RecvStatus::Data;
        r.size = bytes.size();
        r.from = from;
        queued.pop_front();
        return r;
    }
    void Release() override { ++released; }
    unsigned MaxBlockSize(const net::Endpoint&) override { return maxBlock; }

    unsigned maxBlock = 1468;
    int sends = 0;
    unsigned lastOpcode = 0;
    unsigned lastNumber = 0;
    int released = 0;
    std::deque<std::pair<std::vector<std::uint8_t>, net::Endpoint>> queued;
};

std::vector<std::uint8_t> g_image;

// While a transfer runs, the last packet out is the OACK, or the DATA of the last block sent, which
// lies inside the window; no block is larger than negotiated.
void CheckLockStep(const TftpSession& s, const Link& link) {
    if (s.state == TftpState::Sending) {
        const unsigned expected = s.negotiating ? TFTP_OACK : TFTP_DATA;
        if (link.lastOpcode != expected || (!s.negotiating && link.lastNumber != (s.block & 0xFFFF)))
            std::abort();
        if (!s.negotiating && (s.block <= s.acked || s.block > s.acked + s.window || s.count > s.blockSize))
            std::abort();
        if (s.blockSize < kTftpMinBlockSize || s.blockSize > link.maxBlock || s.window > kTftpMaxWindowSize)
            std::abort();
    }
    if ((s.state == TftpState::Finished) != (link.released == 1) || link.released > 1)
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    skelvo::fuzz::InstallQuietEngine();
    return 0;
}

void AppendField(std::vector<std::uint8_t>& request, const std::string& text) {
    request.insert(request.end(), text.begin(), text.end());
    request.push_back(0);
}

// Input: 1 byte for the image size (in 64-byte steps), 1 byte of options for the first request
// (bit 0 blksize, bit 1 windowsize, bit 2 tsize, bit 3 timeout, bit 4 negotiation off, bit 5 the
// mode in capitals with the rescue's any-case mode, bit 6 an unterminated option list, bit 7 a
// 512-byte path), 1 byte for the values (blksize 8 + 24 × it, windowsize and timeout its low
// bits), then records. A record's first byte: low 2 bits the sender (device, device from a new
// port, stranger, or a timer expiry), bit 2 "queued for the next drain", bits 3-7 the time that
// passes first (ms). Then a length byte (up to 40) and the datagram.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 3)
        return 0;
    g_image.assign(static_cast<std::size_t>(data[0]) * 64, 0x5A);
    g_TftpConfigData.FileImage = ImageDescriptor{static_cast<std::uint32_t>(g_image.size()), g_image.data()};
    SetImageToUse(SERVER_USER_FILE);
    const std::uint8_t flags = data[1];
    const unsigned value = data[2];

    TftpServerOptions options;
    options.expectedClient = kDevice.ip;
    options.negotiateOptions = (flags & 0x10u) == 0;
    options.modeAnyCase = (flags & 0x20u) != 0;
    TftpSession session = StartTftpSession(1, options);
    Link link;
    if ((flags & 0x80u) != 0)
        link.maxBlock = 512;
    TftpClock::time_point now{};
    std::vector<std::uint8_t> rrq{0, 1};
    AppendField(rrq, "image");
    AppendField(rrq, (flags & 0x20u) != 0 ? "OCTET" : "octet");
    if ((flags & 1u) != 0) {
        AppendField(rrq, "blksize");
        AppendField(rrq, std::to_string(8 + 24 * value));
    }
    if ((flags & 2u) != 0) {
        AppendField(rrq, "windowsize");
        AppendField(rrq, std::to_string(value & 0x1Fu));
    }
    if ((flags & 4u) != 0) {
        AppendField(rrq, "tsize");
        AppendField(rrq, "0");
    }
    if ((flags & 8u) != 0) {
        AppendField(rrq, "timeout");
        AppendField(rrq, std::to_string(value & 0x0Fu));
    }
    if ((flags & 0x40u) != 0)
        rrq.insert(rrq.end(), {'x', 'y'});
    TftpEvent first;
    first.bytes = rrq;
    first.from = kDevice;
    TftpStateMachine(session, link, first, now);
    CheckLockStep(session, link);

    std::size_t at = 3;
    while (at + 2 <= size && session.state != TftpState::Finished) {
        const std::uint8_t kind = data[at];
        const std::size_t length = std::min<std::size_t>({data[at + 1], 40, size - at - 2});
        at += 2;
        now += std::chrono::milliseconds(kind >> 3);
        const std::span<const std::uint8_t> bytes(data + at, length);
        at += length;
        const unsigned sender = kind & 3u;
        if (sender == 3) {
            if (!session.deadline)
                continue;
            now = std::max(now, *session.deadline);
            TftpEvent timeout;
            timeout.kind = TftpEventKind::Timeout;
            TftpStateMachine(session, link, timeout, now);
            CheckLockStep(session, link);
            continue;
        }
        const net::Endpoint from = sender == 0 ? kDevice : sender == 1 ? kDeviceAgain : kStranger;
        if ((kind & 4u) != 0) {
            link.queued.emplace_back(std::vector<std::uint8_t>(bytes.begin(), bytes.end()), from);
            continue;
        }
        // An ACK of a block already acknowledged (the window's start or older).
        const bool duplicateAck = session.state == TftpState::Sending && !session.negotiating &&
                                  link.queued.empty() && bytes.size() >= 4 && bytes[0] == 0 &&
                                  bytes[1] == TFTP_ACK &&
                                  ((bytes[2] << 8u) | bytes[3]) <= static_cast<int>(session.acked) &&
                                  from.ip == session.client.ip && from.port == session.client.port;
        const int sendsBefore = link.sends;
        TftpEvent e;
        e.bytes = bytes;
        e.from = from;
        TftpStateMachine(session, link, e, now);
        // RFC 1123 4.2.3.1: a duplicate ACK is never answered with DATA.
        if (duplicateAck && link.sends != sendsBefore)
            std::abort();
        CheckLockStep(session, link);
    }
    // Once a transfer has begun, the timers alone bring every session to an end or to a bounded wait.
    for (int n = 0; n < 400 && session.deadline && session.state != TftpState::Finished; ++n) {
        now = *session.deadline;
        TftpEvent timeout;
        timeout.kind = TftpEventKind::Timeout;
        TftpStateMachine(session, link, timeout, now);
        CheckLockStep(session, link);
    }
    if (session.state == TftpState::Sending)
        std::abort();
    g_TftpConfigData.FileImage = ImageDescriptor{0, nullptr};
    return 0;
}
