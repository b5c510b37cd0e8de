// Process attach and detach of the DLL: the loader calls DllMain, which
// runs the module's start-up (InitInstance) and exit processing. A failed
// start-up refuses the load.
#include "module/OAMApp.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved) {
    switch (reason) {
    case DLL_PROCESS_ATTACH:
        return OamModuleAttach();
    case DLL_PROCESS_DETACH:
        // At process exit (reserved non-null) other threads are gone and
        // the socket layer may already be torn down: leave it alone.
        if (!reserved) OamModuleDetach();
        return TRUE;
    default:
        return TRUE;
    }
}
