// Readable text for the Windows Sockets and kernel error codes the library
// meets; the calling thread's code comes from the shared error slot.
#include <stdio.h>

#include "Corbex.h"

namespace {

struct ErrorText {
    uint32_t code;
    const char* text;
};

// Sorted by code.
const ErrorText kTexts[] = {
    {ERROR_SUCCESS, "No error"},
    {ERROR_FILE_NOT_FOUND, "File not found"},
    {ERROR_PATH_NOT_FOUND, "Path not found"},
    {ERROR_ACCESS_DENIED, "Access denied"},
    {ERROR_INVALID_HANDLE, "Invalid handle"},
    {ERROR_NOT_ENOUGH_MEMORY, "Not enough memory"},
    {ERROR_SHARING_VIOLATION, "File is in use by another process"},
    {ERROR_HANDLE_EOF, "Reached the end of the file"},
    {ERROR_FILE_EXISTS, "File exists"},
    {ERROR_INVALID_PARAMETER, "Invalid parameter"},
    {ERROR_DISK_FULL, "Disk full"},
    {ERROR_ALREADY_EXISTS, "File already exists"},
    {WSAEINTR, "Blocking call interrupted"},
    {WSAEBADF, "Bad file handle"},
    {WSAEACCES, "Permission denied"},
    {WSAEFAULT, "Bad address"},
    {WSAEINVAL, "Invalid argument"},
    {WSAEMFILE, "Too many open sockets"},
    {WSAEWOULDBLOCK, "Operation would block"},
    {WSAEINPROGRESS, "Operation now in progress"},
    {WSAEALREADY, "Operation already in progress"},
    {WSAENOTSOCK, "Not a socket"},
    {WSAEDESTADDRREQ, "Destination address required"},
    {WSAEMSGSIZE, "Message too long"},
    {WSAEPROTOTYPE, "Protocol wrong type for socket"},
    {WSAENOPROTOOPT, "Bad protocol option"},
    {WSAEPROTONOSUPPORT, "Protocol not supported"},
    {WSAESOCKTNOSUPPORT, "Socket type not supported"},
    {WSAEOPNOTSUPP, "Operation not supported"},
    {WSAEPFNOSUPPORT, "Protocol family not supported"},
    {WSAEAFNOSUPPORT, "Address family not supported by protocol family"},
    {WSAEADDRINUSE, "Address already in use"},
    {WSAEADDRNOTAVAIL, "Cannot assign requested address"},
    {WSAENETDOWN, "Network is down"},
    {WSAENETUNREACH, "Network is unreachable"},
    {WSAENETRESET, "Network dropped connection on reset"},
    {WSAECONNABORTED, "Software caused connection abort"},
    {WSAECONNRESET, "Connection reset by peer"},
    {WSAENOBUFS, "No buffer space available"},
    {WSAEISCONN, "Socket is already connected"},
    {WSAENOTCONN, "Socket is not connected"},
    {WSAESHUTDOWN, "Cannot send after socket shutdown"},
    {10059, "Too many references"},
    {WSAETIMEDOUT, "Connection timed out"},
    {WSAECONNREFUSED, "Connection refused"},
    {10062, "Cannot translate name"},
    {10063, "Name too long"},
    {WSAEHOSTDOWN, "Host is down"},
    {WSAEHOSTUNREACH, "No route to host"},
    {10066, "Directory not empty"},
    {10067, "Too many processes"},
    {10068, "User quota exceeded"},
    {10069, "Disk quota exceeded"},
    {10070, "Stale file handle reference"},
    {10071, "Item is remote"},
    {WSASYSNOTREADY, "Network subsystem is unavailable"},
    {WSAVERNOTSUPPORTED, "Windows Sockets version out of range"},
    {WSANOTINITIALISED, "Windows Sockets not initialised"},
    {10101, "Graceful shutdown in progress"},
    {10102, "No more results"},
    {10103, "Call has been cancelled"},
    {10104, "Procedure call table is invalid"},
    {10105, "Service provider is invalid"},
    {10106, "Service provider failed to initialise"},
    {10107, "System call failure"},
    {10108, "Service not found"},
    {10109, "Class type not found"},
    {10112, "Database query was refused"},
    {WSAHOST_NOT_FOUND, "Host not found"},
    {WSATRY_AGAIN, "Non-authoritative host not found, try again"},
    {WSANO_RECOVERY, "Non-recoverable name server error"},
    {WSANO_DATA, "Valid name, no data record of requested type"},
};

const char* Lookup(uint32_t code) {
    size_t lo = 0, hi = sizeof kTexts / sizeof kTexts[0];
    while (lo < hi) {
        const size_t mid = (lo + hi) / 2;
        if (kTexts[mid].code < code) {
            lo = mid + 1;
        } else {
            hi = mid;
        }
    }
    return lo < sizeof kTexts / sizeof kTexts[0] && kTexts[lo].code == code ? kTexts[lo].text : nullptr;
}

}  // namespace

CString CFunction::GetLastErrorString() {
    const uint32_t code = CorbexGetThreadError();
    if (const char* text = Lookup(code)) return CString(text);
    char buf[40];
    snprintf(buf, sizeof buf, "Unknown error %u", static_cast<unsigned>(code));
    return CString(buf);
}
