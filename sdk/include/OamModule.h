// Module state for the host.
#pragma once

#include "oam_win.h"

// TRUE when the module's load-time start-up (Windows Sockets 1.1) succeeded.
// A failed start-up cannot refuse the load here as it would on Windows: the
// library stays loaded with its socket layer not started and its message
// box shown, and a host should treat a FALSE here as a failed load
// (dlclose and stop).
extern "C" OAMSDK_API BOOL OamStartupSucceeded();
