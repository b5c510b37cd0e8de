// Kernel services: Sleep and the critical section (a recursive mutex).
#include <errno.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <time.h>

#include <atomic>
#include <new>

#include "oam_win.h"

static_assert(sizeof(pthread_mutex_t) <= sizeof(CRITICAL_SECTION::opaque),
              "the mutex lives inside the critical section's storage");
static_assert(alignof(pthread_mutex_t) <= alignof(CRITICAL_SECTION), "storage alignment");

namespace {
pthread_mutex_t* Mutex(CRITICAL_SECTION* cs) {
    return std::launder(reinterpret_cast<pthread_mutex_t*>(cs->opaque));
}
}  // namespace

void Sleep(DWORD ms) {
    if (ms == 0) {
        sched_yield();
        return;
    }
    if (ms == 0xFFFFFFFFu) {  // INFINITE
        for (;;) {
            timespec ts{3600, 0};
            nanosleep(&ts, nullptr);
        }
    }
    timespec ts;
    ts.tv_sec = static_cast<time_t>(ms / 1000);
    ts.tv_nsec = static_cast<long>(ms % 1000) * 1000000L;
    // A signal must not cut the pause short.
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

void InitializeCriticalSection(CRITICAL_SECTION* cs) {
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutex_t* m = new (cs->opaque) pthread_mutex_t;
    pthread_mutex_init(m, &attr);
    pthread_mutexattr_destroy(&attr);
}

void DeleteCriticalSection(CRITICAL_SECTION* cs) {
    pthread_mutex_destroy(Mutex(cs));
}

void EnterCriticalSection(CRITICAL_SECTION* cs) {
    pthread_mutex_lock(Mutex(cs));
}

BOOL TryEnterCriticalSection(CRITICAL_SECTION* cs) {
    return pthread_mutex_trylock(Mutex(cs)) == 0 ? TRUE : FALSE;
}

void LeaveCriticalSection(CRITICAL_SECTION* cs) {
    pthread_mutex_unlock(Mutex(cs));
}

namespace {
std::atomic<PHANDLER_ROUTINE> g_ctrlHandler{nullptr};

void OnControlSignal(int sig) {
    if (PHANDLER_ROUTINE h = g_ctrlHandler.load()) h(sig == SIGINT ? CTRL_C_EVENT : CTRL_CLOSE_EVENT);
}
}  // namespace

BOOL SetConsoleCtrlHandler(PHANDLER_ROUTINE handler, BOOL add) {
    if (!handler) return FALSE;
    struct sigaction sa {};
    sigemptyset(&sa.sa_mask);
    if (add) {
        g_ctrlHandler.store(handler);
        sa.sa_handler = OnControlSignal;
    } else {
        if (g_ctrlHandler.load() != handler) return FALSE;
        g_ctrlHandler.store(nullptr);
        sa.sa_handler = SIG_DFL;
    }
    // No SA_RESTART: a blocking call sees the interruption at once.
    return sigaction(SIGINT, &sa, nullptr) == 0 && sigaction(SIGTERM, &sa, nullptr) == 0 ? TRUE : FALSE;
}
