// Host helpers for window messages on Windows: a message-only window of a
// registered class whose procedure forwards to the host's, and loops over
// the thread's real message queue. PostMessageA, SendMessageA and IsWindow
// are the system's own.
#include <stdio.h>

#include <atomic>

#include "oam_win.h"

namespace {

const char kClassName[] = "OamMessageWindow";

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
        SetWindowLongPtrA(wnd, GWLP_USERDATA, 0);
        delete d;
        return DefWindowProcA(wnd, msg, wp, lp);
    }
    if (msg == WM_CLOSE) {  // OamDestroyMessageWindow from another thread
        if (d) d->proc.store(nullptr);
        DestroyWindow(wnd);
        return 0;
    }
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
    // Sent messages run inside the wait and PeekMessageA; posted ones count.
    if (!PeekMessageA(&m, nullptr, 0, 0, PM_NOREMOVE))
        MsgWaitForMultipleObjectsEx(0, nullptr, timeoutMs, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
    while (PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE)) {
        if (m.message == WM_QUIT) break;
        TranslateMessage(&m);
        DispatchMessageA(&m);
        ++handled;
    }
    return handled;
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
    if (GetWindowThreadProcessId(wnd, nullptr) == GetCurrentThreadId()) {
        if (WindowData* d = DataOf(wnd)) d->proc.store(nullptr);
        return DestroyWindow(wnd);
    }
    return PostMessageA(wnd, WM_CLOSE, 0, 0);
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
