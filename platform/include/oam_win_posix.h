// The vocabulary on POSIX (included through oam_win.h): the small part of
// the Windows API that the library is written against, provided by the
// platform layer's POSIX backend. Types and constants are global as on Windows; the
// socket calls live in namespace win because their names clash with the
// C library's (win::send is the Windows Sockets send, with Windows
// semantics and error codes).
//
// Promises kept by every call here:
//  - handle values 0 and INVALID_SOCKET never refer to a descriptor: calls
//    on them fail with SOCKET_ERROR and WSAENOTSOCK and touch nothing else;
//  - sockets created here are never descriptors 0, 1 or 2;
//  - errors are Windows Sockets codes, per thread, through WSAGetLastError
//    and GetLastError;
//  - a send on a dead connection fails with a link-break code and never
//    raises SIGPIPE.
//
// A SOCKET is an opaque handle, not the descriptor. Its value fits a
// positive int (as Windows handle values do) and carries a generation, so
// that a handle kept after closesocket does not reach a socket that later
// got the same descriptor. Blocking calls keep their SO_RCVTIMEO and
// SO_SNDTIMEO time-outs when the process receives signals.
// closesocket may run while another thread is blocked on the socket: the
// blocked call returns SOCKET_ERROR with WSAEINTR, and the descriptor is
// closed once no call uses it any more. Calls work without WSAStartup.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <netdb.h>
#include <netinet/in.h>
// TCP_NODELAY, TCP_KEEPIDLE, TCP_KEEPINTVL, TCP_KEEPCNT (seconds and a
// count, as Windows names them) for setsockopt at level IPPROTO_TCP.
#include <netinet/tcp.h>
#include <sys/socket.h>

#include "oam_api.h"

// ---- basic types ---------------------------------------------------------
typedef int BOOL;
typedef unsigned char BYTE;
typedef unsigned short WORD;
typedef uint32_t DWORD;
typedef unsigned int UINT;
typedef intptr_t LONG_PTR;
typedef uintptr_t ULONG_PTR;
typedef uintptr_t WPARAM;
typedef intptr_t LPARAM;
typedef intptr_t LRESULT;
typedef void* HANDLE;
#ifndef TRUE
#define TRUE 1
#endif
#define WINAPI
#define CALLBACK
#ifndef FALSE
#define FALSE 0
#endif

// ---- sockets ---------------------------------------------------------------
typedef uintptr_t SOCKET;
#define INVALID_SOCKET (~(SOCKET)0)
#define SOCKET_ERROR (-1)

typedef struct OamNetEvent* WSAEVENT;
#define WSA_INVALID_EVENT ((WSAEVENT)0)

#define SD_RECEIVE 0
#define SD_SEND 1
#define SD_BOTH 2

// Windows control codes; the POSIX FIONBIO/FIONREAD values are accepted too.
#define WIN_FIONBIO 0x8004667EUL
#define WIN_FIONREAD 0x4004667FUL
#define SIO_FLUSH 0x28000004UL

#define FD_READ 0x01
#define FD_WRITE 0x02
#define FD_OOB 0x04
#define FD_ACCEPT 0x08
#define FD_CONNECT 0x10
#define FD_CLOSE 0x20

#define WSA_WAIT_EVENT_0 0
#define WSA_WAIT_TIMEOUT 258
#define WSA_WAIT_FAILED 0xFFFFFFFFu
#define WSA_INFINITE 0xFFFFFFFFu
#define WSA_MAXIMUM_WAIT_EVENTS 64

struct WSAData {
    WORD wVersion;
    WORD wHighVersion;
    char szDescription[257];
    char szSystemStatus[129];
    unsigned short iMaxSockets;
    unsigned short iMaxUdpDg;
    char* lpVendorInfo;
};
typedef WSAData WSADATA;

#define MAKEWORD(lo, hi) ((WORD)(((BYTE)(lo)) | ((WORD)((BYTE)(hi))) << 8))

// Windows Sockets error codes.
#define WSAEINTR 10004
#define WSAEBADF 10009
#define WSAEACCES 10013
#define WSAEFAULT 10014
#define WSAEINVAL 10022
#define WSAEMFILE 10024
#define WSAEWOULDBLOCK 10035
#define WSAEINPROGRESS 10036
#define WSAEALREADY 10037
#define WSAENOTSOCK 10038
#define WSAEDESTADDRREQ 10039
#define WSAEMSGSIZE 10040
#define WSAEPROTOTYPE 10041
#define WSAENOPROTOOPT 10042
#define WSAEPROTONOSUPPORT 10043
#define WSAESOCKTNOSUPPORT 10044
#define WSAEOPNOTSUPP 10045
#define WSAEPFNOSUPPORT 10046
#define WSAEAFNOSUPPORT 10047
#define WSAEADDRINUSE 10048
#define WSAEADDRNOTAVAIL 10049
#define WSAENETDOWN 10050
#define WSAENETUNREACH 10051
#define WSAENETRESET 10052
#define WSAECONNABORTED 10053
#define WSAECONNRESET 10054
#define WSAENOBUFS 10055
#define WSAEISCONN 10056
#define WSAENOTCONN 10057
#define WSAESHUTDOWN 10058
#define WSAETOOMANYREFS 10059
#define WSAETIMEDOUT 10060
#define WSAECONNREFUSED 10061
#define WSAELOOP 10062
#define WSAENAMETOOLONG 10063
#define WSAEHOSTDOWN 10064
#define WSAEHOSTUNREACH 10065
#define WSASYSNOTREADY 10091
#define WSAVERNOTSUPPORTED 10092
#define WSANOTINITIALISED 10093
#define WSASYSCALLFAILURE 10107
#define WSA_INVALID_HANDLE 6
#define WSA_INVALID_PARAMETER 87
#define WSAHOST_NOT_FOUND 11001
#define WSATRY_AGAIN 11002
#define WSANO_RECOVERY 11003
#define WSANO_DATA 11004

// Kernel error codes used by the file calls.
#define ERROR_SUCCESS 0
#define ERROR_FILE_NOT_FOUND 2
#define ERROR_PATH_NOT_FOUND 3
#define ERROR_TOO_MANY_OPEN_FILES 4
#define ERROR_ACCESS_DENIED 5
#define ERROR_INVALID_HANDLE 6
#define ERROR_NOT_ENOUGH_MEMORY 8
#define ERROR_NOT_SAME_DEVICE 17
#define ERROR_GEN_FAILURE 31
#define ERROR_SHARING_VIOLATION 32
#define ERROR_HANDLE_EOF 38
#define ERROR_NOT_SUPPORTED 50
#define ERROR_FILE_EXISTS 80
#define ERROR_INVALID_PARAMETER 87
#define ERROR_DISK_FULL 112
#define ERROR_DIR_NOT_EMPTY 145
#define ERROR_BUSY 170
#define ERROR_ALREADY_EXISTS 183
#define ERROR_FILENAME_EXCED_RANGE 206

namespace win {
OAMSDK_API int WSAStartup(WORD version, WSADATA* data);
OAMSDK_API int WSACleanup();
OAMSDK_API int WSAGetLastError();
OAMSDK_API void WSASetLastError(int code);

OAMSDK_API SOCKET socket(int af, int type, int protocol);
OAMSDK_API int bind(SOCKET s, const sockaddr* name, int namelen);
// A blocking connect waits for the system's own time-out; SO_SNDTIMEO does
// not shorten it (a non-blocking one fails with WSAEWOULDBLOCK at once).
OAMSDK_API int connect(SOCKET s, const sockaddr* name, int namelen);
OAMSDK_API int send(SOCKET s, const char* buf, int len, int flags);
// A datagram larger than len fails with WSAEMSGSIZE and is used up, as on
// Windows. Flags: MSG_OOB, MSG_PEEK, MSG_DONTROUTE, MSG_WAITALL; any other
// bit fails with WSAEOPNOTSUPP. EINTR is retried.
OAMSDK_API int recv(SOCKET s, char* buf, int len, int flags);
OAMSDK_API int sendto(SOCKET s, const char* buf, int len, int flags, const sockaddr* to, int tolen);
OAMSDK_API int recvfrom(SOCKET s, char* buf, int len, int flags, sockaddr* from, int* fromlen);
OAMSDK_API int shutdown(SOCKET s, int how);
OAMSDK_API int closesocket(SOCKET s);
// FIONBIO and FIONREAD, with their Windows or POSIX values. FIONREAD on a
// datagram socket gives the size of the first datagram (Linux), not the
// total waiting. WSAIoctl: SIO_FLUSH does nothing and succeeds; FIONREAD
// writes a 4-byte count.
OAMSDK_API int ioctlsocket(SOCKET s, long cmd, unsigned long* argp);
OAMSDK_API int WSAIoctl(SOCKET s, unsigned long code, void* in, unsigned long inLen, void* out,
                        unsigned long outLen, unsigned long* bytesReturned, void* overlapped,
                        void* completion);
// Level SOL_SOCKET: SO_SNDTIMEO/SO_RCVTIMEO take a 4-byte count of
// milliseconds as on Windows (0 = none; a receive or send that runs into
// one fails with WSAETIMEDOUT); SO_RCVBUF/SO_SNDBUF a 4-byte size, read
// back as the size asked for (Linux reports double); SO_ERROR reads as a
// Windows Sockets code. Other options pass through with POSIX values.
OAMSDK_API int setsockopt(SOCKET s, int level, int optname, const char* optval, int optlen);
OAMSDK_API int getsockopt(SOCKET s, int level, int optname, char* optval, int* optlen);
OAMSDK_API int getsockname(SOCKET s, sockaddr* name, int* namelen);
OAMSDK_API int getpeername(SOCKET s, sockaddr* name, int* namelen);

OAMSDK_API unsigned long inet_addr(const char* cp);
// Text lives in a per-thread buffer, valid until the next call on the thread.
OAMSDK_API char* inet_ntoa(in_addr in);

// IPv4 look-up with a per-thread result (thread-safe underneath); the empty
// or null name is the local host (its loopback address if its own name does
// not resolve). Null with WSAHOST_NOT_FOUND when nothing is found.
OAMSDK_API hostent* gethostbyname(const char* name);

// Network events. Readiness is level-triggered: an event selected for
// FD_READ/FD_CLOSE reads as signalled while data or a hang-up is waiting on
// its socket, reset or not; WSASetEvent/WSAResetEvent set and clear a
// manual signal besides. Selecting makes the socket non-blocking; closing
// the socket cancels the selection. Socket and event may be closed in
// either order.
OAMSDK_API WSAEVENT WSACreateEvent();
OAMSDK_API BOOL WSACloseEvent(WSAEVENT ev);
OAMSDK_API BOOL WSASetEvent(WSAEVENT ev);
OAMSDK_API BOOL WSAResetEvent(WSAEVENT ev);
OAMSDK_API int WSAEventSelect(SOCKET s, WSAEVENT ev, long networkEvents);
// Waits until one of the events is signalled: WSA_WAIT_EVENT_0 + the
// lowest such index, WSA_WAIT_TIMEOUT or WSA_WAIT_FAILED (an unknown or
// closed event: WSA_INVALID_HANDLE). fWaitAll is not supported (FALSE).
OAMSDK_API DWORD WSAWaitForMultipleEvents(DWORD count, const WSAEVENT* events, BOOL waitAll,
                                          DWORD timeoutMs, BOOL alertable);
}  // namespace win

// ---- kernel services -----------------------------------------------------
OAMSDK_API DWORD GetLastError();
OAMSDK_API void SetLastError(DWORD code);
OAMSDK_API void Sleep(DWORD ms);

// Recursive lock with the critical section's calls.
struct CRITICAL_SECTION {
    alignas(8) unsigned char opaque[64];
};
OAMSDK_API void InitializeCriticalSection(CRITICAL_SECTION* cs);
OAMSDK_API void DeleteCriticalSection(CRITICAL_SECTION* cs);
OAMSDK_API void EnterCriticalSection(CRITICAL_SECTION* cs);
OAMSDK_API BOOL TryEnterCriticalSection(CRITICAL_SECTION* cs);
OAMSDK_API void LeaveCriticalSection(CRITICAL_SECTION* cs);

// Files. Paths may use "\" or "/" as separator (a "\" that is the trail
// byte of a double-byte character stays part of the name). Sharing is best
// effort through advisory flock locks that every opener through CreateFileA
// takes: share mode 0 locks exclusively, any other share mode shared; a
// conflict fails at once with ERROR_SHARING_VIOLATION, and DeleteFileA and
// MoveFileExA refuse a file held open that way. Errors go to GetLastError.
#define INVALID_HANDLE_VALUE ((HANDLE)(intptr_t)-1)
#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
#define FILE_SHARE_READ 0x1u
#define FILE_SHARE_WRITE 0x2u
#define CREATE_NEW 1
#define CREATE_ALWAYS 2
#define OPEN_EXISTING 3
#define OPEN_ALWAYS 4
#define TRUNCATE_EXISTING 5
#define FILE_ATTRIBUTE_NORMAL 0x80
#define INVALID_FILE_SIZE 0xFFFFFFFFu
#define MOVEFILE_REPLACE_EXISTING 0x1

OAMSDK_API HANDLE CreateFileA(const char* path, DWORD access, DWORD shareMode, void* security,
                              DWORD disposition, DWORD flags, HANDLE templ);
OAMSDK_API BOOL ReadFile(HANDLE h, void* buf, DWORD toRead, DWORD* read, void* overlapped);
OAMSDK_API BOOL WriteFile(HANDLE h, const void* buf, DWORD toWrite, DWORD* written, void* overlapped);
OAMSDK_API DWORD GetFileSize(HANDLE h, DWORD* high);
OAMSDK_API BOOL CloseHandle(HANDLE h);
OAMSDK_API BOOL DeleteFileA(const char* path);
OAMSDK_API BOOL MoveFileExA(const char* from, const char* to, DWORD flags);

// ---- window messages -------------------------------------------------------
typedef struct OamWindow* HWND;
typedef LRESULT (*WNDPROC)(HWND, UINT, WPARAM, LPARAM);
#define WM_USER 0x0400
#define WM_QUIT 0x0012

// Queues the message for the window's thread and returns at once.
OAMSDK_API BOOL PostMessageA(HWND wnd, UINT msg, WPARAM wp, LPARAM lp);
// Runs the window procedure on the window's thread and waits for its
// result; called on that thread it runs the procedure directly. While a
// thread waits here it still handles messages sent to its own windows.
OAMSDK_API LRESULT SendMessageA(HWND wnd, UINT msg, WPARAM wp, LPARAM lp);

OAMSDK_API BOOL IsWindow(HWND wnd);

// Message box: writes "caption: text" as one line to stderr and gives IDOK,
// unless the host hook set with OamSetMessageBoxHook takes it.
#define MB_OK 0x0u
#define MB_ICONERROR 0x10u
#define IDOK 1
OAMSDK_API int MessageBoxA(HWND wnd, const char* text, const char* caption, UINT type);

// ---- console control ------------------------------------------------------------
// SIGINT reaches the handler as CTRL_C_EVENT, SIGTERM as CTRL_CLOSE_EVENT.
// One handler at a time, run in the signal's context (so it should only
// set a flag); add FALSE removes it and restores the default actions.
#define CTRL_C_EVENT 0
#define CTRL_CLOSE_EVENT 2
typedef BOOL (*PHANDLER_ROUTINE)(DWORD ctrlType);
OAMSDK_API BOOL SetConsoleCtrlHandler(PHANDLER_ROUTINE handler, BOOL add);

// ---- process and time (defined in Corbex) ------------------------------------
CORBEX_API DWORD GetCurrentThreadId();
struct SYSTEMTIME {
    WORD wYear;
    WORD wMonth;
    WORD wDayOfWeek;
    WORD wDay;
    WORD wHour;
    WORD wMinute;
    WORD wSecond;
    WORD wMilliseconds;
};
CORBEX_API void GetLocalTime(SYSTEMTIME* st);

// ---- ANSI code page ----------------------------------------------------------
// The code page the library scans text with (OamGetACP), and the lead bytes
// of the double-byte ones; see oam_string.h.
OAMSDK_API UINT GetACP();
OAMSDK_API BOOL IsDBCSLeadByte(BYTE b);
OAMSDK_API BOOL IsDBCSLeadByteEx(UINT codePage, BYTE b);
