#include "engine/events.h"
#include "engine/trace.h"
#include "engine/upgrade_record.h"
#include "tftp/tftp_callbacks.h"
#include "tftp/tftp_server.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <string_view>

namespace {

constexpr std::chrono::milliseconds kStopPollInterval{20};

bool StopRequested(const std::atomic<bool>* stop) {
    return stop != nullptr && stop->load();
}

unsigned Read16(const std::uint8_t* p) {
    return (static_cast<unsigned>(p[0]) << 8) | p[1];
}

// The bytes from `from` up to the first NUL before `end`, or null if there is none.
const unsigned char* FindNul(const unsigned char* from, const unsigned char* end) {
    if (from >= end)
        return nullptr;
    const void* nul = std::memchr(from, 0, static_cast<std::size_t>(end - from));
    return static_cast<const unsigned char*>(nul);
}

bool TextIs(const unsigned char* begin, const unsigned char* end, std::string_view expected) {
    return static_cast<std::size_t>(end - begin) == expected.size() &&
           std::memcmp(begin, expected.data(), expected.size()) == 0;
}

} // namespace

int CheckFilename(const unsigned char* start, const unsigned char* end, int kind) {
    const unsigned char* nameEnd = FindNul(start, end);
    if (nameEnd == nullptr) {
        TraceMessage("%s:%d - Could not find filename in request.\n", "CheckFilename", 308);
        return 0;
    }
    if (kind == kRequestKindRead && !TextIs(start, nameEnd, "image")) {
        TraceMessage("%s:%d - Bad image name requested.\n", "CheckFilename", 313);
        return 0;
    }
    const unsigned char* modeEnd = FindNul(nameEnd + 1, end);
    if (modeEnd == nullptr) {
        TraceMessage("%s:%d - Could not find transfer mode in request.\n", "CheckFilename", 332);
        return 0;
    }
    if (!TextIs(nameEnd + 1, modeEnd, "octet")) {
        TraceMessage("%s:%d - Bad transfer mode requested.\n", "CheckFilename", 336);
        return 0;
    }
    const ImageDescriptor* selected = nullptr;
    switch (SelectImage(GetImageToUse(), &selected)) {
    case ImageSelection::Selected:
        SelectedImage = selected;
        return 1;
    case ImageSelection::FileImageMissing:
        TraceMessage("%s:%d - FileImage.Data is NULL.\n", "CheckFilename", 366);
        return 0;
    case ImageSelection::NoImage:
        break;
    }
    TraceMessage("%s:%d - Error in g_TftpConfigData.ImageToUse.\n", "CheckFilename", 374);
    return 0;
}

int ReadImageBlock(unsigned char* destination, unsigned* count, unsigned* block, unsigned blockSize) {
    *block += 1;
    const std::uint32_t size = SelectedImage != nullptr ? SelectedImage->Size : 0;
    const std::uint64_t offset = static_cast<std::uint64_t>(*block - 1) * blockSize;
    // Past the end (possible only for a caller that numbers blocks on its own) there is nothing left.
    if (offset >= size)
        *count = 0;
    else if (offset + blockSize > size)
        *count = static_cast<unsigned>(size - offset);
    else
        *count = blockSize;
    if (*count > 0)
        std::memcpy(destination, SelectedImage->Data + offset, *count);
    ProgressInfo progress{static_cast<std::int32_t>(static_cast<std::uint64_t>(*block) * blockSize),
                          static_cast<std::int32_t>(size)};
    RaiseStatus(STATUS_PROGRESS, &progress);
    return 1;
}

long DrainSocket(net::Socket& socket) {
    long total = 0;
    std::array<std::uint8_t, kTftpPacketSize> buffer{};
    while (socket.BytesAvailable() > 0) {
        net::RecvResult r = socket.RecvFrom(buffer);
        if (r.status != net::RecvStatus::Data) {
            RaiseError(ERR_RECEIVE);
            return -1;
        }
        total += static_cast<long>(r.size);
    }
    return total;
}

int WaitForAck(net::Socket& socket, unsigned block, const AckWait& wait) {
    using Clock = std::chrono::steady_clock;
    const RetransmitPolicy& policy = wait.retransmit;
    const bool timed = policy.timeouts > 0 && policy.initial.count() > 0;
    std::chrono::milliseconds period = policy.initial;
    int expiries = 0;
    Clock::time_point deadline = Clock::now() + period;
    std::array<std::uint8_t, kTftpPacketSize> buffer{};

    for (;;) {
        std::memset(buffer.data(), 0, buffer.size());
        net::RecvResult r;
        if (timed || wait.stop != nullptr) {
            auto slice = std::chrono::milliseconds::max();
            if (timed) {
                // Stray datagrams do not restart the timer: the deadline holds until the ACK comes.
                auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
                slice = std::max(left, std::chrono::milliseconds(0));
            }
            if (wait.stop != nullptr)
                slice = std::min(slice, kStopPollInterval);
            r = socket.RecvFromFor(buffer, slice);
            if (StopRequested(wait.stop))
                return kAckFailed;
            if (r.status == net::RecvStatus::TimedOut) {
                if (!timed || Clock::now() < deadline)
                    continue;
                if (++expiries >= policy.timeouts) {
                    RaiseError(ERR_RECEIVE);
                    TraceMessage("Error in recvfrom() call [errno=%d]\n", r.error);
                    return kAckFailed;
                }
                // RFC 1123 4.2.3.2: only the timer resends, so a duplicate ACK never doubles traffic.
                TraceMessage("No ACK for block-%u after %lld ms: sending it again\n", block,
                             static_cast<long long>(period.count()));
                long sent = socket.SendTo(wait.packet, wait.client);
                if (sent != static_cast<long>(wait.packet.size())) {
                    int error = net::LastError();
                    RaiseError(ERR_SEND);
                    TraceMessage("Error in sendto() call [errno=%d]\n", error);
                    return kAckFailed;
                }
                period = std::min(period * 2, policy.cap);
                deadline = Clock::now() + period;
                continue;
            }
        } else {
            r = socket.RecvFrom(buffer);
        }
        if (r.status != net::RecvStatus::Data) {
            RaiseError(ERR_RECEIVE);
            TraceMessage("Error in recvfrom() call [errno=%d]\n", r.error);
            return kAckFailed;
        }
        // Any port of the client's address counts: a device may answer from another port.
        if (r.from.ip != wait.client.ip) {
            TraceMessage("Ignoring datagram from %s: the transfer is with %s\n", r.from.ip.ToString().c_str(),
                         wait.client.ip.ToString().c_str());
            continue;
        }
        const unsigned opcode = Read16(buffer.data());
        const unsigned number = Read16(buffer.data() + 2);
        if (opcode == TFTP_ACK) {
            if (number == block)
                return kAckReceived;
            TraceMessage("client returned *wrong* ACK\n .. got ACK for (%d), expected ACK for (%d)\n",
                         static_cast<int>(number), static_cast<int>(block));
            DrainSocket(socket);
            if (number == block - 1) {
                TraceMessage("We need to resend block-%d\n", static_cast<int>(block));
                continue;
            }
            return kAckFailed;
        }
        if (opcode == TFTP_ERROR) {
            std::size_t textSize = r.size > kTftpHeaderSize ? r.size - kTftpHeaderSize : 0;
            std::string text =
                PrintableText(std::span<const unsigned char>(buffer.data() + kTftpHeaderSize, textSize));
            TraceMessage("client returned TFTP_ERROR (%s) \n", text.c_str());
            return kAckFailed;
        }
        // Counting this as the ACK would mark a block delivered that nobody received.
        TraceMessage("Error: could not undestand opcode.\n");
    }
}

int ProcessTftpReadRequest(net::Socket& socket, const unsigned char* request, std::size_t length,
                           const net::Endpoint& client, const TftpServerOptions& options) {
    if (g_TftpCallbacks.CheckFilenameHandler == nullptr || g_TftpCallbacks.ReadBlockHandler == nullptr)
        return 0;
    const unsigned char* end = request + length;
    if (g_TftpCallbacks.CheckFilenameHandler(request + std::min<std::size_t>(length, 2), end,
                                             kRequestKindRead) == 0)
        return 0;
    if (SelectedImage != nullptr && SelectedImage->Size > kTftpMaxImageSize) {
        TraceMessage("Image of %u bytes refused: a TFTP transfer holds at most %u bytes\n",
                     static_cast<unsigned>(SelectedImage->Size), static_cast<unsigned>(kTftpMaxImageSize));
        return 0;
    }

    // The block is read straight into the packet, after its 4-byte header.
    std::array<std::uint8_t, kTftpPacketSize> packet{};
    unsigned char* data = packet.data() + kTftpHeaderSize;
    unsigned count = 0;
    unsigned block = 0;
    if (g_TftpCallbacks.ReadBlockHandler(data, &count, &block, kTftpBlockSize) == 0 || count > kTftpBlockSize)
        return 0;
    AckWait wait{client, {}, options.retransmit, options.stop};
    for (;;) {
        packet[0] = 0;
        packet[1] = TFTP_DATA;
        packet[2] = static_cast<std::uint8_t>((block >> 8) & 0xFF);
        packet[3] = static_cast<std::uint8_t>(block & 0xFF);
        wait.packet = std::span<const std::uint8_t>(packet.data(), count + kTftpHeaderSize);
        long sent = socket.SendTo(wait.packet, client);
        if (sent != static_cast<long>(wait.packet.size())) {
            int error = net::LastError();
            RaiseError(ERR_SEND);
            TraceMessage("%s:%d - error in sendto() call.\n", "ProcessTftpReadRequest", 629);
            TraceMessage("Error in sendto() call [errno=%d]\n", error);
            return 0;
        }
        if (WaitForAck(socket, block, wait) == kAckFailed) {
            if (!StopRequested(options.stop))
                TraceMessage("%s:%d - Correct ACK not recieved...bailing out.\n", "ProcessTftpReadRequest",
                             637);
            return 0;
        }
        // RFC 1350: a block shorter than 512 bytes ends the transfer.
        if (count != kTftpBlockSize) {
            TraceMessage("\n");
            return 1;
        }
        if (g_TftpCallbacks.ReadBlockHandler(data, &count, &block, kTftpBlockSize) == 0 ||
            count > kTftpBlockSize)
            return 0;
    }
}

int ProcessTftpReadRequest(net::Socket& socket, const unsigned char* request, std::size_t length,
                           const net::Endpoint& client) {
    return ProcessTftpReadRequest(socket, request, length, client, GetTftpServerOptions());
}
