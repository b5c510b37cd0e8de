// The few system services Corbex needs, on Windows: the thread's error
// code is the system's own, the module's file name comes from the loader.
#include "oam_win.h"

extern "C" uint32_t CorbexGetThreadError() {
    return GetLastError();
}

extern "C" void CorbexSetThreadError(uint32_t code) {
    SetLastError(code);
}

DWORD OamGetModuleFileName(const void* addressInModule, char* path, DWORD size) {
    HMODULE module = nullptr;
    if (!path || size == 0) return 0;
    path[0] = '\0';
    if (!GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            static_cast<const char*>(addressInModule), &module))
        return 0;
    const DWORD n = GetModuleFileNameA(module, path, size);
    if (n == 0 || n >= size) {  // truncated: no partial name
        path[0] = '\0';
        return 0;
    }
    return n;
}

HANDLE OamOpenLogFile(const char* path) {
    // Appending handle: every write lands at the current end of the file,
    // also when other processes append to it.
    HANDLE h = CreateFileA(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    return h == INVALID_HANDLE_VALUE ? nullptr : h;
}

BOOL OamAppendLogFile(HANDLE file, const char* data, DWORD size) {
    while (size > 0) {
        DWORD written = 0;
        if (!WriteFile(file, data, size, &written, nullptr) || written == 0) return FALSE;
        data += written;
        size -= written;
    }
    return TRUE;
}

void OamCloseLogFile(HANDLE file) {
    if (file) CloseHandle(file);
}
