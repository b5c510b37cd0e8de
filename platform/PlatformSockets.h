// Socket settings whose spelling differs between the backends.
#pragma once

#include "oam_win.h"

namespace oam {
namespace platform {

// TCP keep-alive probe timing on a socket with SO_KEEPALIVE on: the first
// probe after `idleSeconds` of silence, then every `intervalSeconds`, the
// connection given up after `count` unanswered ones. 0, or SOCKET_ERROR
// with the last error set.
int SetTcpKeepAliveTimes(SOCKET s, int idleSeconds, int intervalSeconds, int count);

// Wakes a connect, send or recv that another thread is blocked in on s, and
// stops further traffic both ways; s stays open (the owner closes it).
void WakeBlockedCalls(SOCKET s);

}  // namespace platform
}  // namespace oam
