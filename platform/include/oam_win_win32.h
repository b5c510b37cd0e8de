// The vocabulary on Windows: the system's own Windows Sockets, kernel and
// window-messaging declarations. The socket calls are also reachable as
// win::name, the spelling the library uses on both systems.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <stddef.h>
#include <stdint.h>

// TCP keep-alive options as Windows 10 1709 and later take them
// (ws2ipdef.h of the Windows SDK); mingw-w64's headers lack them.
#ifndef TCP_KEEPALIVE
#define TCP_KEEPALIVE 3
#endif
#ifndef TCP_KEEPIDLE
#define TCP_KEEPIDLE TCP_KEEPALIVE
#endif
#ifndef TCP_KEEPCNT
#define TCP_KEEPCNT 16
#endif
#ifndef TCP_KEEPINTVL
#define TCP_KEEPINTVL 17
#endif

namespace win {
using ::WSAStartup;
using ::WSACleanup;
using ::WSAGetLastError;
using ::WSASetLastError;
using ::socket;
using ::bind;
using ::connect;
using ::send;
using ::recv;
using ::sendto;
using ::recvfrom;
using ::shutdown;
using ::closesocket;
using ::ioctlsocket;
using ::WSAIoctl;
using ::setsockopt;
using ::getsockopt;
using ::getsockname;
using ::getpeername;
using ::select;
using ::inet_addr;
using ::inet_ntoa;
using ::gethostbyname;
using ::WSACreateEvent;
using ::WSACloseEvent;
using ::WSASetEvent;
using ::WSAResetEvent;
using ::WSAEventSelect;
using ::WSAWaitForMultipleEvents;
}  // namespace win

#define WIN_FIONBIO FIONBIO
#define WIN_FIONREAD FIONREAD
