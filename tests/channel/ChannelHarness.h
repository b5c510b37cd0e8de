// Shared pieces of the command channel tests: log capture, connecting a
// channel to a fake server with a short receive time-out, host windows.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "ClientSocket.h"
#include "Corbex.h"
#include "FakeServer.h"

namespace chtest {

// Every line of both sinks while alive.
class LogCapture {
public:
    struct Line {
        int sink;
        std::string text;
        bool operator==(const Line& o) const { return sink == o.sink && text == o.text; }
    };
    LogCapture() {
        CFunction::SetSinkHook(CFunction::SinkR, &LogCapture::Hook, this);
        CFunction::SetSinkHook(CFunction::SinkD, &LogCapture::Hook, this);
    }
    ~LogCapture() {
        CFunction::SetSinkHook(CFunction::SinkR, nullptr, nullptr);
        CFunction::SetSinkHook(CFunction::SinkD, nullptr, nullptr);
    }
    std::vector<Line> lines() const {
        std::lock_guard<std::mutex> g(m_mutex);
        return m_lines;
    }
    void clear() {
        std::lock_guard<std::mutex> g(m_mutex);
        m_lines.clear();
    }
    // Lines of one sink that start with prefix.
    int count(int sink, const std::string& prefix) const {
        std::lock_guard<std::mutex> g(m_mutex);
        int n = 0;
        for (const Line& l : m_lines)
            if (l.sink == sink && l.text.compare(0, prefix.size(), prefix) == 0) ++n;
        return n;
    }

private:
    static void Hook(int sink, const char* line, void* user) {
        LogCapture* self = static_cast<LogCapture*>(user);
        std::lock_guard<std::mutex> g(self->m_mutex);
        self->m_lines.push_back(Line{sink, line});
    }
    mutable std::mutex m_mutex;
    std::vector<Line> m_lines;
};

inline std::ostream& operator<<(std::ostream& os, const LogCapture::Line& l) {
    return os << (l.sink == CFunction::SinkR ? "R:" : "D:") << l.text;
}

inline void SetReceiveTimeout(CClientSocket& c, int ms) {
    win::setsockopt(c.GetSocket(), SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&ms), sizeof ms);
}

// Create against the fake server; the receive time-out is shortened so that
// a missing reply costs little.
inline bool Connect(CClientSocket& c, const oamtest::FakeServer& s, int receiveTimeoutMs = 5000) {
    if (!c.Create(s.port(), s.address().c_str())) return false;
    SetReceiveTimeout(c, receiveTimeoutMs);
    return true;
}

// Waits (bounded) until bytes are waiting on the channel's connection.
inline bool WaitPending(CClientSocket& c, int timeoutMs = 5000) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < end) {
        uint32_t n = 0;
        unsigned long ret = 0;
        win::WSAIoctl(c.GetSocket(), WIN_FIONREAD, nullptr, 0, &n, sizeof n, &ret, nullptr, nullptr);
        if (n > 0) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return false;
}

// What a host window saw.
struct WindowLog {
    struct Msg {
        UINT msg;
        WPARAM wp;
        LPARAM lp;
        std::thread::id thread;
    };
    std::mutex mutex;
    std::condition_variable cv;
    std::vector<Msg> msgs;
    std::function<void(const Msg&)> onMessage;  // runs in the window procedure

    static LRESULT Proc(HWND wnd, UINT msg, WPARAM wp, LPARAM lp) {
        WindowLog* self = static_cast<WindowLog*>(OamGetWindowUserData(wnd));
        Msg m{msg, wp, lp, std::this_thread::get_id()};
        if (self->onMessage) self->onMessage(m);
        {
            std::lock_guard<std::mutex> g(self->mutex);
            self->msgs.push_back(m);
        }
        self->cv.notify_all();
        return 0;
    }
    size_t size() {
        std::lock_guard<std::mutex> g(mutex);
        return msgs.size();
    }
    bool waitCount(UINT msg, size_t n, int timeoutMs = 5000) {
        std::unique_lock<std::mutex> g(mutex);
        return cv.wait_for(g, std::chrono::milliseconds(timeoutMs), [&] {
            size_t k = 0;
            for (const Msg& m : msgs) k += m.msg == msg;
            return k >= n;
        });
    }
    bool waitFor(size_t n, int timeoutMs = 5000) {
        std::unique_lock<std::mutex> g(mutex);
        return cv.wait_for(g, std::chrono::milliseconds(timeoutMs), [&] { return msgs.size() >= n; });
    }
};

// A message window owned by a thread of its own that runs its loop.
class WindowThread {
public:
    explicit WindowThread(WindowLog* log) {
        m_thread = std::thread([this, log] {
            HWND w = OamCreateMessageWindow(&WindowLog::Proc, log);
            {
                std::lock_guard<std::mutex> g(m_mutex);
                m_wnd = w;
                m_ready = true;
                m_cv.notify_all();
            }
            if (!w) return;
            OamRunMessageLoop(w);
            OamDestroyMessageWindow(w);
        });
        std::unique_lock<std::mutex> g(m_mutex);
        m_cv.wait(g, [&] { return m_ready; });
        m_id = m_thread.get_id();
    }
    ~WindowThread() {
        if (m_wnd) OamQuitMessageLoop(m_wnd);
        m_thread.join();
    }
    HWND hwnd() const { return m_wnd; }
    std::thread::id id() const { return m_id; }

private:
    std::mutex m_mutex;
    std::condition_variable m_cv;
    bool m_ready = false;
    std::thread m_thread;
    HWND m_wnd = nullptr;
    std::thread::id m_id;
};

}  // namespace chtest
