// The handler table through which the engine gets its file check and its data and reports to the
// front end, and the event codes the whole engine raises (the HTTP side too).
#pragma once

#include "engine/events.h"

#include <cstdint>

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
