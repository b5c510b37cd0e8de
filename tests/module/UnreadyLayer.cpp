// A socket layer that cannot start: loaded globally ahead of liboamsdk.so,
// this WSAStartup takes the place of the platform's for the module's
// load-time start-up.
#include "oam_win.h"

namespace win {
int WSAStartup(WORD, WSADATA*) {
    return WSASYSNOTREADY;
}
}  // namespace win
