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

// The block that ends the transfer is out (RFC 1350: the first block shorter than the block size).
bool LastBlockOut(const TftpSession& s) {
    return !s.negotiating && s.lastBlock != 0 && s.block == s.lastBlock;
}

void AwaitRequest(TftpSession& s, int pass, std::optional<TftpClock::time_point> programmingDeadline) {
    s.state = TftpState::AwaitingRequest;
    s.pass = pass;
    s.deadline = programmingDeadline;
    s.requestDeadline = programmingDeadline;
    s.negotiating = false;
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

// Sends the packet as it is: a DATA block, or the OACK.
bool SendPacket(TftpSession& s, TftpLink& link) {
    const std::span<const std::uint8_t> packet(s.packet.data(), s.packetSize);
    if (link.Send(packet, s.client) != static_cast<long>(packet.size())) {
        const int error = net::LastError();
        Report(s, true, ERR_SEND);
        TraceTagged(Tag(s), "%s:%d - error in sendto() call.\n", "ProcessTftpReadRequest", 629);
        TraceTagged(Tag(s), "Error in sendto() call [errno=%d]\n", error);
        return false;
    }
    return true;
}

// Reads block `number` into the packet, after its header. The first read of a block goes through
// the image's reader, which raises its progress; a block read again for a window sent again comes
// from the image's bytes, quietly.
bool ReadBlock(TftpSession& s, unsigned number) {
    std::uint8_t* into = s.packet.data() + kTftpHeaderSize;
    unsigned before = number - 1;
    if (number <= s.highestRead) {
        ReadBlockFrom(s.image, into, &s.count, &before, s.blockSize);
    } else if (s.device) {
        ProgressInfo progress = ReadBlockFrom(s.device->image, into, &s.count, &before, s.blockSize);
        Report(s, false, STATUS_PROGRESS, &progress);
    } else if (g_TftpCallbacks.ReadBlockHandler(into, &s.count, &before, s.blockSize) == 0 ||
               s.count > s.blockSize) {
        return false;
    }
    s.highestRead = std::max(s.highestRead, number);
    s.block = number;
    if (s.count < s.blockSize)
        s.lastBlock = number;
    s.packet[0] = 0;
    s.packet[1] = TFTP_DATA;
    s.packet[2] = static_cast<std::uint8_t>((number >> 8) & 0xFF);
    s.packet[3] = static_cast<std::uint8_t>(number & 0xFF);
    s.packetSize = kTftpHeaderSize + s.count;
    return true;
}

void ArmTimer(TftpSession& s, TftpClock::time_point now, bool resend) {
    s.sentAt = now;
    s.resent = resend;
    if (!resend)
        s.heardDuringLastBlock = false;
    s.deadline = now + s.rto;
}

// Sends the blocks from `first` to the window's end (acked + window), or to the last block.
// False when a block cannot be read or sent.
bool SendWindow(TftpSession& s, TftpLink& link, unsigned first, TftpClock::time_point now, bool resend) {
    const unsigned end = s.acked + s.window;
    for (unsigned number = first; number <= end; ++number) {
        if (s.lastBlock != 0 && number > s.lastBlock)
            break;
        if (!ReadBlock(s, number) || !SendPacket(s, link))
            return false;
    }
    ArmTimer(s, now, resend);
    return true;
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

void OnAcknowledged(TftpSession& s, TftpLink& link, unsigned number, TftpClock::time_point now) {
    // A window is acknowledged once the client holds all of it, so the OACK's quick round trip
    // says nothing of how long a window takes: timed from it, the timer would send the first
    // window again while the client still takes it in, and a boot loader whose few receive
    // buffers overflow then waits for its own time-out.
    if (!s.resent && !(s.negotiating && s.window > 1)) {
        AddRttSample(s.rtt, duration_cast<microseconds>(now - s.sentAt));
        s.rto = RetransmitTimeout(s.rtt, s.retransmit);
    }
    s.lastProgress = now;
    if (s.negotiating) {
        s.negotiating = false;
        number = 0;
    }
    s.acked = number;
    if (s.lastBlock != 0 && s.acked == s.lastBlock) {
        TraceTagged(Tag(s), "\n");
        EndPass(s, link, now, true);
        return;
    }
    // RFC 7440: an ACK inside the window means everything up to it arrived; go on from there.
    if (!SendWindow(s, link, s.acked + 1, now, false))
        FailRequest(s, link);
}

enum class Begin {
    Serving,        // the OACK or the first DATA is out
    Refused,        // the request is refused or its first packet failed: the worker ends
    OptionsRefused, // ERROR 8 went back; the pass still waits for a request
};

Begin BeginTransfer(TftpSession& s, TftpLink& link, const unsigned char* request, std::size_t length,
                    const net::Endpoint& client, TftpClock::time_point now);

void StartPass(TftpSession& s, TftpLink& link, const TftpEvent& e, TftpClock::time_point now) {
    if (s.announcedPass != s.pass) {
        s.announcedPass = s.pass;
        if (s.pass == 2) {
            Report(s, false, STATUS_PROGRAMMING);
            TraceTagged(Tag(s), "Server is programming the new firmware image.\n");
        } else {
            Report(s, false, STATUS_VERIFYING);
            TraceTagged(Tag(s), "Server is verifying the image integrity.\n");
        }
    }
    switch (BeginTransfer(s, link, e.bytes.data(), e.bytes.size(), e.from, now)) {
    case Begin::Serving:
    case Begin::OptionsRefused:
        return;
    case Begin::Refused:
        FailRequest(s, link);
        return;
    }
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

// Serves a request that came during the transfer from block 1 again (or answers it with a new OACK).
void Restart(TftpSession& s, TftpLink& link, const TftpEvent& e, TftpClock::time_point now, bool samePort) {
    switch (BeginTransfer(s, link, e.bytes.data(), e.bytes.size(), e.from, now)) {
    case Begin::Serving:
        s.resent = samePort;
        return;
    case Begin::OptionsRefused:
        AwaitRequest(s, s.pass, s.requestDeadline);
        return;
    case Begin::Refused:
        FailRequest(s, link);
        return;
    }
}

// A read request for "image" from the device while its transfer runs.
void OnRequestDuringTransfer(TftpSession& s, TftpLink& link, const TftpEvent& e, TftpClock::time_point now) {
    if (LastBlockOut(s) && s.acked + 1 == s.lastBlock) {
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
    // repeated request from the same port means the device did not get that block (or the OACK)
    // either.
    const bool samePort = e.from == s.client;
    if (!samePort || s.negotiating || s.acked == 0) {
        TraceTagged(Tag(s),
                    "Read request from %s during the transfer: the device restarted its download; "
                    "serving it again from block 1\n",
                    e.from.ToString().c_str());
        Restart(s, link, e, now, samePort);
        return;
    }
    // From the same port after block 1: a copy of the old request that the network delayed, while
    // the device goes on acknowledging; a device that restarted its download asks again instead.
    if (s.repeatedRequest && !s.ackedSinceRequest) {
        TraceTagged(Tag(s),
                    "Read request from %s again, with no ACK since the last one: the device restarted its "
                    "download from the same port; serving it again from block 1\n",
                    e.from.ToString().c_str());
        Restart(s, link, e, now, samePort);
        return;
    }
    s.repeatedRequest = true;
    s.ackedSinceRequest = false;
    TraceTagged(Tag(s), "Ignoring a repeated read request from %s: the transfer is at block-%u\n",
                e.from.ToString().c_str(), s.block);
}

void OnTransferTimer(TftpSession& s, TftpLink& link, const TftpEvent& e, TftpClock::time_point now) {
    const bool givingUp = s.retransmit.giveUp.count() > 0 && now - s.lastProgress >= s.retransmit.giveUp;
    if (!givingUp) {
        const long long waited = static_cast<long long>(duration_cast<milliseconds>(s.rto).count());
        s.rto = std::min<microseconds>(s.rto * 2, s.retransmit.cap);
        if (s.negotiating || s.window == 1) {
            if (s.negotiating)
                TraceTagged(Tag(s), "No ACK for the OACK after %lld ms: sending it again\n", waited);
            else
                TraceTagged(Tag(s), "No ACK for block-%u after %lld ms: sending it again\n", s.block, waited);
            const std::span<const std::uint8_t> packet(s.packet.data(), s.packetSize);
            if (link.Send(packet, s.client) != static_cast<long>(packet.size())) {
                const int error = net::LastError();
                Report(s, true, ERR_SEND);
                TraceTagged(Tag(s), "Error in sendto() call [errno=%d]\n", error);
                FailTransfer(s, link);
                return;
            }
            ArmTimer(s, now, true);
            return;
        }
        TraceTagged(Tag(s), "No ACK after block-%u for %lld ms: sending blocks %u to %u again\n", s.acked,
                    waited, s.acked + 1, s.block);
        if (!SendWindow(s, link, s.acked + 1, now, true))
            FailTransfer(s, link);
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
        OnAcknowledged(s, link, Read16(e.bytes, 2), now);
        return;
    case AckOutcome::Waiting:
        return;
    case AckOutcome::Failed:
        FailTransfer(s, link);
        return;
    case AckOutcome::RequestAgain:
        OnRequestDuringTransfer(s, link, e, now);
        return;
    case AckOutcome::Declined:
        // RFC 2347: the client ends a negotiation it does not accept with an ERROR. The pass
        // still waits for the device's request; a plain one is served with today's blocks.
        TraceTagged(Tag(s), "The client declined the OACK: waiting for its next request\n");
        AwaitRequest(s, s.pass, s.requestDeadline);
        return;
    }
}

// The options after the request's mode, or nothing when the request has none.
std::span<const std::uint8_t> OptionBytes(const unsigned char* request, std::size_t length) {
    const unsigned char* end = request + length;
    const unsigned char* at = request + std::min<std::size_t>(length, 2);
    for (int field = 0; field < 2; ++field) {
        const void* nul = at < end ? std::memchr(at, 0, static_cast<std::size_t>(end - at)) : nullptr;
        if (nul == nullptr)
            return {};
        at = static_cast<const unsigned char*>(nul) + 1;
    }
    return std::span<const std::uint8_t>(at, static_cast<std::size_t>(end - at));
}

// RFC 1350: "The mode field contains the string "netascii", "octet", or "mail" (or any combination
// of upper and lower case, such as "NETASCII", NetAscii", etc.)".
std::vector<unsigned char> WithLowerCaseMode(const unsigned char* request, std::size_t length) {
    std::vector<unsigned char> copy(request, request + length);
    const auto name =
        std::find(copy.begin() + static_cast<long>(std::min<std::size_t>(length, 2)), copy.end(), 0);
    for (auto c = name == copy.end() ? name : name + 1; c != copy.end() && *c != 0; ++c)
        if (*c >= 'A' && *c <= 'Z')
            *c = static_cast<unsigned char>(*c - 'A' + 'a');
    return copy;
}

std::string OackText(const std::vector<std::uint8_t>& oack) {
    std::string text;
    for (std::size_t at = 2; at < oack.size(); ++at)
        text += oack[at] == 0 ? ' ' : static_cast<char>(oack[at]);
    if (!text.empty())
        text.pop_back();
    return text;
}

Begin BeginTransfer(TftpSession& s, TftpLink& link, const unsigned char* request, std::size_t length,
                    const net::Endpoint& client, TftpClock::time_point now) {
    std::vector<unsigned char> lowered;
    if (s.modeAnyCase) {
        lowered = WithLowerCaseMode(request, length);
        request = lowered.data();
    }
    const ImageDescriptor* image = ImageFor(s, request, length);
    if (image == nullptr)
        return Begin::Refused;
    TftpNegotiation n;
    const std::span<const std::uint8_t> options = OptionBytes(request, length);
    if (s.negotiateOptions && !options.empty()) {
        // Without the image's bytes (a front end's own reader) there is no size to tell and no
        // block to read again for a window.
        const bool known = image->Data != nullptr;
        n = NegotiateOptions(options, known ? std::optional<std::uint32_t>(image->Size) : std::nullopt,
                             link.MaxBlockSize(client), known);
        if (n.malformed) {
            SendTftpError(link, client, kTftpOptionRefused);
            TraceTagged(Tag(s), "Request from %s refused: its option list does not end with a NUL\n",
                        client.ToString().c_str());
            return Begin::OptionsRefused;
        }
    }
    if (image->Size > TftpMaxImageSize(n.blockSize)) {
        TraceTagged(Tag(s), "Image of %u bytes refused: a TFTP transfer holds at most %llu bytes\n",
                    static_cast<unsigned>(image->Size),
                    static_cast<unsigned long long>(TftpMaxImageSize(n.blockSize)));
        return Begin::Refused;
    }
    s.state = TftpState::Sending;
    s.client = client;
    s.image = image;
    s.block = 0;
    s.acked = 0;
    s.count = 0;
    s.lastBlock = 0;
    s.highestRead = 0;
    s.blockSize = n.blockSize;
    s.window = n.windowSize;
    s.negotiated = !n.oack.empty();
    s.negotiating = s.negotiated;
    s.repeatedRequest = false;
    s.ackedSinceRequest = false;
    s.lastProgress = now;
    s.pending.reset();
    s.packet.assign(std::max<std::size_t>(kTftpHeaderSize + s.blockSize, n.oack.size()), 0);
    if (n.timeoutSeconds != 0 && !s.rtt.valid) {
        // RFC 2349: the client's interval. Only the first wait follows it; the measured round
        // trip takes over, and a transfer still gives up when it makes no progress.
        std::chrono::milliseconds wait = std::chrono::seconds(n.timeoutSeconds);
        if (s.retransmit.giveUp.count() > 0)
            wait = std::min(wait, s.retransmit.giveUp / 2);
        s.rto = wait;
    }
    if (s.negotiating) {
        std::copy(n.oack.begin(), n.oack.end(), s.packet.begin());
        s.packetSize = n.oack.size();
        TraceTagged(Tag(s), "Options answered with an OACK: %s\n", OackText(n.oack).c_str());
        if (!SendPacket(s, link))
            return Begin::Refused;
        ArmTimer(s, now, false);
        return Begin::Serving;
    }
    return SendWindow(s, link, 1, now, false) ? Begin::Serving : Begin::Refused;
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
    s.negotiateOptions = options.negotiateOptions;
    s.modeAnyCase = options.modeAnyCase;
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
    return BeginTransfer(session, link, request, length, client, now) == Begin::Serving ? 1 : 0;
}

AckOutcome WaitForAck(TftpSession& session, TftpLink& link, const TftpEvent& datagram) {
    const unsigned opcode = Read16(datagram.bytes, 0);
    const unsigned number = Read16(datagram.bytes, 2);
    if (opcode == TFTP_ACK) {
        if (datagram.from.port == session.client.port)
            session.ackedSinceRequest = true;
        const bool awaited =
            session.negotiating ? number == 0 : number > session.acked && number <= session.block;
        if (awaited)
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
        if (session.window == 1 && DrainSocket(link, session.client, session.block, session.pending) < 0) {
            Report(session, true, ERR_RECEIVE);
            session.pending.reset();
            return AckOutcome::Failed;
        }
        if (!session.negotiating && number == session.acked) {
            TraceTagged(Tag(session), "We need to resend block-%d\n", static_cast<int>(session.acked + 1));
            // RFC 1123 4.2.3.1: never answer a duplicate ACK with DATA (Sorcerer's Apprentice);
            // only the timer resends. RFC 7440 keeps the rule for windows.
            return AckOutcome::Waiting;
        }
        // Every resent block draws one more ACK of it, and a slow device or a loaded host can
        // deliver the last of them after two or more further blocks have been acknowledged.
        // Such a late duplicate of a block sent and acknowledged says nothing about the
        // transfer; failing on it would leave a device that has erased its flash without its
        // image. Block numbers never wrap: larger images are refused. After an OACK, block 0 was
        // acknowledged too.
        if (!session.negotiating && number < session.acked && (number >= 1 || session.negotiated)) {
            TraceTagged(Tag(session), "Ignoring a late duplicate ACK for (%d): block-%d is awaited\n",
                        static_cast<int>(number), static_cast<int>(session.acked + 1));
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
        return session.negotiating ? AckOutcome::Declined : AckOutcome::Failed;
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
