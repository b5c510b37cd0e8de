// Library start-up: the application object and the module's load and
// unload entry points. Loading starts the socket layer and nothing else (no
// thread, no file, no connection, no log line).
#include "module/OAMApp.h"

#include <atomic>

#include "OamModule.h"
#include "oamsdk_version.h"
#include "module/Resource.h"

// Constant-initialised (constexpr constructors), so it exists before any
// load-time code of the module runs.
COAMApp theApp;

BOOL COAMApp::InitInstance() {
    CWinApp::InitInstance();
    if (!AfxSocketInit()) {
        AfxMessageBox(IDP_SOCKETS_INIT_FAILED, MB_OK);
        return FALSE;
    }
    return TRUE;
}

namespace {

enum StartupState { kNotRun = -1, kFailed = 0, kStarted = 1 };
std::atomic<int> g_startup{kNotRun};

}  // namespace

// Process attach, from the platform's module entry. Where a failed start-up
// cannot refuse the load (POSIX), the exit processing runs as it would on a
// refused load; the result is kept for OamStartupSucceeded either way.
BOOL OamModuleAttach() {
    const BOOL ok = theApp.InitInstance();
    if (!ok) theApp.ExitInstance();
    g_startup.store(ok ? kStarted : kFailed);
    return ok;
}

// Process detach: exit processing, which cleans the socket layer up. It
// does not go through theApp, whose destructor may already have run.
void OamModuleDetach() {
    AfxSocketTerm();
}

extern "C" BOOL OamStartupSucceeded() {
    return g_startup.load() == kStarted ? TRUE : FALSE;
}

extern "C" const char* OamLibraryVersion() {
    return OAMSDK_VERSION_STRING;
}

extern "C" const char* OamLibrarySoname() {
    return OAMSDK_SONAME;
}
