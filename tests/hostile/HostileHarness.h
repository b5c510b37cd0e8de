// Shared pieces of the hostile-peer tests: descriptor accounting, a channel
// connected with a short receive time-out, waits on the channel's socket.
#pragma once

#include <stdio.h>
#include <string.h>

#include <chrono>
#include <future>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "ClientSocket.h"
#include "FakeServer.h"
#include "TestSystem.h"

namespace hostile {

using Clock = std::chrono::steady_clock;

// Open descriptors (handles on Windows) of the process.
inline int OpenDescriptors() {
    return oamtest::OpenHandleCount();
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

inline void SetReceiveTimeout(CClientSocket& c, int ms) {
    win::setsockopt(c.GetSocket(), SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&ms), sizeof ms);
}

// Create against the server, then a receive time-out short enough that a
// silent server costs little (the library's own is 15 s).
inline bool Connect(CClientSocket& c, const oamtest::FakeServer& s, int receiveTimeoutMs = 3000) {
    if (!c.Create(s.port(), s.address().c_str())) return false;
    SetReceiveTimeout(c, receiveTimeoutMs);
    return true;
}

// Bytes waiting on the channel's connection.
inline uint32_t Pending(CClientSocket& c) {
    uint32_t n = 0;
    unsigned long ret = 0;
    win::WSAIoctl(c.GetSocket(), WIN_FIONREAD, nullptr, 0, &n, sizeof n, &ret, nullptr, nullptr);
    return n;
}

// Waits (bounded) until exactly n bytes wait on the connection.
inline bool WaitPending(CClientSocket& c, uint32_t n, int timeoutMs = 10000) {
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

// "SESSIONID=n;RETURNCODE=code;" followed by rest.
inline std::string Reply(int session, int code, const std::string& rest = "") {
    return "SESSIONID=" + std::to_string(session) + ";RETURNCODE=" + std::to_string(code) + ";" + rest;
}

using oamtest::SessionOf;

// The documented reading of a reply text: cut at its first NUL, white space
// (space, tab, line feed, vertical tab, form feed, carriage return) trimmed
// from both ends.
inline std::string CutAndTrim(const std::string& raw) {
    std::string s = raw.substr(0, strnlen(raw.data(), raw.size()));
    auto space = [](char ch) { return ch == ' ' || (ch >= '\t' && ch <= '\r'); };
    size_t b = 0, e = s.size();
    while (b < e && space(s[b])) ++b;
    while (e > b && space(s[e - 1])) --e;
    return s.substr(b, e - b);
}

}  // namespace hostile
