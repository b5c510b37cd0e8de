// Application framework pieces used by the module's start-up.
#include "AppFramework.h"

#include <string.h>

#include <atomic>
#include <string>

namespace {

// Successful socket initialisations not yet cleaned up, and the clean-up
// call that goes with them.
std::atomic<int> g_socketStarts{0};
std::atomic<SocketCleanupFn> g_socketCleanup{nullptr};
// The layer AfxSocketInit starts.
std::atomic<SocketStartupFn> g_layerStartup{&win::WSAStartup};
std::atomic<SocketCleanupFn> g_layerCleanup{&win::WSACleanup};

void Anchor() {}

// "liboamsdk.so.1" or "liboamsdk.dll" -> "oamsdk".
std::string ModuleName() {
    char path[4096];
    std::string name = "oamsdk";
    if (OamGetModuleFileName(reinterpret_cast<const void*>(&Anchor), path, sizeof path)) {
        std::string file = path;
        file = file.substr(file.find_last_of("/\\") + 1);
        if (file.compare(0, 3, "lib") == 0) file.erase(0, 3);
        file = file.substr(0, file.find('.'));
        if (!file.empty()) name = file;
    }
    return name;
}

}  // namespace

int CWinApp::ExitInstance() {
    AfxSocketTerm();
    return 0;
}

const char* CWinApp::GetAppName() const {
    return m_pszAppName ? m_pszAppName : AfxGetAppName();
}

const char* AfxGetAppName() {
    static const std::string* derived = new std::string(ModuleName());
    return derived->c_str();
}

BOOL AfxSocketInitWith(WSADATA* data, SocketStartupFn startup, SocketCleanupFn cleanup) {
    WSADATA local;
    if (!data) data = &local;
    memset(data, 0, sizeof *data);
    if (startup(MAKEWORD(1, 1), data) != 0) return FALSE;
    if (data->wVersion != MAKEWORD(1, 1)) {
        cleanup();
        win::WSASetLastError(WSAVERNOTSUPPORTED);
        return FALSE;
    }
    g_socketCleanup.store(cleanup);
    g_socketStarts.fetch_add(1);
    return TRUE;
}

BOOL AfxSocketInit(WSADATA* data) {
    return AfxSocketInitWith(data, g_layerStartup.load(), g_layerCleanup.load());
}

void AfxSetSocketLayer(SocketStartupFn startup, SocketCleanupFn cleanup) {
    g_layerStartup.store(startup ? startup : &win::WSAStartup);
    g_layerCleanup.store(cleanup ? cleanup : &win::WSACleanup);
}

void AfxSocketTerm() {
    const SocketCleanupFn cleanup = g_socketCleanup.load();
    for (int n = g_socketStarts.exchange(0); n > 0 && cleanup; --n) cleanup();
}

int AfxMessageBox(UINT id, UINT type) {
    return OamMessageBox(nullptr, AfxLoadString(id), AfxGetAppName(), type);
}
