// Skips for promises one system cannot keep, Windows side (the build picks
// tests/support/posix or win32).
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <stdlib.h>

#include <gtest/gtest.h>

#include <string>

namespace oamtest {
// Which system the tests were built for, where a case differs by design.
constexpr bool kWindows = true;

// Wine's ntdll exports wine_get_version; Windows' does not.
inline bool UnderWine() {
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

// Open handles of the process (sockets, events, files, threads), -1 when
// they cannot be counted.
inline int OpenHandleCount() {
    DWORD n = 0;
    return GetProcessHandleCount(GetCurrentProcess(), &n) ? static_cast<int>(n) : -1;
}

// Through the C runtime, whose copy of the environment the libraries read.
inline void SetEnv(const char* name, const char* value) {
    _putenv_s(name, value);
}
inline void UnsetEnv(const char* name) {
    _putenv_s(name, "");
}
// A fresh directory in the temporary directory named prefix-<pid>-<n>;
// empty on failure.
inline std::string MakeTempDir(const char* prefix) {
    char base[MAX_PATH + 1];
    const DWORD n = GetTempPathA(sizeof base, base);
    if (n == 0 || n > MAX_PATH) return std::string();
    static LONG counter = 0;
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::string dir = std::string(base) + prefix + "-" + std::to_string(GetCurrentProcessId()) + "-" +
                                std::to_string(InterlockedIncrement(&counter));
        if (CreateDirectoryA(dir.c_str(), nullptr)) return dir;
    }
    return std::string();
}

// No fork on Windows: tests needing a child without stdio skip there.
template <class F>
bool InChildWithoutStdio(F) {
    return false;
}
inline bool StdioClosed() {
    return false;
}

// Standard error is not redirected here: tests needing it skip on Windows.
template <class F>
std::string CaptureStderr(F) {
    return std::string();
}

// No descriptor limit to use up on Windows: tests using it skip there.
class DescriptorsUsedUp {
public:
    explicit DescriptorsUsedUp(int) {}
    bool ok() const { return false; }
};

// No per-process file size limit on Windows: tests using it skip there.
class FileSizeCap {
public:
    explicit FileSizeCap(size_t) {}
    bool ok() const { return false; }
};

// No file whose reads give less than its size claims: tests needing one
// skip on Windows.
inline bool LinkToShortReadingFile(const std::string&) {
    return false;
}
}  // namespace oamtest

#define OAM_SKIP_ON_WINDOWS(reason) GTEST_SKIP() << "POSIX only: " << reason
#define OAM_SKIP_UNDER_WINE(reason) \
    if (oamtest::UnderWine()) GTEST_SKIP() << "not under Wine: " << reason
