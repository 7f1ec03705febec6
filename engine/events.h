// The event codes that the whole engine raises through the handler table, and the payload of the
// progress event.
#pragma once

#include <cstdint>

enum UpgradeStatus : int {
    STATUS_COMMAND_ACCEPTED = 1,
    STATUS_VERIFYING = 2,
    STATUS_PROGRAMMING = 3,
    STATUS_PROGRESS = 4,
    STATUS_COMPLETE = 5,
    STATUS_PORT_BUSY = 6,
    STATUS_ERASING = 7,
};

enum UpgradeError : int {
    ERR_SOCKETS_SETUP = 1,
    ERR_TFTP_SOCKET = 2,
    ERR_TFTP_BIND = 3,
    ERR_SOCKET_CLOSED = 4,
    ERR_READ_REQUEST = 5,
    ERR_CONNECT = 6,
    ERR_SEND = 7,
    ERR_RECEIVE = 8,
    ERR_RESOLVE = 9,
    ERR_LOGIN = 10,
    // The device verified the image but did not ask for it again within the programming wait:
    // it rejected the image (its flash is intact) or it failed while erasing.
    ERR_NO_PROGRAMMING_REQUEST = 11,
};

// The payload of STATUS_PROGRESS, valid only during the call.
struct ProgressInfo {
    std::int32_t Sent;  // block number x 512; exceeds Total on the last block
    std::int32_t Total; // image size
};

// The payload of STATUS_COMPLETE, valid only during the call; it may be empty (read it as confirmed).
struct CompletionInfo {
    // 0 when the device went silent after the last block of the programming download: no ACK,
    // no ERROR and no new request before the resends ran out. It very probably holds every block,
    // but the end was not confirmed, so a front end says so and checks the device's version.
    std::int32_t FinalAckReceived;
};

// Event names, for traces of front ends and tests ("STATUS_PROGRESS", "ERR_LOGIN"); "?" if unknown.
const char* StatusName(int code);
const char* ErrorName(int code);
