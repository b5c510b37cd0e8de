// Skips for promises one system cannot keep, POSIX side: nothing is
// skipped here (the build picks tests/support/posix or win32).
#pragma once

#include <gtest/gtest.h>

// Skips the rest of the test on Windows, with the reason.
#define OAM_SKIP_ON_WINDOWS(reason) \
    do {                            \
    } while (0)
// Skips the rest of the test when it runs under Wine, with the reason.
#define OAM_SKIP_UNDER_WINE(reason) \
    do {                            \
    } while (0)
