// The server's state machine under any sequence of datagrams and timer expiries: from the
// device's transfer port, from a new port of the device, from a stranger, or waiting in the queue
// that a drain empties. No socket and no clock: the session sees a scripted link and fake time.
#include "fuzz/fuzz_support.h"

#include "engine/upgrade_record.h"
#include "tftp/tftp_session.h"

#include <array>
#include <cstdint>
#include <cstdlib>
#include <deque>
#include <vector>

namespace {

constexpr net::Endpoint kDevice{net::Ipv4{0x0A000002u}, 2001};
constexpr net::Endpoint kDeviceAgain{net::Ipv4{0x0A000002u}, 2002};
constexpr net::Endpoint kStranger{net::Ipv4{0x0A000009u}, 3000};

class Link final : public TftpLink {
  public:
    long Send(std::span<const std::uint8_t> packet, const net::Endpoint&) override {
        if (released != 0 || packet.size() < 4 || packet.size() > kTftpPacketSize)
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

    int sends = 0;
    unsigned lastOpcode = 0;
    unsigned lastNumber = 0;
    int released = 0;
    std::deque<std::pair<std::vector<std::uint8_t>, net::Endpoint>> queued;
};

std::vector<std::uint8_t> g_image;

// Lock-step: while a transfer runs, the last packet out is the DATA of the awaited block.
void CheckLockStep(const TftpSession& s, const Link& link) {
    if (s.state == TftpState::Sending &&
        (link.lastOpcode != TFTP_DATA || link.lastNumber != (s.block & 0xFFFF)))
        std::abort();
    if ((s.state == TftpState::Finished) != (link.released == 1) || link.released > 1)
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    skelvo::fuzz::InstallQuietEngine();
    return 0;
}

// Input: 1 byte for the image size (in 64-byte steps), then records. A record's first byte: low 2
// bits the sender (device, device from a new port, stranger, or a timer expiry), bit 2 "queued
// for the next drain", bits 3-7 the time that passes first (ms). Then a length byte (up to 40)
// and the datagram. The first request for "image" is sent before the records.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1)
        return 0;
    g_image.assign(static_cast<std::size_t>(data[0]) * 64, 0x5A);
    g_TftpConfigData.FileImage = ImageDescriptor{static_cast<std::uint32_t>(g_image.size()), g_image.data()};
    SetImageToUse(SERVER_USER_FILE);

    TftpServerOptions options;
    options.expectedClient = kDevice.ip;
    TftpSession session = StartTftpSession(1, options);
    Link link;
    TftpClock::time_point now{};
    const std::array<std::uint8_t, 14> rrq{0, 1, 'i', 'm', 'a', 'g', 'e', 0, 'o', 'c', 't', 'e', 't', 0};
    TftpEvent first;
    first.bytes = rrq;
    first.from = kDevice;
    TftpStateMachine(session, link, first, now);
    CheckLockStep(session, link);

    std::size_t at = 1;
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
        const bool duplicateAck = session.state == TftpState::Sending && link.queued.empty() &&
                                  bytes.size() >= 4 && bytes[0] == 0 && bytes[1] == TFTP_ACK &&
                                  ((bytes[2] << 8u) | bytes[3]) == ((session.block - 1) & 0xFFFF) &&
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
