#include "tftp/tftp_server.h"

#include "engine/events.h"
#include "engine/trace.h"
#include "tftp/tftp_callbacks.h"

#include <array>
#include <cstring>
#include <mutex>
#include <system_error>
#include <thread>

const char* const TftpErrorMessages[kTftpErrorMessageCount] = {
    "Undefined error code",   "File not found",
    "Access violation",       "Disk full or allocation exceeded",
    "Illegal TFTP operation", "Unknown transfer ID",
    "File already exists",    "No such user",
};

namespace {

std::mutex g_optionsLock;
TftpServerOptions g_options;

// How often a worker with a stop flag looks at it while nothing arrives.
constexpr std::chrono::milliseconds kStopPollInterval{20};

bool StopRequested(const TftpServerOptions& options) {
    return options.stop != nullptr && options.stop->load();
}

enum class RequestWait { Datagram, Failed, Stopped };

// One datagram on the server port that the worker will look at. With an expected client, datagrams
// from any other host are traced and skipped here, so they use up no pass and cannot end the worker.
RequestWait ReceiveRequest(net::Socket& socket, std::span<std::uint8_t> buffer,
                           const TftpServerOptions& options, net::RecvResult& result) {
    for (;;) {
        std::memset(buffer.data(), 0, buffer.size());
        if (options.stop != nullptr) {
            result = socket.RecvFromFor(buffer, kStopPollInterval);
            if (StopRequested(options))
                return RequestWait::Stopped;
            if (result.status == net::RecvStatus::TimedOut)
                continue;
        } else {
            result = socket.RecvFrom(buffer);
        }
        if (result.status != net::RecvStatus::Data)
            return RequestWait::Failed;
        if (options.expectedClient && result.from.ip != *options.expectedClient) {
            TraceMessage("Ignoring datagram from %s: expecting the request from %s\n",
                         result.from.ip.ToString().c_str(), options.expectedClient->ToString().c_str());
            continue;
        }
        return RequestWait::Datagram;
    }
}

} // namespace

void SetTftpServerOptions(const TftpServerOptions& options) {
    std::lock_guard<std::mutex> guard(g_optionsLock);
    g_options = options;
}

TftpServerOptions GetTftpServerOptions() {
    std::lock_guard<std::mutex> guard(g_optionsLock);
    return g_options;
}

net::Socket OpenTftpSocket(const TftpServerOptions& options) {
    net::StartupGuard startup;
    if (!startup.ok()) {
        RaiseError(ERR_SOCKETS_SETUP);
        TraceMessage("Error in WSAStartup() call [errno=%d]\n", startup.error());
        return {};
    }
    net::Socket socket = net::Socket::Udp();
    if (!socket) {
        int error = net::LastError();
        RaiseError(ERR_TFTP_SOCKET);
        TraceMessage("Error in socket() call [errno=%d]\n", error);
        return {};
    }
    if (!socket.Bind(net::Endpoint{net::kAnyAddress, options.port})) {
        int error = net::LastError();
        RaiseError(ERR_TFTP_BIND);
        TraceMessage("Error in bind() call [errno=%d]\n", error);
        socket.Close();
        return {};
    }
    startup.release();
    return socket;
}

net::Socket OpenTftpSocket() {
    return OpenTftpSocket(GetTftpServerOptions());
}

int CheckTftpPort(const TftpServerOptions& options) {
    net::Socket socket = OpenTftpSocket(options);
    if (!socket)
        return 0;
    socket.Close();
    net::Cleanup();
    return 1;
}

int CheckTftpPort() {
    return CheckTftpPort(GetTftpServerOptions());
}

int StartTftpServer(int firstPass, const TftpServerOptions& options) {
    try {
        std::thread([firstPass, options] { TftpServerThread(firstPass, options); }).detach();
    } catch (const std::system_error& e) {
        TraceMessage("Error in CreateThread() call [errno=%d]\n", e.code().value());
        return 0;
    }
    return 1;
}

int StartTftpServer(int firstPass) {
    return StartTftpServer(firstPass, GetTftpServerOptions());
}

void SendTftpError(net::Socket& socket, const net::Endpoint& client, int code) {
    const char* message = TftpErrorMessages[(code >= 0 && code < kTftpErrorMessageCount) ? code : 0];
    std::array<std::uint8_t, kTftpPacketSize> packet{};
    std::size_t length = std::strlen(message);
    packet[0] = 0;
    packet[1] = TFTP_ERROR;
    packet[2] = static_cast<std::uint8_t>((code >> 8) & 0xFF);
    packet[3] = static_cast<std::uint8_t>(code & 0xFF);
    std::memcpy(packet.data() + kTftpHeaderSize, message, length);
    std::size_t total = kTftpHeaderSize + length + 1; // the NUL is already there
    long sent = socket.SendTo(std::span<const std::uint8_t>(packet.data(), total), client);
    if (sent != static_cast<long>(total))
        TraceMessage("ERROR: nak errno=%d.", net::LastError());
}

int TftpServerThread(int firstPass, const TftpServerOptions& options) {
    TraceMessage("\ntftp server thread started...\n");
    net::Socket socket = OpenTftpSocket(options);
    if (!socket)
        return 0;
    auto release = [&socket] {
        socket.Close();
        net::Cleanup();
    };
    if (options.onBound) {
        auto local = socket.LocalEndpoint();
        options.onBound(local ? local->port : options.port);
    }

    std::array<std::uint8_t, kTftpPacketSize> buffer{};
    for (int pass = firstPass; pass <= 2; ++pass) {
        TraceMessage("Waiting for TFTP client request ...\n");
        net::RecvResult got;
        RequestWait wait = ReceiveRequest(socket, buffer, options, got);
        if (wait == RequestWait::Stopped) {
            release();
            TraceMessage("\nftp server thread finished...\n");
            return 0;
        }
        if (wait == RequestWait::Failed) {
            TraceMessage("Error in recvfrom() call [errno=%d]\n", got.error);
            release();
            TraceMessage("\nftp server thread finished...\n");
            return 0;
        }
        if (got.size == 0) {
            RaiseError(ERR_SOCKET_CLOSED);
            TraceMessage("socket was closed\n");
            release();
            TraceMessage("\nftp server thread finished...\n");
            return 0;
        }
        unsigned opcode = (static_cast<unsigned>(buffer[0]) << 8) | buffer[1];
        TraceMessage("...received TFTP request from %s ...\n", got.from.ip.ToString().c_str());
        if (opcode == TFTP_WRQ) {
            SendTftpError(socket, got.from, kTftpAccessViolation);
            TraceMessage("Write was recieved ... and failed.");
        } else if (opcode == TFTP_RRQ) {
            if (g_TftpCallbacks.ReadBlockHandler == nullptr) {
                SendTftpError(socket, got.from, kTftpAccessViolation);
                TraceMessage("Read received and rejected.\n");
                continue;
            }
            if (pass == 2) {
                RaiseStatus(STATUS_PROGRAMMING);
                TraceMessage("Server is programming the new firmware image.\n");
            } else {
                RaiseStatus(STATUS_VERIFYING);
                TraceMessage("Server is verifying the image integrity.\n");
            }
            if (ProcessTftpReadRequest(socket, buffer.data(), got.size, got.from, options) == 0) {
                if (!StopRequested(options)) {
                    RaiseError(ERR_READ_REQUEST);
                    TraceMessage("Error: ProcessTftpReadRequest() call failed...bailing out. \n");
                }
                release();
                TraceMessage("\nftp server thread finished...\n");
                return 0;
            }
            if (pass != 2) {
                TraceMessage("Server is erasing the flash...\n");
                RaiseStatus(STATUS_ERASING);
            }
        }
        // Any other opcode uses up the pass with nothing sent.
    }
    release();
    RaiseStatus(STATUS_COMPLETE);
    TraceMessage("\nftp server thread finished...\n");
    return 1;
}
