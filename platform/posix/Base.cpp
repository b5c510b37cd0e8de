// The few system services Corbex needs, on POSIX: the per-thread error slot
// that GetLastError reads, thread ids, local time, the loaded module's file
// name and the log sinks' append-only files. Built into Corbex, which
// liboamsdk stands on.
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include "oam_win.h"

namespace {
thread_local uint32_t t_error = 0;
}

extern "C" uint32_t CorbexGetThreadError() {
    return t_error;
}

extern "C" void CorbexSetThreadError(uint32_t code) {
    t_error = code;
}

DWORD GetCurrentThreadId() {
    return static_cast<DWORD>(syscall(SYS_gettid));
}

void GetLocalTime(SYSTEMTIME* st) {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    tm local{};
    localtime_r(&ts.tv_sec, &local);
    st->wYear = static_cast<WORD>(local.tm_year + 1900);
    st->wMonth = static_cast<WORD>(local.tm_mon + 1);
    st->wDayOfWeek = static_cast<WORD>(local.tm_wday);
    st->wDay = static_cast<WORD>(local.tm_mday);
    st->wHour = static_cast<WORD>(local.tm_hour);
    st->wMinute = static_cast<WORD>(local.tm_min);
    st->wSecond = static_cast<WORD>(local.tm_sec);
    st->wMilliseconds = static_cast<WORD>(ts.tv_nsec / 1000000);
}

DWORD OamGetModuleFileName(const void* addressInModule, char* path, DWORD size) {
    if (!path || size == 0) return 0;
    path[0] = '\0';
    Dl_info info{};
    if (!dladdr(addressInModule, &info) || !info.dli_fname || !*info.dli_fname) return 0;
    const char* name = info.dli_fname;
    // A relative name is relative to the directory current at load time;
    // resolve it while that still holds (callers ask at load time).
    char resolved[PATH_MAX];
    if (name[0] != '/' && realpath(name, resolved)) name = resolved;
    const size_t n = strlen(name);
    if (n >= size) return 0;  // no partial name
    memcpy(path, name, n + 1);
    return static_cast<DWORD>(n);
}

// Log files are descriptors kept as handle values (descriptor + 1, so that
// a null handle means none).
HANDLE OamOpenLogFile(const char* path) {
    const int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    return fd < 0 ? nullptr : reinterpret_cast<HANDLE>(static_cast<intptr_t>(fd) + 1);
}

BOOL OamAppendLogFile(HANDLE file, const char* data, DWORD size) {
    const int fd = static_cast<int>(reinterpret_cast<intptr_t>(file) - 1);
    size_t n = size;
    while (n) {
        const ssize_t w = write(fd, data, n);
        if (w < 0) {
            if (errno == EINTR) continue;
            return FALSE;
        }
        data += w;
        n -= static_cast<size_t>(w);
    }
    return TRUE;
}

void OamCloseLogFile(HANDLE file) {
    if (file) close(static_cast<int>(reinterpret_cast<intptr_t>(file) - 1));
}
