#include "tftp/tftp_session.h"

#include "engine/events.h"
#include "engine/trace.h"
#include "engine/upgrade_record.h"
#include "tftp/tftp_callbacks.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>

namespace {

using std::chrono::duration_cast;
using std::chrono::microseconds;
using std::chrono::milliseconds;

unsigned Read16(std::span<const std::uint8_t> bytes, std::size_t at) {
    unsigned high = at < bytes.size() ? bytes[at] : 0;
    unsigned low = at + 1 < bytes.size() ? bytes[at + 1] : 0;
    return (high << 8) | low;
}

std::string Dotted(const net::Endpoint& e) {
    return e.ip.ToString();
}

// A read request whose file name is "image"; the rest of it is checked when it is served.
bool IsImageRequest(std::span<const std::uint8_t> bytes) {
    constexpr std::string_view kName{"image\0", 6};
    return Read16(bytes, 0) == TFTP_RRQ && bytes.size() >= 2 + kName.size() &&
           std::memcmp(bytes.data() + 2, kName.data(), kName.size()) == 0;
}

std::string_view Tag(const TftpSession& s) {
    return s.device ? std::string_view(s.device->tag) : std::string_view();
}

void Report(const TftpSession& s, bool error, int code, void* info = nullptr) {
    if (s.device) {
        if (s.device->report)
            s.device->report(error, code, info);
    } else if (error) {
        RaiseError(code);
    } else {
        RaiseStatus(code, info);
    }
}

bool LastBlockOut(const TftpSession& s) {
    // RFC 1350: a block shorter than 512 bytes ends the transfer.
    return s.count != kTftpBlockSize;
}

void AwaitRequest(TftpSession& s, int pass, std::optional<TftpClock::time_point> programmingDeadline) {
    s.state = TftpState::AwaitingRequest;
    s.pass = pass;
    s.deadline = programmingDeadline;
    TraceTagged(Tag(s), "Waiting for TFTP client request ...\n");
}

void Finish(TftpSession& s, TftpLink& link, int result) {
    link.Release();
    TraceTagged(Tag(s), "\nftp server thread finished...\n");
    s.state = TftpState::Finished;
    s.deadline.reset();
    s.pending.reset();
    s.result = result;
}

void Complete(TftpSession& s, TftpLink& link, bool confirmed) {
    link.Release();
    CompletionInfo info{confirmed ? 1 : 0};
    Report(s, false, STATUS_COMPLETE, &info);
    TraceTagged(Tag(s), "\nftp server thread finished...\n");
    s.state = TftpState::Finished;
    s.deadline.reset();
    s.pending.reset();
    s.result = 1;
}

// A request that could not be served, or a transfer that failed: the worker ends.
void FailRequest(TftpSession& s, TftpLink& link) {
    Report(s, true, ERR_READ_REQUEST);
    TraceTagged(Tag(s), "Error: ProcessTftpReadRequest() call failed...bailing out. \n");
    Finish(s, link, 0);
}

void FailTransfer(TftpSession& s, TftpLink& link) {
    TraceTagged(Tag(s), "%s:%d - Correct ACK not recieved...bailing out.\n", "ProcessTftpReadRequest", 637);
    FailRequest(s, link);
}

// The next pass after one that served nothing (a refused request).
void UsePass(TftpSession& s, TftpLink& link) {
    if (s.pass >= 2)
        Complete(s, link, true);
    else
        AwaitRequest(s, s.pass + 1, std::nullopt);
}

// The transfer's last block counts as delivered.
void EndPass(TftpSession& s, TftpLink& link, TftpClock::time_point now, bool confirmed) {
    if (s.pass >= 2) {
        Complete(s, link, confirmed);
        return;
    }
    TraceTagged(Tag(s), "Server is erasing the flash...\n");
    Report(s, false, STATUS_ERASING);
    std::optional<TftpClock::time_point> deadline;
    if (s.programmingWait.count() > 0)
        deadline = now + s.programmingWait;
    s.programmingWaitStart = now;
    AwaitRequest(s, 2, deadline);
}

bool SendBlock(TftpSession& s, TftpLink& link, TftpClock::time_point now) {
    s.packet[0] = 0;
    s.packet[1] = TFTP_DATA;
    s.packet[2] = static_cast<std::uint8_t>((s.block >> 8) & 0xFF);
    s.packet[3] = static_cast<std::uint8_t>(s.block & 0xFF);
    s.packetSize = kTftpHeaderSize + s.count;
    const std::span<const std::uint8_t> packet(s.packet.data(), s.packetSize);
    if (link.Send(packet, s.client) != static_cast<long>(packet.size())) {
        const int error = net::LastError();
        Report(s, true, ERR_SEND);
        TraceTagged(Tag(s), "%s:%d - error in sendto() call.\n", "ProcessTftpReadRequest", 629);
        TraceTagged(Tag(s), "Error in sendto() call [errno=%d]\n", error);
        return false;
    }
    s.sentAt = now;
    s.resent = false;
    s.heardDuringLastBlock = false;
    s.deadline = now + s.rto;
    return true;
}

bool ReadNextBlock(TftpSession& s) {
    if (s.device) {
        ProgressInfo progress = ReadBlockFrom(s.device->image, s.packet.data() + kTftpHeaderSize, &s.count,
                                              &s.block, kTftpBlockSize);
        Report(s, false, STATUS_PROGRESS, &progress);
        return true;
    }
    return g_TftpCallbacks.ReadBlockHandler(s.packet.data() + kTftpHeaderSize, &s.count, &s.block,
                                            kTftpBlockSize) != 0 &&
           s.count <= kTftpBlockSize;
}

// The image a request of the device gets, after the request's own checks; null when it is refused.
const ImageDescriptor* ImageFor(const TftpSession& s, const unsigned char* request, std::size_t length) {
    const unsigned char* start = request + std::min<std::size_t>(length, 2);
    const unsigned char* end = request + length;
    if (s.device) {
        if (CheckRequestName(start, end, kRequestKindRead) == 0)
            return nullptr;
        if (s.device->image == nullptr || s.device->image->Data == nullptr) {
            TraceTagged(Tag(s), "No image to serve to this device\n");
            return nullptr;
        }
        return s.device->image;
    }
    if (g_TftpCallbacks.CheckFilenameHandler == nullptr || g_TftpCallbacks.ReadBlockHandler == nullptr ||
        g_TftpCallbacks.CheckFilenameHandler(start, end, kRequestKindRead) == 0)
        return nullptr;
    // The handler table's reader serves SelectedImage; a reader of the front end's own has no
    // size to check here.
    static const ImageDescriptor kUnknown{0, nullptr};
    return SelectedImage != nullptr ? SelectedImage : &kUnknown;
}

void OnAcknowledged(TftpSession& s, TftpLink& link, TftpClock::time_point now) {
    if (!s.resent) {
        AddRttSample(s.rtt, duration_cast<microseconds>(now - s.sentAt));
        s.rto = RetransmitTimeout(s.rtt, s.retransmit);
    }
    s.lastProgress = now;
    if (LastBlockOut(s)) {
        TraceTagged(Tag(s), "\n");
        EndPass(s, link, now, true);
        return;
    }
    if (!ReadNextBlock(s) || !SendBlock(s, link, now))
        FailRequest(s, link);
}

void StartPass(TftpSession& s, TftpLink& link, const TftpEvent& e, TftpClock::time_point now) {
    if (s.pass == 2) {
        Report(s, false, STATUS_PROGRAMMING);
        TraceTagged(Tag(s), "Server is programming the new firmware image.\n");
    } else {
        Report(s, false, STATUS_VERIFYING);
        TraceTagged(Tag(s), "Server is verifying the image integrity.\n");
    }
    if (ProcessTftpReadRequest(s, link, e.bytes.data(), e.bytes.size(), e.from, now) == 0)
        FailRequest(s, link);
}

void OnRequestWait(TftpSession& s, TftpLink& link, const TftpEvent& e, TftpClock::time_point now) {
    switch (e.kind) {
    case TftpEventKind::Stop:
        Finish(s, link, 0);
        return;
    case TftpEventKind::ReceiveFailed:
        TraceTagged(Tag(s), "Error in recvfrom() call [errno=%d]\n", e.error);
        Finish(s, link, 0);
        return;
    case TftpEventKind::Timeout:
        Report(s, true, ERR_NO_PROGRAMMING_REQUEST);
        TraceTagged(
            Tag(s), "No programming request within %lld s of the verification download\n",
            static_cast<long long>(
                std::chrono::duration_cast<std::chrono::seconds>(now - s.programmingWaitStart).count()));
        Finish(s, link, 0);
        return;
    case TftpEventKind::Datagram:
        break;
    }
    if (s.expectedClient && e.from.ip != *s.expectedClient) {
        TraceTagged(Tag(s), "Ignoring datagram from %s: expecting the request from %s\n",
                    Dotted(e.from).c_str(), s.expectedClient->ToString().c_str());
        return;
    }
    if (e.bytes.empty()) {
        Report(s, true, ERR_SOCKET_CLOSED);
        TraceTagged(Tag(s), "socket was closed\n");
        Finish(s, link, 0);
        return;
    }
    const unsigned opcode = Read16(e.bytes, 0);
    if (opcode != TFTP_RRQ && opcode != TFTP_WRQ) {
        // Only a request starts a pass: a late ACK or a stray packet between the passes must not
        // use up the programming download the device still needs.
        TraceTagged(Tag(s), "Ignoring a datagram of opcode %u from %s: not a request\n", opcode,
                    Dotted(e.from).c_str());
        return;
    }
    TraceTagged(Tag(s), "...received TFTP request from %s ...\n", Dotted(e.from).c_str());
    if (opcode == TFTP_WRQ) {
        SendTftpError(link, e.from, kTftpAccessViolation);
        TraceTagged(Tag(s), "Write was recieved ... and failed.");
        UsePass(s, link);
        return;
    }
    if (!s.device && g_TftpCallbacks.ReadBlockHandler == nullptr) {
        SendTftpError(link, e.from, kTftpAccessViolation);
        TraceTagged(Tag(s), "Read received and rejected.\n");
        UsePass(s, link);
        return;
    }
    StartPass(s, link, e, now);
}

// A read request for "image" from the device while its transfer runs.
void OnRequestDuringTransfer(TftpSession& s, TftpLink& link, const TftpEvent& e, TftpClock::time_point now) {
    if (LastBlockOut(s)) {
        // The device asks again only once it holds the whole image: its last ACK was lost.
        TraceTagged(Tag(s),
                    "Read request from %s while the ACK of the last block-%u was awaited: the device holds "
                    "the whole image\n",
                    Dotted(e.from).c_str(), s.block);
        s.lastProgress = now;
        const int pass = s.pass;
        EndPass(s, link, now, true);
        if (pass < 2 && s.state == TftpState::AwaitingRequest)
            TftpStateMachine(s, link, e, now);
        return;
    }
    // RFC 1350: a new request comes from a new transfer ID; before block 1 is acknowledged a
    // repeated request from the same port means the device did not get that block either.
    const bool samePort = e.from == s.client;
    if (!samePort || s.block == 1) {
        TraceTagged(Tag(s),
                    "Read request from %s during the transfer: the device restarted its download; "
                    "serving it again from block 1\n",
                    e.from.ToString().c_str());
        if (ProcessTftpReadRequest(s, link, e.bytes.data(), e.bytes.size(), e.from, now) == 0) {
            FailRequest(s, link);
            return;
        }
        s.resent = samePort;
        return;
    }
    TraceTagged(Tag(s), "Ignoring a repeated read request from %s: the transfer is at block-%u\n",
                e.from.ToString().c_str(), s.block);
}

void OnTransferTimer(TftpSession& s, TftpLink& link, const TftpEvent& e, TftpClock::time_point now) {
    const bool givingUp = s.retransmit.giveUp.count() > 0 && now - s.lastProgress >= s.retransmit.giveUp;
    if (!givingUp) {
        TraceTagged(Tag(s), "No ACK for block-%u after %lld ms: sending it again\n", s.block,
                    static_cast<long long>(duration_cast<milliseconds>(s.rto).count()));
        const std::span<const std::uint8_t> packet(s.packet.data(), s.packetSize);
        if (link.Send(packet, s.client) != static_cast<long>(packet.size())) {
            const int error = net::LastError();
            Report(s, true, ERR_SEND);
            TraceTagged(Tag(s), "Error in sendto() call [errno=%d]\n", error);
            FailTransfer(s, link);
            return;
        }
        s.resent = true;
        s.rto = std::min<microseconds>(s.rto * 2, s.retransmit.cap);
        s.deadline = now + s.rto;
        return;
    }
    if (LastBlockOut(s) && !s.heardDuringLastBlock) {
        // RFC 1350 section 6: the sender of the last ACK need not wait to see it arrive. A device
        // that went silent after the last block most likely has it and moved on.
        if (s.pass < 2)
            TraceTagged(Tag(s),
                        "No ACK for the last block-%u: the device may have left without sending it; "
                        "waiting for its programming request\n",
                        s.block);
        else
            TraceTagged(Tag(s), "The final acknowledgement was not received: the device very probably holds "
                                "every block\n");
        EndPass(s, link, now, false);
        return;
    }
    Report(s, true, ERR_RECEIVE);
    TraceTagged(Tag(s), "Error in recvfrom() call [errno=%d]\n", e.error);
    FailTransfer(s, link);
}

void OnSending(TftpSession& s, TftpLink& link, const TftpEvent& e, TftpClock::time_point now) {
    switch (e.kind) {
    case TftpEventKind::Stop:
        Finish(s, link, 0);
        return;
    case TftpEventKind::ReceiveFailed:
        Report(s, true, ERR_RECEIVE);
        TraceTagged(Tag(s), "Error in recvfrom() call [errno=%d]\n", e.error);
        FailTransfer(s, link);
        return;
    case TftpEventKind::Timeout:
        OnTransferTimer(s, link, e, now);
        return;
    case TftpEventKind::Datagram:
        break;
    }
    // Any port of the client's address counts: a device may answer from another port.
    if (e.from.ip != s.client.ip) {
        TraceTagged(Tag(s), "Ignoring datagram from %s: the transfer is with %s\n", Dotted(e.from).c_str(),
                    Dotted(s.client).c_str());
        return;
    }
    switch (WaitForAck(s, link, e)) {
    case AckOutcome::Acknowledged:
        OnAcknowledged(s, link, now);
        return;
    case AckOutcome::Waiting:
        return;
    case AckOutcome::Failed:
        FailTransfer(s, link);
        return;
    case AckOutcome::RequestAgain:
        OnRequestDuringTransfer(s, link, e, now);
        return;
    }
}

void Dispatch(TftpSession& s, TftpLink& link, const TftpEvent& e, TftpClock::time_point now) {
    switch (s.state) {
    case TftpState::AwaitingRequest:
        OnRequestWait(s, link, e, now);
        return;
    case TftpState::Sending:
        OnSending(s, link, e, now);
        return;
    case TftpState::Finished:
        return;
    }
}

} // namespace

TftpSession StartTftpSession(int firstPass, const TftpServerOptions& options,
                             std::shared_ptr<const TftpDeviceContext> device) {
    TftpSession s;
    s.device = std::move(device);
    s.expectedClient = options.expectedClient;
    s.retransmit = options.retransmit;
    s.programmingWait = options.programmingWait;
    s.rto = options.retransmit.initial;
    AwaitRequest(s, firstPass, std::nullopt);
    return s;
}

void TftpStateMachine(TftpSession& session, TftpLink& link, const TftpEvent& event,
                      TftpClock::time_point now) {
    Dispatch(session, link, event, now);
    while (session.pending && session.state != TftpState::Finished) {
        const TftpDatagram kept = *session.pending;
        session.pending.reset();
        TftpEvent next;
        next.bytes = std::span<const std::uint8_t>(kept.bytes.data(), kept.length);
        next.from = kept.from;
        Dispatch(session, link, next, now);
    }
}

int ProcessTftpReadRequest(TftpSession& session, TftpLink& link, const unsigned char* request,
                           std::size_t length, const net::Endpoint& client, TftpClock::time_point now) {
    const ImageDescriptor* image = ImageFor(session, request, length);
    if (image == nullptr)
        return 0;
    if (image->Size > kTftpMaxImageSize) {
        TraceTagged(Tag(session), "Image of %u bytes refused: a TFTP transfer holds at most %u bytes\n",
                    static_cast<unsigned>(image->Size), static_cast<unsigned>(kTftpMaxImageSize));
        return 0;
    }
    session.state = TftpState::Sending;
    session.client = client;
    session.block = 0;
    session.count = 0;
    session.lastProgress = now;
    session.pending.reset();
    // The block is read straight into the packet, after its 4-byte header.
    if (!ReadNextBlock(session))
        return 0;
    return SendBlock(session, link, now) ? 1 : 0;
}

AckOutcome WaitForAck(TftpSession& session, TftpLink& link, const TftpEvent& datagram) {
    const unsigned opcode = Read16(datagram.bytes, 0);
    const unsigned number = Read16(datagram.bytes, 2);
    if (opcode == TFTP_ACK) {
        if (number == session.block)
            return AckOutcome::Acknowledged;
        if (datagram.from.port != session.client.port) {
            // RFC 1350: a packet from another transfer ID is not part of this transfer, such as
            // the late ACKs of a download that the device has since restarted.
            TraceTagged(Tag(session), "Ignoring ACK for (%d) from %s: not the transfer's port\n",
                        static_cast<int>(number), datagram.from.ToString().c_str());
            return AckOutcome::Waiting;
        }
        TraceTagged(Tag(session),
                    "client returned *wrong* ACK\n .. got ACK for (%d), expected ACK for (%d)\n",
                    static_cast<int>(number), static_cast<int>(session.block));
        session.heardDuringLastBlock = true;
        if (DrainSocket(link, session.client, session.block, session.pending) < 0) {
            Report(session, true, ERR_RECEIVE);
            session.pending.reset();
            return AckOutcome::Failed;
        }
        if (number == session.block - 1) {
            TraceTagged(Tag(session), "We need to resend block-%d\n", static_cast<int>(session.block));
            // RFC 1123 4.2.3.1: never answer a duplicate ACK with DATA (Sorcerer's Apprentice);
            // only the timer resends.
            return AckOutcome::Waiting;
        }
        // Every resent block draws one more ACK of it, and a slow device or a loaded host can
        // deliver the last of them after two or more further blocks have been acknowledged.
        // Such a late duplicate of a block sent and acknowledged says nothing about the
        // transfer; failing on it would leave a device that has erased its flash without its
        // image. Block numbers never wrap: larger images are refused.
        if (number >= 1 && number + 2 <= session.block) {
            TraceTagged(Tag(session), "Ignoring a late duplicate ACK for (%d): block-%d is awaited\n",
                        static_cast<int>(number), static_cast<int>(session.block));
            return AckOutcome::Waiting;
        }
        session.pending.reset();
        return AckOutcome::Failed;
    }
    if (opcode == TFTP_ERROR) {
        const std::size_t textSize =
            datagram.bytes.size() > kTftpHeaderSize ? datagram.bytes.size() - kTftpHeaderSize : 0;
        const std::string text = PrintableText(std::span<const unsigned char>(
            datagram.bytes.data() + std::min(datagram.bytes.size(), kTftpHeaderSize), textSize));
        TraceTagged(Tag(session), "client returned TFTP_ERROR (%s) \n", text.c_str());
        return AckOutcome::Failed;
    }
    if (IsImageRequest(datagram.bytes))
        return AckOutcome::RequestAgain;
    // Counting this as the ACK would mark a block delivered that nobody received.
    session.heardDuringLastBlock = true;
    TraceTagged(Tag(session), "Error: could not undestand opcode.\n");
    return AckOutcome::Waiting;
}

long DrainSocket(TftpLink& link, const net::Endpoint& client, unsigned awaitedBlock,
                 std::optional<TftpDatagram>& kept) {
    long total = 0;
    TftpDatagram d;
    for (;;) {
        d.bytes.fill(0);
        const net::RecvResult r = link.TakeQueued(d.bytes);
        if (r.status == net::RecvStatus::TimedOut)
            return total;
        if (r.status != net::RecvStatus::Data)
            return -1;
        d.length = r.size;
        d.from = r.from;
        const std::span<const std::uint8_t> bytes(d.bytes.data(), d.length);
        const bool fromClient = r.from.ip == client.ip;
        const bool awaitedAck = Read16(bytes, 0) == TFTP_ACK && Read16(bytes, 2) == awaitedBlock;
        if (fromClient && (awaitedAck || IsImageRequest(bytes))) {
            kept = d;
            return total;
        }
        total += static_cast<long>(r.size);
    }
}

void AddRttSample(RttEstimate& rtt, std::chrono::microseconds sample) {
    if (!rtt.valid) {
        rtt.srtt = sample;
        rtt.rttvar = sample / 2;
        rtt.valid = true;
        return;
    }
    const microseconds delta = rtt.srtt > sample ? rtt.srtt - sample : sample - rtt.srtt;
    rtt.rttvar = (3 * rtt.rttvar + delta) / 4;
    rtt.srtt = (7 * rtt.srtt + sample) / 8;
}

std::chrono::microseconds RetransmitTimeout(const RttEstimate& rtt, const RetransmitPolicy& policy) {
    if (!rtt.valid)
        return policy.initial;
    const microseconds rto = rtt.srtt + std::max<microseconds>(milliseconds(1), 4 * rtt.rttvar);
    return std::clamp<microseconds>(rto, policy.floor, std::max<microseconds>(policy.floor, policy.cap));
}
