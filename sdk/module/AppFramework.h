// The small part of the application framework the module is written
// against: the application object's base, socket initialisation with its
// clean-up at unload, and string resources shown in a message box.
#pragma once

#include "oam_win.h"

class CWinApp {
public:
    // No name given: the framework derives it from the module's file name.
    constexpr explicit CWinApp(const char* appName = nullptr) : m_pszAppName(appName) {}
    virtual ~CWinApp() {}
    virtual BOOL InitInstance() { return TRUE; }
    // Exit processing: runs the clean-up actions registered so far.
    virtual int ExitInstance();

    const char* GetAppName() const;

private:
    const char* m_pszAppName;
};

// Starts Windows Sockets 1.1 for the process (data may be null). On success
// a WSACleanup is registered for the module's exit processing; a granted
// version other than 1.1 is undone and fails with WSAVERNOTSUPPORTED.
BOOL AfxSocketInit(WSADATA* data = nullptr);

// The same with the socket calls supplied, so that the version check can
// be exercised.
typedef int (*SocketStartupFn)(WORD, WSADATA*);
typedef int (*SocketCleanupFn)();
BOOL AfxSocketInitWith(WSADATA* data, SocketStartupFn startup, SocketCleanupFn cleanup);

// The socket layer that AfxSocketInit starts: the platform's unless
// replaced here (a stand-in lets a layer that cannot start be reached).
// Null arguments restore the platform's.
void AfxSetSocketLayer(SocketStartupFn startup, SocketCleanupFn cleanup);

// Runs the registered socket clean-ups (one WSACleanup per successful
// AfxSocketInit); later calls do nothing until the next AfxSocketInit.
void AfxSocketTerm();

// The name derived from the module's file name: "oamsdk".
const char* AfxGetAppName();

// Text of a string resource; "" for an unknown id.
const char* AfxLoadString(UINT id);

// Modal message box with the resource text and the application's name.
int AfxMessageBox(UINT id, UINT type);
