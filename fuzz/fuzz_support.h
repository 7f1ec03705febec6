// Shared set-up of the fuzz targets: the engine's handlers answer nothing, and every trace line is
// checked for raw control bytes, which must never reach a terminal.
#pragma once

#include "engine/trace.h"
#include "tftp/tftp_callbacks.h"
#include "tftp/tftp_server.h"

#include <cstdlib>
#include <string_view>

namespace skelvo::fuzz {

inline int IgnoreEvent(int, void*) {
    return 1;
}

inline void CheckTraceText(std::string_view text) {
    for (char c : text) {
        auto byte = static_cast<unsigned char>(c);
        // Trace lines carry their own line breaks; every other control byte comes from a peer.
        if ((byte < 0x20 && byte != '\n') || byte == 0x7F)
            std::abort();
    }
}

inline void InstallQuietEngine() {
    RegisterTftpCallbacks(&CheckFilename, &ReadImageBlock, nullptr, &IgnoreEvent, &IgnoreEvent);
    SetTraceSink(&CheckTraceText);
}

} // namespace skelvo::fuzz
