// Module state for the host.
#pragma once

#include "oam_win.h"

// TRUE when the module's load-time start-up (Windows Sockets 1.1) succeeded.
// A failed start-up cannot refuse the load here as it would on Windows: the
// library stays loaded with its socket layer not started and its message
// box shown, and a host should treat a FALSE here as a failed load
// (dlclose and stop).
extern "C" OAMSDK_API BOOL OamStartupSucceeded();

// The version and the run-time file name (soname) this library was built
// as, e.g. "1.0.0" and "liboamsdk.so.1": what a host actually loaded, where
// OAMSDK_VERSION_STRING is what it was compiled against.
extern "C" OAMSDK_API const char* OamLibraryVersion();
extern "C" OAMSDK_API const char* OamLibrarySoname();
