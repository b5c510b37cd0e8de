// The module's application object.
#pragma once

#include "module/AppFramework.h"

class COAMApp : public CWinApp {
public:
    constexpr COAMApp() {}
    ~COAMApp() override {}

    // Starts Windows Sockets 1.1 for the process; on failure shows string
    // 101 in a message box and gives FALSE.
    BOOL InitInstance() override;
};

// The one instance, constructed before the module's load-time start-up.
extern COAMApp theApp;

// Process attach and detach, run by the platform's module entry (DllMain
// on Windows, a load-time constructor on POSIX): attach gives FALSE when
// start-up failed.
BOOL OamModuleAttach();
void OamModuleDetach();
