// Linked into every test executable of the Windows build. Winsock refuses every socket call
// outside a start-up, and the tests' own peers (scripted servers, simulators, probes) open
// sockets of their own; on POSIX the start-up is only counted, so there they need none.
// The product's operations still pair their own start-ups inside this one.
#include "net/net.h"

namespace {

const net::StartupGuard g_testProcessStartup;

} // namespace
