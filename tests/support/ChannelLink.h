// A command channel connected to a loopback peer with a receive time-out
// shorter than the library's 15 s, for tests and fuzz targets. Needs the
// library's internal headers (ClientSocket.h).
#pragma once

#include <stdint.h>

#include "ClientSocket.h"

namespace oamtest {

inline void SetReceiveTimeout(CClientSocket& c, int ms) {
    win::setsockopt(c.GetSocket(), SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&ms), sizeof ms);
}

// Create against address:port, then the receive time-out; false when
// Create fails.
inline bool ConnectChannel(CClientSocket& c, uint16_t port, int receiveTimeoutMs, const char* address = "127.0.0.1") {
    if (!c.Create(port, address)) return false;
    SetReceiveTimeout(c, receiveTimeoutMs);
    return true;
}

}  // namespace oamtest
