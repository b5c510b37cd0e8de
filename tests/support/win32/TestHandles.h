// The layer's socket handles, Windows side: they are the system's own, with
// no descriptor number behind them (tests of descriptor reuse skip).
#pragma once

#include "oam_win.h"

namespace oamtest {
constexpr bool kHandlesHaveDescriptors = false;
inline int DescriptorOf(SOCKET) {
    return -1;
}
inline bool DescriptorOpen(int) {
    return false;
}
}  // namespace oamtest
