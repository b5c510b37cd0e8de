// Window messages: message-only windows owned by a thread, with a queue of
// posted and of sent messages per thread.
//
// A sent message from another thread waits in the owner's queue until the
// owner's loop (or pump, or its own wait in SendMessageA) runs it; sent
// messages go before posted ones. A thread waiting in SendMessageA keeps
// running messages sent to its own windows, so two threads sending to each
// other's windows do not deadlock. A window destroyed while senders wait,
// or whose thread ended, answers them with 0.
#include <stdio.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>

#include "HandleRegistry.h"
#include "oam_win.h"

struct OamWindow {};  // HWND values are registry keys, never addresses

namespace {

struct ThreadQueue;

struct SentMessage {
    uintptr_t wnd;
    UINT msg;
    WPARAM wp;
    LPARAM lp;
    LRESULT result = 0;
    bool done = false;  // guarded by the sender's queue mutex
    std::shared_ptr<ThreadQueue> sender;
};

struct PostedMessage {
    uintptr_t wnd;
    UINT msg;
    WPARAM wp;
    LPARAM lp;
};

struct ThreadQueue {
    std::mutex m;
    std::condition_variable cv;
    std::deque<std::shared_ptr<SentMessage>> sent;
    std::deque<PostedMessage> posted;
    std::thread::id owner;
    bool dead = false;  // the owning thread has ended
};

struct Window {
    uintptr_t key;
    WNDPROC proc;
    void* user;
    std::shared_ptr<ThreadQueue> queue;
};

using Windows = oam::platform::HandleRegistry<Window>;

std::shared_ptr<Window> Find(uintptr_t key) {
    return Windows::Instance().Find(key);
}

std::shared_ptr<Window> Find(HWND wnd) {
    return Find(reinterpret_cast<uintptr_t>(wnd));
}

void Complete(const std::shared_ptr<SentMessage>& sm, LRESULT result) {
    std::lock_guard<std::mutex> lock(sm->sender->m);
    sm->result = result;
    sm->done = true;
    sm->sender->cv.notify_all();
}

void Shutdown(const std::shared_ptr<ThreadQueue>& q);

// The calling thread's queue, made on first use and shut down when the
// thread ends.
struct QueueHolder {
    std::shared_ptr<ThreadQueue> q;
    ~QueueHolder() {
        if (q) Shutdown(q);
    }
};
thread_local QueueHolder t_queue;

std::shared_ptr<ThreadQueue> CurrentQueue() {
    if (!t_queue.q) {
        t_queue.q = std::make_shared<ThreadQueue>();
        t_queue.q->owner = std::this_thread::get_id();
    }
    return t_queue.q;
}

void Shutdown(const std::shared_ptr<ThreadQueue>& q) {
    Windows::Instance().RemoveIf([&](const Window& w) { return w.queue == q; });
    std::deque<std::shared_ptr<SentMessage>> waiting;
    {
        std::lock_guard<std::mutex> lock(q->m);
        q->dead = true;
        waiting.swap(q->sent);
        q->posted.clear();
    }
    for (auto& sm : waiting) Complete(sm, 0);
}

LRESULT Dispatch(uintptr_t key, UINT msg, WPARAM wp, LPARAM lp, bool* delivered) {
    std::shared_ptr<Window> w = Find(key);
    *delivered = w != nullptr;
    if (!w) return 0;  // destroyed meanwhile: the message is dropped
    return w->proc(reinterpret_cast<HWND>(key), msg, wp, lp);
}

void RunSent(const std::shared_ptr<SentMessage>& sm) {
    bool delivered;
    LRESULT r = Dispatch(sm->wnd, sm->msg, sm->wp, sm->lp, &delivered);
    Complete(sm, r);
}

enum class Step { Handled, Dropped, Quit, Empty };

// Takes one message off q (sent first) and runs it. Called with lk held;
// returns with it held.
Step RunOne(ThreadQueue& q, std::unique_lock<std::mutex>& lk, WPARAM* quitCode) {
    if (!q.sent.empty()) {
        std::shared_ptr<SentMessage> sm = std::move(q.sent.front());
        q.sent.pop_front();
        lk.unlock();
        RunSent(sm);
        lk.lock();
        return Step::Handled;
    }
    if (!q.posted.empty()) {
        PostedMessage pm = q.posted.front();
        q.posted.pop_front();
        if (pm.msg == WM_QUIT) {
            if (quitCode) *quitCode = pm.wp;
            return Step::Quit;
        }
        lk.unlock();
        bool delivered;
        Dispatch(pm.wnd, pm.msg, pm.wp, pm.lp, &delivered);
        lk.lock();
        return delivered ? Step::Handled : Step::Dropped;
    }
    return Step::Empty;
}

// The window's queue, if the calling thread owns the window.
std::shared_ptr<ThreadQueue> OwnQueue(HWND wnd) {
    std::shared_ptr<Window> w = Find(wnd);
    if (!w || w->queue->owner != std::this_thread::get_id()) return nullptr;
    return w->queue;
}

std::atomic<OamMessageBoxHook> g_messageBoxHook{nullptr};

}  // namespace

HWND OamCreateMessageWindow(WNDPROC proc, void* userData) {
    if (!proc) return nullptr;
    std::shared_ptr<Window> w = std::make_shared<Window>();
    w->proc = proc;
    w->user = userData;
    w->queue = CurrentQueue();
    uintptr_t key = Windows::Instance().Add(std::move(w), [](Window& made, uintptr_t k) { made.key = k; });
    return reinterpret_cast<HWND>(key);
}

BOOL OamDestroyMessageWindow(HWND wnd) {
    uintptr_t key = reinterpret_cast<uintptr_t>(wnd);
    std::shared_ptr<Window> w = Windows::Instance().Take(key);
    if (!w) return FALSE;
    // Waiting senders get 0; posted messages for the window are dropped.
    std::deque<std::shared_ptr<SentMessage>> cancelled;
    {
        ThreadQueue& q = *w->queue;
        std::lock_guard<std::mutex> lock(q.m);
        for (auto it = q.sent.begin(); it != q.sent.end();) {
            if ((*it)->wnd == key) {
                cancelled.push_back(std::move(*it));
                it = q.sent.erase(it);
            } else {
                ++it;
            }
        }
        for (auto it = q.posted.begin(); it != q.posted.end();) {
            if (it->wnd == key && it->msg != WM_QUIT)
                it = q.posted.erase(it);
            else
                ++it;
        }
    }
    for (auto& sm : cancelled) Complete(sm, 0);
    return TRUE;
}

BOOL IsWindow(HWND wnd) {
    return Find(wnd) ? TRUE : FALSE;
}

void* OamGetWindowUserData(HWND wnd) {
    std::shared_ptr<Window> w = Find(wnd);
    return w ? w->user : nullptr;
}

BOOL PostMessageA(HWND wnd, UINT msg, WPARAM wp, LPARAM lp) {
    std::shared_ptr<Window> w = Find(wnd);
    if (!w) return FALSE;
    ThreadQueue& q = *w->queue;
    std::lock_guard<std::mutex> lock(q.m);
    if (q.dead) return FALSE;
    q.posted.push_back(PostedMessage{w->key, msg, wp, lp});
    q.cv.notify_all();
    return TRUE;
}

LRESULT SendMessageA(HWND wnd, UINT msg, WPARAM wp, LPARAM lp) {
    std::shared_ptr<Window> w = Find(wnd);
    if (!w) return 0;
    if (w->queue->owner == std::this_thread::get_id()) return w->proc(wnd, msg, wp, lp);

    std::shared_ptr<ThreadQueue> self = CurrentQueue();
    std::shared_ptr<SentMessage> sm = std::make_shared<SentMessage>();
    sm->wnd = w->key;
    sm->msg = msg;
    sm->wp = wp;
    sm->lp = lp;
    sm->sender = self;
    {
        ThreadQueue& q = *w->queue;
        std::lock_guard<std::mutex> lock(q.m);
        if (q.dead) return 0;
        q.sent.push_back(sm);
        q.cv.notify_all();
    }
    // Wait, running what other threads send to this thread's windows.
    std::unique_lock<std::mutex> lk(self->m);
    while (!sm->done) {
        if (!self->sent.empty()) {
            std::shared_ptr<SentMessage> in = std::move(self->sent.front());
            self->sent.pop_front();
            lk.unlock();
            RunSent(in);
            lk.lock();
            continue;
        }
        self->cv.wait(lk);
    }
    return sm->result;
}

int OamRunMessageLoop(HWND wnd) {
    std::shared_ptr<ThreadQueue> q = OwnQueue(wnd);
    if (!q) return -1;
    std::unique_lock<std::mutex> lk(q->m);
    for (;;) {
        WPARAM code = 0;
        Step s = RunOne(*q, lk, &code);
        if (s == Step::Quit) return static_cast<int>(code);
        if (s == Step::Empty) q->cv.wait(lk);
    }
}

int OamPumpMessages(HWND wnd, DWORD timeoutMs) {
    std::shared_ptr<ThreadQueue> q = OwnQueue(wnd);
    if (!q) return -1;
    std::unique_lock<std::mutex> lk(q->m);
    auto ready = [&] { return !q->sent.empty() || !q->posted.empty(); };
    if (timeoutMs == 0xFFFFFFFFu)
        q->cv.wait(lk, ready);
    else
        q->cv.wait_for(lk, std::chrono::milliseconds(timeoutMs), ready);
    int handled = 0;
    for (;;) {
        Step s = RunOne(*q, lk, nullptr);
        if (s == Step::Handled) ++handled;
        if (s == Step::Quit || s == Step::Empty) return handled;
    }
}

void OamQuitMessageLoop(HWND wnd) {
    std::shared_ptr<ThreadQueue> q;
    uintptr_t key = 0;
    if (wnd) {
        std::shared_ptr<Window> w = Find(wnd);
        if (!w) return;
        q = w->queue;
        key = w->key;
    } else {
        q = CurrentQueue();
    }
    std::lock_guard<std::mutex> lock(q->m);
    q->posted.push_back(PostedMessage{key, WM_QUIT, 0, 0});
    q->cv.notify_all();
}

void OamSetMessageBoxHook(OamMessageBoxHook hook) {
    g_messageBoxHook.store(hook);
}

int MessageBoxA(HWND wnd, const char* text, const char* caption, UINT type) {
    if (!text) text = "";
    if (!caption) caption = "Error";
    OamMessageBoxHook hook = g_messageBoxHook.load();
    if (hook) return hook(wnd, text, caption, type);
    fprintf(stderr, "%s: %s\n", caption, text);
    fflush(stderr);
    return IDOK;
}

int OamMessageBox(HWND wnd, const char* text, const char* caption, UINT type) {
    return MessageBoxA(wnd, text, caption, type);
}
