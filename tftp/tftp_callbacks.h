// The handler table through which the engine gets its file check and its data and reports to the
// front end, and the event codes the whole engine raises (the HTTP side too).
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
};

// The payload of STATUS_PROGRESS, valid only during the call.
struct ProgressInfo {
    std::int32_t Sent;  // block number x 512; exceeds Total on the last block
    std::int32_t Total; // image size
};

inline constexpr int kRequestKindRead = 1;

using CheckFilenameFn = int (*)(const unsigned char* start, const unsigned char* end, int kind);
using ReadBlockFn = int (*)(unsigned char* destination, unsigned* count, unsigned* block, unsigned blockSize);
using WriteBlockFn = int (*)(const unsigned char* source, unsigned count, unsigned block);
using ErrorFn = int (*)(int code, void* info);
using StatusFn = int (*)(int code, void* info);

struct TftpCallbacks {
    CheckFilenameFn CheckFilenameHandler;
    ReadBlockFn ReadBlockHandler;
    WriteBlockFn WriteBlockHandler;
    ErrorFn ErrorHandler;
    StatusFn StatusHandler;
};

extern TftpCallbacks g_TftpCallbacks;

void RegisterTftpCallbacks(CheckFilenameFn checkFilename, ReadBlockFn readBlock, WriteBlockFn writeBlock,
                           ErrorFn onError, StatusFn onStatus);

// Raising an event is a direct call of slot 4 or 5 on the thread that detects it.
void RaiseError(int code);
void RaiseStatus(int code, void* info = nullptr);

// Event names, for traces of front ends and tests ("STATUS_PROGRESS", "ERR_LOGIN"); "?" if unknown.
const char* StatusName(int code);
const char* ErrorName(int code);
