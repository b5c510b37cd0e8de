// A command channel against a fake server, for tests and benchmarks: a
// channel connected with a short receive time-out, waits on its socket,
// descriptor accounting, a bound on calls that could hang, host windows.
// Needs the library's internal headers (ClientSocket.h).
#pragma once

#include <stdio.h>
#include <stdlib.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "ChannelLink.h"
#include "ClientSocket.h"
#include "FakeServer.h"
#include "LogCapture.h"
#include "TestSystem.h"

namespace oamtest {

using Clock = std::chrono::steady_clock;

// Create against the fake server; the receive time-out is shortened so that
// a missing reply costs little.
inline bool Connect(CClientSocket& c, const FakeServer& s, int receiveTimeoutMs = 5000) {
    return ConnectChannel(c, s.port(), receiveTimeoutMs, s.address().c_str());
}

// Bytes waiting on the channel's connection.
inline uint32_t Pending(CClientSocket& c) {
    uint32_t n = 0;
    unsigned long ret = 0;
    win::WSAIoctl(c.GetSocket(), WIN_FIONREAD, nullptr, 0, &n, sizeof n, &ret, nullptr, nullptr);
    return n;
}

// Waits (bounded) until bytes are waiting on the channel's connection.
inline bool WaitPending(CClientSocket& c, int timeoutMs = 5000) {
    auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (Clock::now() < end) {
        if (Pending(c) > 0) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return false;
}

// Waits (bounded) until exactly n bytes wait on the connection.
inline bool WaitPendingExactly(CClientSocket& c, uint32_t n, int timeoutMs = 10000) {
    auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (Clock::now() < end) {
        if (Pending(c) == n) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return Pending(c) == n;
}

// Waits (bounded) until at least n bytes wait on the connection.
inline bool WaitPendingAtLeast(CClientSocket& c, uint32_t n, int timeoutMs = 10000) {
    auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (Pending(c) < n) {
        if (Clock::now() >= end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

// Open descriptors (handles on Windows) of the process.
inline int OpenDescriptors() {
    return OpenHandleCount();
}

// Every case must leave the process with the descriptors it had: the
// objects of the test body are gone by TearDown.
class NoLeaks : public ::testing::Test {
protected:
    void SetUp() override { m_fds = OpenDescriptors(); }
    void TearDown() override { EXPECT_EQ(OpenDescriptors(), m_fds) << "descriptors left open"; }

private:
    int m_fds = 0;
};

// Runs f on a thread of its own and waits for it at most timeoutMs. A call
// that does not return in that time is a hang: the process cannot go on
// safely with a thread stuck inside the objects of the test, so it reports
// and ends here.
template <class F>
void Within(int timeoutMs, F f, const char* what) {
    std::packaged_task<void()> task(f);
    std::future<void> done = task.get_future();
    std::thread t(std::move(task));
    if (done.wait_for(std::chrono::milliseconds(timeoutMs)) != std::future_status::ready) {
        fprintf(stderr, "HANG: %s did not return within %d ms\n", what, timeoutMs);
        fflush(stderr);
        _exit(3);
    }
    t.join();
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

}  // namespace oamtest
