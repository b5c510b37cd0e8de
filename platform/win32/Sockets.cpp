// Socket settings, Windows side.
#include "PlatformSockets.h"

#include <mstcpip.h>  // after winsock2.h

namespace oam {
namespace platform {

// Windows 10 1709 and later take the three options. Older systems (and
// Wine) refuse them with WSAENOPROTOOPT: there SIO_KEEPALIVE_VALS sets the
// idle time and the interval, and the count is tried on its own; refused,
// the number of probes stays the system's (10 since Vista) and the call
// fails with WSAENOPROTOOPT, the timing set all the same.
int SetTcpKeepAliveTimes(SOCKET s, int idleSeconds, int intervalSeconds, int count) {
    const int values[3] = {idleSeconds, intervalSeconds, count};
    const int names[3] = {TCP_KEEPIDLE, TCP_KEEPINTVL, TCP_KEEPCNT};
    int i = 0;
    for (; i < 3; ++i)
        if (::setsockopt(s, IPPROTO_TCP, names[i], reinterpret_cast<const char*>(&values[i]), sizeof values[i]) != 0)
            break;
    if (i == 3) return 0;
    if (i != 0 || ::WSAGetLastError() != WSAENOPROTOOPT) return SOCKET_ERROR;
    tcp_keepalive k;
    k.onoff = 1;
    k.keepalivetime = static_cast<ULONG>(idleSeconds) * 1000;
    k.keepaliveinterval = static_cast<ULONG>(intervalSeconds) * 1000;
    DWORD returned = 0;
    if (::WSAIoctl(s, SIO_KEEPALIVE_VALS, &k, sizeof k, nullptr, 0, &returned, nullptr, nullptr) != 0)
        return SOCKET_ERROR;
    if (::setsockopt(s, IPPROTO_TCP, TCP_KEEPCNT, reinterpret_cast<const char*>(&count), sizeof count) == 0) return 0;
    ::WSASetLastError(WSAENOPROTOOPT);
    return SOCKET_ERROR;
}

// shutdown alone is not certain to wake a recv blocked in another thread
// (Wine never does); a blocking Winsock call is overlapped I/O underneath,
// which CancelIoEx ends with ERROR_OPERATION_ABORTED.
void WakeBlockedCalls(SOCKET s) {
    ::shutdown(s, SD_BOTH);
    ::CancelIoEx(reinterpret_cast<HANDLE>(s), nullptr);
}

}  // namespace platform
}  // namespace oam
