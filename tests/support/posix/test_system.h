// Skips for promises one system cannot keep, POSIX side: nothing is
// skipped here (the build picks tests/support/posix or win32).
#pragma once

#include <dirent.h>

#include <gtest/gtest.h>

namespace oamtest {
// Open descriptors of the process, -1 when they cannot be counted.
inline int OpenHandleCount() {
    DIR* d = opendir("/proc/self/fd");
    if (!d) return -1;
    int n = 0;
    while (dirent* e = readdir(d))
        if (e->d_name[0] != '.') ++n;
    closedir(d);
    return n - 1;  // the directory's own
}
}  // namespace oamtest

// Skips the rest of the test on Windows, with the reason.
#define OAM_SKIP_ON_WINDOWS(reason) \
    do {                            \
    } while (0)
// Skips the rest of the test when it runs under Wine, with the reason.
#define OAM_SKIP_UNDER_WINE(reason) \
    do {                            \
    } while (0)
