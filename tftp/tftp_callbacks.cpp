#include "tftp/tftp_callbacks.h"

TftpCallbacks g_TftpCallbacks{};

void RegisterTftpCallbacks(CheckFilenameFn checkFilename, ReadBlockFn readBlock, WriteBlockFn writeBlock,
                           ErrorFn onError, StatusFn onStatus) {
    g_TftpCallbacks = TftpCallbacks{checkFilename, readBlock, writeBlock, onError, onStatus};
}

void RaiseError(int code) {
    if (g_TftpCallbacks.ErrorHandler != nullptr)
        g_TftpCallbacks.ErrorHandler(code, nullptr);
}

void RaiseStatus(int code, void* info) {
    if (g_TftpCallbacks.StatusHandler != nullptr)
        g_TftpCallbacks.StatusHandler(code, info);
}
