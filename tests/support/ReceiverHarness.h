// Runs a CAlarmSocket's receive loop on a thread of its own and collects
// the alarms its callback is given. Needs the library's internal headers
// (AlarmSocket.h).
#pragma once

#include <gtest/gtest.h>
#include <string.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "AlarmSocket.h"
#include "UdpPeers.h"
#include "WireText.h"

namespace oamtest {

using namespace std::chrono_literals;
class ReceiverHarness {
public:
    ReceiverHarness() {
        sock.Callback = &ReceiverHarness::OnAlarm;
        sock.UserData = reinterpret_cast<LONG_PTR>(this);
    }
    ~ReceiverHarness() {
        if (m_thread.joinable()) {
            sock.Close();
            m_thread.join();
        }
    }

    // Binds an ephemeral port and starts Receive.
    bool Start() {
        if (sock.Create(0, nullptr) != 1) return false;
        StartLoop();
        return true;
    }
    void StartLoop() {
        m_thread = std::thread([this] {
            sock.Receive();
            std::lock_guard<std::mutex> lock(m_mu);
            m_done = true;
            m_cv.notify_all();
        });
    }

    uint16_t Port() {
        sockaddr_in a;
        memset(&a, 0, sizeof a);
        int n = sizeof a;
        if (win::getsockname(sock.Socket.load(), reinterpret_cast<sockaddr*>(&a), &n) != 0) return 0;
        return ntohs(a.sin_port);
    }

    bool WaitForAlarms(size_t n, std::chrono::milliseconds timeout = 10s) {
        std::unique_lock<std::mutex> lock(m_mu);
        return m_cv.wait_for(lock, timeout, [&] { return m_alarms.size() >= n; });
    }
    bool WaitForLoopEnd(std::chrono::milliseconds timeout = 10s) {
        std::unique_lock<std::mutex> lock(m_mu);
        return m_cv.wait_for(lock, timeout, [&] { return m_done; });
    }
    // Closes the socket and waits for Receive to return; false if it did not.
    bool Stop(std::chrono::milliseconds timeout = 10s) {
        sock.Close();
        bool ended = WaitForLoopEnd(timeout);
        if (ended && m_thread.joinable()) m_thread.join();
        return ended;
    }

    std::vector<ALARM_STRUCT> Alarms() {
        std::lock_guard<std::mutex> lock(m_mu);
        return m_alarms;
    }
    size_t AlarmCount() {
        std::lock_guard<std::mutex> lock(m_mu);
        return m_alarms.size();
    }

    CAlarmSocket sock;
    // Runs first in the callback, on the receiving thread.
    std::function<void(const ALARM_STRUCT&)> hook;

private:
    static int OnAlarm(ALARM_STRUCT* alarm, LONG_PTR user) {
        auto* self = reinterpret_cast<ReceiverHarness*>(user);
        if (self->hook) self->hook(*alarm);
        std::lock_guard<std::mutex> lock(self->m_mu);
        self->m_alarms.push_back(*alarm);
        self->m_cv.notify_all();
        return 0;
    }

    std::thread m_thread;
    std::mutex m_mu;
    std::condition_variable m_cv;
    std::vector<ALARM_STRUCT> m_alarms;
    bool m_done = false;
};

}  // namespace oamtest
