// The layer's socket handles and the descriptors behind them, POSIX side
// (the build picks tests/support/posix or win32). Needs the project's
// root on the include path.
#pragma once

#include <fcntl.h>

#include "platform/posix/PlatformInternal.h"

namespace oamtest {
// Whether a handle has a descriptor number a test can watch.
constexpr bool kHandlesHaveDescriptors = true;
inline int DescriptorOf(SOCKET s) {
    return oam::platform::HandleDescriptor(s);
}
inline bool DescriptorOpen(int fd) {
    return fcntl(fd, F_GETFD) != -1;
}
}  // namespace oamtest
