// The few socket calls where the test peers' POSIX and Windows spellings
// differ, Windows side (the build picks tests/support/posix or win32).
// Socket handles are kept in an int, as the POSIX side keeps descriptors:
// Windows handle values fit one.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <winsock2.h>
#include <ws2tcpip.h>
#include <errno.h>

namespace oamtest {
namespace net {

const int kNoSignal = 0;
const int kDontWait = 0;  // callers poll first
const int kShutBoth = SD_BOTH;
const int kCloexec = 0;

inline int Close(int fd) { return ::closesocket(static_cast<SOCKET>(fd)); }
inline int Poll(pollfd* p, unsigned n, int timeoutMs) { return ::WSAPoll(p, n, timeoutMs); }
inline int SetNonBlocking(int fd) {
    u_long on = 1;
    return ::ioctlsocket(static_cast<SOCKET>(fd), FIONBIO, &on);
}
// The last socket error as an errno value (the ones the peers look at).
inline int LastError() {
    switch (::WSAGetLastError()) {
    case WSAEINTR: return EINTR;
    case WSAEWOULDBLOCK: return EAGAIN;
    case WSAENOBUFS: return ENOBUFS;
    case WSAEADDRINUSE: return EADDRINUSE;
    case WSAEADDRNOTAVAIL: return EADDRNOTAVAIL;
    case WSAEACCES: return EACCES;
    case WSAECONNRESET: return ECONNRESET;
    case WSAECONNABORTED: return ECONNABORTED;
    default: return EIO;
    }
}

}  // namespace net
}  // namespace oamtest

namespace oamtest {
namespace net {
// Windows Sockets must be started before the peers' first call; programs
// that do not load the library would not have it started otherwise.
inline const int kStarted = [] {
    WSADATA data;
    return ::WSAStartup(MAKEWORD(2, 2), &data);
}();
}  // namespace net
}  // namespace oamtest
