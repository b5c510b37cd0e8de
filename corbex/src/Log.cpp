// The two log sinks. A message costs one getenv and an atomic load unless a
// hook or a log directory listens; only then is it formatted.
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <atomic>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

#include "Corbex.h"

namespace {

// The hook runs without the sink's lock: a hook may wait for another
// thread that logs (the channel logs while it holds its own lock). Lines
// for the hook queue up under the lock and one thread at a time hands them
// over, so that calls never overlap and keep the order of the lines.
struct SinkState {
    std::mutex lock;  // the file, the queue and the fields below
    std::atomic<CFunction::SinkHook> hook{nullptr};
    void* user = nullptr;
    HANDLE file = nullptr;
    std::string* dir = nullptr;  // directory the file was opened in
    std::deque<std::string>* queue = nullptr;  // lines for the hook, oldest first
    bool delivering = false;                   // a thread is handing the queue over
    bool calling = false;                      // the hook runs (on deliverer)
    std::thread::id deliverer;
};

const char* const kFileNames[2] = {"oamsdk-r.log", "oamsdk-d.log"};

// Constant-initialised and never destroyed: other libraries may log from
// their own destructors at exit.
SinkState g_sinks[2];

// Set while this thread runs a hook; its messages are dropped then.
thread_local bool t_inHook = false;

const char* LogDir() {
    const char* dir = getenv("OAMSDK_LOG_DIR");
    return dir && *dir ? dir : nullptr;
}

// Opens (or keeps) the sink's file in dir; null when it cannot be opened.
HANDLE SinkFile(int sink, SinkState& s, const char* dir) {
    if (s.file && s.dir && *s.dir == dir) return s.file;
    OamCloseLogFile(s.file);
    std::string path(dir);
    if (path.back() != '/') path += '/';
    path += kFileNames[sink];
    s.file = OamOpenLogFile(path.c_str());
    if (s.file) {
        if (!s.dir) s.dir = new std::string;
        *s.dir = dir;
    }
    return s.file;
}

void AppendLine(HANDLE file, const char* message, size_t len) {
    SYSTEMTIME local{};
    GetLocalTime(&local);
    char stamp[64];
    const int n = snprintf(stamp, sizeof stamp, "%04d-%02d-%02d %02d:%02d:%02d.%03d [%lu] ", local.wYear, local.wMonth,
                           local.wDay, local.wHour, local.wMinute, local.wSecond, local.wMilliseconds,
                           static_cast<unsigned long>(GetCurrentThreadId()));
    std::string line;
    line.reserve(static_cast<size_t>(n) + len + 1);
    line.append(stamp, static_cast<size_t>(n));
    line.append(message, len);
    // One message, one line, even when an argument (a reply) has breaks.
    for (size_t i = static_cast<size_t>(n); i < line.size(); ++i) {
        if (line[i] == '\n' || line[i] == '\r') line[i] = ' ';
    }
    line += '\n';
    // One write per line, so that processes sharing the file never mix lines.
    // A full disk must not disturb the caller: the result is not looked at.
    OamAppendLogFile(file, line.data(), static_cast<DWORD>(line.size()));
}

// Logging leaves the thread's error as the failure that is being logged
// set it: hooks read it as that failure's, and so does the caller after the
// log call. On Windows it is the system's last error, which the file, the
// lock and thread-local storage may overwrite on the way.
class KeepThreadError {
public:
    KeepThreadError() : m_code(CorbexGetThreadError()) {}
    ~KeepThreadError() { Restore(); }
    void Restore() const { CorbexSetThreadError(m_code); }

private:
    const uint32_t m_code;
};

void Emit(int sink, const char* format, va_list ap) {
    const KeepThreadError error;
    if (!format || t_inHook) return;
    SinkState& s = g_sinks[sink];
    const char* dir = LogDir();
    if (!dir && !s.hook.load(std::memory_order_acquire)) return;

    char small[512];
    std::string big;
    const char* message = small;
    va_list ap2;
    va_copy(ap2, ap);
    int len = vsnprintf(small, sizeof small, format, ap);
    if (len < 0) {
        va_end(ap2);
        return;
    }
    if (static_cast<size_t>(len) >= sizeof small) {
        big.resize(static_cast<size_t>(len) + 1);
        vsnprintf(&big[0], big.size(), format, ap2);
        message = big.c_str();
    }
    va_end(ap2);

    std::unique_lock<std::mutex> guard(s.lock);
    if (dir) {
        if (HANDLE file = SinkFile(sink, s, dir)) AppendLine(file, message, static_cast<size_t>(len));
    }
    if (!s.hook.load(std::memory_order_relaxed)) return;
    if (!s.queue) s.queue = new std::deque<std::string>;
    s.queue->emplace_back(message, static_cast<size_t>(len));
    // The thread handing lines over takes this one too, after the others.
    if (s.delivering) return;
    s.delivering = true;
    s.deliverer = std::this_thread::get_id();
    while (!s.queue->empty()) {
        const std::string line = std::move(s.queue->front());
        s.queue->pop_front();
        const CFunction::SinkHook hook = s.hook.load(std::memory_order_relaxed);
        if (!hook) continue;
        void* const user = s.user;
        s.calling = true;
        guard.unlock();
        t_inHook = true;
        error.Restore();
        try {
            hook(sink, line.c_str(), user);
        } catch (...) {
            t_inHook = false;
            guard.lock();
            s.calling = s.delivering = false;
            throw;
        }
        t_inHook = false;
        guard.lock();
        s.calling = false;
    }
    s.delivering = false;
}

__attribute__((destructor)) void CloseSinkFiles() {
    for (SinkState& s : g_sinks) {
        std::lock_guard<std::mutex> guard(s.lock);
        OamCloseLogFile(s.file);
        s.file = nullptr;
    }
}

}  // namespace

void CFunction::RLog(const char* format, ...) {
    va_list ap;
    va_start(ap, format);
    Emit(SinkR, format, ap);
    va_end(ap);
}

void CFunction::DLog(const char* format, ...) {
    va_list ap;
    va_start(ap, format);
    Emit(SinkD, format, ap);
    va_end(ap);
}

void CFunction::SetSinkHook(int sink, SinkHook hook, void* user) {
    if (sink != SinkR && sink != SinkD) return;
    SinkState& s = g_sinks[sink];
    std::unique_lock<std::mutex> guard(s.lock);
    s.user = user;
    s.hook.store(hook, std::memory_order_release);
    // The previous hook may be running on another thread: once this
    // returns it is not (a hook that replaces itself does not wait).
    while (s.calling && s.deliverer != std::this_thread::get_id()) {
        guard.unlock();
        std::this_thread::yield();
        guard.lock();
    }
}
