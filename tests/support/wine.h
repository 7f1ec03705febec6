// Whether a Windows test runs under Wine rather than Windows.
#pragma once

#if defined(_WIN32)
#include <windows.h>
#endif

namespace skelvo::test {

// Wine binds a UDP socket given one local address to all addresses of that interface, so its
// datagrams leave from the interface's main address (127.0.0.2 sends as 127.0.0.1). Tests that
// tell hosts apart by loopback address cannot run there.
inline constexpr char kWineLoopbackAliases[] =
    "under Wine, datagrams from a socket bound to 127.0.0.2 leave from 127.0.0.1";

inline bool RunningUnderWine() {
#if defined(_WIN32)
    HMODULE ntdll = ::GetModuleHandleA("ntdll.dll");
    return ntdll != nullptr && ::GetProcAddress(ntdll, "wine_get_version") != nullptr;
#else
    return false;
#endif
}

} // namespace skelvo::test
