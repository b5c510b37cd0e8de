// What the command channel, the alarm receiver and the datagram socket do
// alike with the socket calls: written once over the Windows Sockets
// vocabulary, so the same on both backends.
#pragma once

#include <stdint.h>

#include "oam_string.h"
#include "oam_win.h"

namespace oam {
namespace platform {

// Receive buffer a UDP socket asks for: a burst of datagrams waits there
// while the host is busy.
const int kDatagramReceiveBuffer = 0x7d6000;

// 0 and INVALID_SOCKET both mean "no socket" to the classes above.
inline bool IsHandle(SOCKET s) {
    return s != 0 && s != INVALID_SOCKET;
}

// Null or empty: INADDR_ANY; digits and dots: inet_addr's reading (so
// INADDR_NONE for a malformed one, never a lookup); otherwise the first
// IPv4 address the resolver gives, or 0. Network byte order.
unsigned long Name2Inet(const char* host);

// host (as Name2Inet reads it) and port as an IPv4 socket address.
sockaddr_in Endpoint(const char* host, unsigned short port);

// The connected peer of s as dotted text and port: 1, or 0 (address and
// port untouched) when s has none.
int GetPeerName(SOCKET s, CString& address, unsigned int& port);

// A non-blocking UDP socket bound to address:port (address in network
// order, port taken modulo 65536) with kDatagramReceiveBuffer asked for.
// INVALID_SOCKET when no socket could be made; 0 when the bind failed (the
// socket is closed again).
SOCKET OpenDatagramSocket(uint32_t address, unsigned int port);

}  // namespace platform
}  // namespace oam
