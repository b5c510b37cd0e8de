// Host helpers for window messages on Windows: a message-only window of a
// registered class whose procedure forwards to the host's, and loops over
// the thread's real message queue. PostMessageA, SendMessageA and IsWindow
// are the system's own.
#include <stdio.h>

#include <atomic>
#include <mutex>

#include "oam_win.h"

namespace {

const char kClassName[] = "OamMessageWindow";
// OamDestroyMessageWindow from another thread: sent to the window's thread,
// which alone can destroy it.
const UINT kDestroyRequest = WM_APP + 0x3F00;

// Guards a window's data between its thread, which frees it when the window
// goes, and another thread unhooking the host's procedure.
std::mutex g_dataLock;

// Messages sent from other threads that this thread's windows handled:
// OamPumpMessages counts them with the posted ones.
thread_local unsigned t_sentHandled = 0;

struct WindowData {
    std::atomic<WNDPROC> proc;
    void* user;
};

std::atomic<OamMessageBoxHook> g_messageBoxHook{nullptr};

WindowData* DataOf(HWND wnd) {
    return reinterpret_cast<WindowData*>(GetWindowLongPtrA(wnd, GWLP_USERDATA));
}

// Where the host's procedure is not (yet, or any more) set, the system's
// default answers: creation and destruction messages never reach the host.
LRESULT CALLBACK Forward(HWND wnd, UINT msg, WPARAM wp, LPARAM lp) {
    WindowData* d = DataOf(wnd);
    if (msg == WM_NCDESTROY && d) {
        std::lock_guard<std::mutex> lock(g_dataLock);
        SetWindowLongPtrA(wnd, GWLP_USERDATA, 0);
        delete d;
        return DefWindowProcA(wnd, msg, wp, lp);
    }
    if (msg == kDestroyRequest) {  // OamDestroyMessageWindow from another thread
        DestroyWindow(wnd);
        return 0;
    }
    if (InSendMessage()) ++t_sentHandled;
    WNDPROC proc = d ? d->proc.load() : nullptr;
    if (proc) return proc(wnd, msg, wp, lp);
    return DefWindowProcA(wnd, msg, wp, lp);
}

bool RegisterOnce() {
    static const bool registered = [] {
        WNDCLASSEXA wc{};
        wc.cbSize = sizeof wc;
        wc.lpfnWndProc = &Forward;
        wc.hInstance = GetModuleHandleA(nullptr);
        wc.lpszClassName = kClassName;
        return RegisterClassExA(&wc) != 0 || GetLastError() == ERROR_CLASS_ALREADY_EXISTS;
    }();
    return registered;
}

bool OwnedByCaller(HWND wnd) {
    return wnd && IsWindow(wnd) && GetWindowThreadProcessId(wnd, nullptr) == GetCurrentThreadId();
}

}  // namespace

HWND OamCreateMessageWindow(WNDPROC proc, void* userData) {
    if (!proc || !RegisterOnce()) return nullptr;
    HWND wnd = CreateWindowExA(0, kClassName, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                               GetModuleHandleA(nullptr), nullptr);
    if (!wnd) return nullptr;
    WindowData* d = new WindowData;
    d->proc.store(proc);
    d->user = userData;
    SetWindowLongPtrA(wnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(d));
    return wnd;
}

void* OamGetWindowUserData(HWND wnd) {
    if (!wnd || !IsWindow(wnd)) return nullptr;
    WindowData* d = DataOf(wnd);
    return d ? d->user : nullptr;
}

int OamRunMessageLoop(HWND wnd) {
    if (!OwnedByCaller(wnd)) return -1;
    MSG m;
    for (;;) {
        const BOOL r = GetMessageA(&m, nullptr, 0, 0);
        if (r == 0) return static_cast<int>(m.wParam);
        if (r < 0) return -1;
        TranslateMessage(&m);
        DispatchMessageA(&m);
    }
}

int OamPumpMessages(HWND wnd, DWORD timeoutMs) {
    if (!OwnedByCaller(wnd)) return -1;
    MSG m;
    int handled = 0;
    // Sent messages run inside PeekMessageA (the window procedure counts
    // them), posted ones are dispatched here. Waits only while nothing at
    // all was handled.
    const unsigned sentBefore = t_sentHandled;
    if (!PeekMessageA(&m, nullptr, 0, 0, PM_NOREMOVE) && t_sentHandled == sentBefore)
        MsgWaitForMultipleObjectsEx(0, nullptr, timeoutMs, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
    while (PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE)) {
        if (m.message == WM_QUIT) break;
        TranslateMessage(&m);
        DispatchMessageA(&m);
        ++handled;
    }
    return handled + static_cast<int>(t_sentHandled - sentBefore);
}

void OamQuitMessageLoop(HWND wnd) {
    DWORD thread = GetCurrentThreadId();
    if (wnd) {
        if (!IsWindow(wnd)) return;
        thread = GetWindowThreadProcessId(wnd, nullptr);
    }
    // Unlike PostQuitMessage, this queues behind what is already posted.
    PostThreadMessageA(thread, WM_QUIT, 0, 0);
}

BOOL OamDestroyMessageWindow(HWND wnd) {
    if (!wnd || !IsWindow(wnd)) return FALSE;
    {
        // From here on the host's procedure gets nothing, also what is
        // already queued (the system's default answers it: senders get 0).
        std::lock_guard<std::mutex> lock(g_dataLock);
        if (WindowData* d = DataOf(wnd)) d->proc.store(nullptr);
    }
    if (GetWindowThreadProcessId(wnd, nullptr) == GetCurrentThreadId()) return DestroyWindow(wnd);
    // Only the window's thread can destroy it: the request waits until that
    // thread next handles messages (or ends, which destroys the window too).
    SendMessageA(wnd, kDestroyRequest, 0, 0);
    return IsWindow(wnd) ? FALSE : TRUE;
}

void OamSetMessageBoxHook(OamMessageBoxHook hook) {
    g_messageBoxHook.store(hook);
}

int OamMessageBox(HWND wnd, const char* text, const char* caption, UINT type) {
    if (!text) text = "";
    if (!caption) caption = "Error";
    if (OamMessageBoxHook hook = g_messageBoxHook.load()) return hook(wnd, text, caption, type);
    return MessageBoxA(wnd, text, caption, type);
}
