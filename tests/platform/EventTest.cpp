// Network events: waking on datagrams and hang-ups, time-outs, manual
// signals, and closing socket and event in any order.
#include <chrono>
#include <cstring>
#include <future>
#include <thread>

#include <gtest/gtest.h>

#include "SocketPairs.h"
#include "oam_win.h"
#include "TestHandles.h"
#include "TestSystem.h"

namespace oamtest {

using Clock = std::chrono::steady_clock;

namespace {

long long MsSince(Clock::time_point t0) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count();
}

// A layer UDP socket (SocketPairs.h) selected for reads and closes.
struct SelectedUdp : UdpPair {
    WSAEVENT ev = WSA_INVALID_EVENT;

    SelectedUdp() {
        ev = win::WSACreateEvent();
        selected = win::WSAEventSelect(sock, ev, FD_READ | FD_CLOSE);
    }
    ~SelectedUdp() {
        // The socket goes before its event, as a host closes them.
        if (sock != INVALID_SOCKET) win::closesocket(sock);
        sock = INVALID_SOCKET;
        if (ev != WSA_INVALID_EVENT) win::WSACloseEvent(ev);
    }
    void SendToIt(const char* text) { Send(text); }
    DWORD Wait(DWORD ms) { return win::WSAWaitForMultipleEvents(1, &ev, FALSE, ms, FALSE); }
    int selected = -1;
};

}  // namespace

TEST(NetEvents, DatagramWakesTheWaitAndNothingTimesOut) {
    SelectedUdp u;
    ASSERT_EQ(0, u.selected);
    ASSERT_NE(WSA_INVALID_EVENT, u.ev);

    auto t0 = Clock::now();
    EXPECT_EQ(static_cast<DWORD>(WSA_WAIT_TIMEOUT), u.Wait(60));
    EXPECT_GE(MsSince(t0), 55);

    std::promise<void> waiting;
    auto result = std::async(std::launch::async, [&] {
        waiting.set_value();
        return u.Wait(10000);
    });
    waiting.get_future().wait();
    u.SendToIt("ping");
    ASSERT_EQ(std::future_status::ready, result.wait_for(std::chrono::seconds(10)));
    EXPECT_EQ(static_cast<DWORD>(WSA_WAIT_EVENT_0), result.get());

    // Level-triggered here: signalled while the datagram waits, reset or
    // not. Windows records FD_READ once and records it again only after the
    // next receive, so a reset event stays reset there.
    EXPECT_TRUE(win::WSAResetEvent(u.ev));
    EXPECT_EQ(static_cast<DWORD>(oamtest::kWindows ? WSA_WAIT_TIMEOUT : WSA_WAIT_EVENT_0), u.Wait(0));
    char buf[16];
    EXPECT_EQ(4, win::recv(u.sock, buf, sizeof buf, 0));
    EXPECT_EQ(static_cast<DWORD>(WSA_WAIT_TIMEOUT), u.Wait(0));
}

TEST(NetEvents, SelectingMakesTheSocketNonBlocking) {
    SelectedUdp u;
    char buf[4];
    EXPECT_EQ(SOCKET_ERROR, win::recv(u.sock, buf, sizeof buf, 0));
    EXPECT_EQ(WSAEWOULDBLOCK, win::WSAGetLastError());
    unsigned long off = 0;
    EXPECT_EQ(SOCKET_ERROR, win::ioctlsocket(u.sock, WIN_FIONBIO, &off));
    EXPECT_EQ(WSAEINVAL, win::WSAGetLastError());
    // Cancelling the selection allows blocking mode again.
    EXPECT_EQ(0, win::WSAEventSelect(u.sock, u.ev, 0));
    EXPECT_EQ(0, win::ioctlsocket(u.sock, WIN_FIONBIO, &off));
}

TEST(NetEvents, HangUpSignalsFdClose) {
    Listener l;
    SOCKET s = win::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in a = l.addr();
    ASSERT_EQ(0, win::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a));
    int peer = l.Accept();
    ASSERT_GE(peer, 0);
    WSAEVENT ev = win::WSACreateEvent();
    ASSERT_EQ(0, win::WSAEventSelect(s, ev, FD_CLOSE));
    EXPECT_EQ(static_cast<DWORD>(WSA_WAIT_TIMEOUT), win::WSAWaitForMultipleEvents(1, &ev, FALSE, 0, FALSE));
    oamtest::net::Close(peer);
    EXPECT_EQ(static_cast<DWORD>(WSA_WAIT_EVENT_0), win::WSAWaitForMultipleEvents(1, &ev, FALSE, 10000, FALSE));
    win::closesocket(s);
    win::WSACloseEvent(ev);
}

TEST(NetEvents, ManualSignalsAndTheLowestIndexWin) {
    WSAEVENT evs[3] = {win::WSACreateEvent(), win::WSACreateEvent(), win::WSACreateEvent()};
    EXPECT_EQ(static_cast<DWORD>(WSA_WAIT_TIMEOUT), win::WSAWaitForMultipleEvents(3, evs, FALSE, 0, FALSE));
    EXPECT_TRUE(win::WSASetEvent(evs[2]));
    EXPECT_EQ(static_cast<DWORD>(WSA_WAIT_EVENT_0 + 2), win::WSAWaitForMultipleEvents(3, evs, FALSE, 0, FALSE));
    EXPECT_TRUE(win::WSASetEvent(evs[1]));
    EXPECT_EQ(static_cast<DWORD>(WSA_WAIT_EVENT_0 + 1), win::WSAWaitForMultipleEvents(3, evs, FALSE, 0, FALSE));
    win::WSAResetEvent(evs[1]);
    win::WSAResetEvent(evs[2]);

    // A set from another thread wakes an endless wait.
    auto result = std::async(std::launch::async,
                             [&] { return win::WSAWaitForMultipleEvents(3, evs, FALSE, WSA_INFINITE, FALSE); });
    EXPECT_EQ(std::future_status::timeout, result.wait_for(std::chrono::milliseconds(20)));
    win::WSASetEvent(evs[0]);
    ASSERT_EQ(std::future_status::ready, result.wait_for(std::chrono::seconds(10)));
    EXPECT_EQ(static_cast<DWORD>(WSA_WAIT_EVENT_0), result.get());
    for (WSAEVENT e : evs) EXPECT_TRUE(win::WSACloseEvent(e));
}

TEST(NetEvents, BadArgumentsFail) {
    WSAEVENT ev = win::WSACreateEvent();
    WSAEVENT bogus = reinterpret_cast<WSAEVENT>(&ev);
    EXPECT_EQ(WSA_WAIT_FAILED, win::WSAWaitForMultipleEvents(0, &ev, FALSE, 0, FALSE));
    if (!oamtest::kWindows) {
        // Windows reads the array unchecked and can wait for all; the
        // emulation refuses both.
        EXPECT_EQ(WSA_WAIT_FAILED, win::WSAWaitForMultipleEvents(1, nullptr, FALSE, 0, FALSE));
        EXPECT_EQ(WSA_WAIT_FAILED, win::WSAWaitForMultipleEvents(1, &ev, TRUE, 0, FALSE));
    }
    EXPECT_EQ(WSA_WAIT_FAILED, win::WSAWaitForMultipleEvents(1, &bogus, FALSE, 0, FALSE));
    EXPECT_EQ(WSA_INVALID_HANDLE, win::WSAGetLastError());
    EXPECT_FALSE(win::WSASetEvent(bogus));
    EXPECT_FALSE(win::WSACloseEvent(bogus));
    EXPECT_EQ(SOCKET_ERROR, win::WSAEventSelect(0, ev, FD_READ));
    EXPECT_EQ(WSAENOTSOCK, win::WSAGetLastError());
    EXPECT_TRUE(win::WSACloseEvent(ev));
    EXPECT_FALSE(win::WSACloseEvent(ev)) << "closed twice";
    EXPECT_EQ(WSA_WAIT_FAILED, win::WSAWaitForMultipleEvents(1, &ev, FALSE, 0, FALSE));
}

TEST(NetEvents, SocketClosedFirstNeverSignalsThroughAReusedDescriptor) {
    if (!oamtest::kHandlesHaveDescriptors) OAM_SKIP_ON_WINDOWS("socket handles are no descriptor numbers on Windows");
    SelectedUdp u;
    int fd = oamtest::DescriptorOf(u.sock);
    ASSERT_EQ(0, win::closesocket(u.sock));
    u.sock = INVALID_SOCKET;
    // A new socket on the same descriptor number, with data waiting.
    SOCKET fresh = win::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    ASSERT_EQ(fd, oamtest::DescriptorOf(fresh));
    sockaddr_in a = Loopback(0);
    win::bind(fresh, reinterpret_cast<sockaddr*>(&a), sizeof a);
    int len = sizeof a;
    win::getsockname(fresh, reinterpret_cast<sockaddr*>(&a), &len);
    u.addr = a;
    u.SendToIt("for the new socket");
    unsigned long pending = 0;
    for (int i = 0; i < 5000 && !pending; ++i) {
        win::ioctlsocket(fresh, WIN_FIONREAD, &pending);
        if (!pending) Sleep(1);
    }
    ASSERT_NE(0u, pending);
    EXPECT_EQ(static_cast<DWORD>(WSA_WAIT_TIMEOUT), u.Wait(30));
    EXPECT_TRUE(win::WSACloseEvent(u.ev));
    u.ev = WSA_INVALID_EVENT;
    win::closesocket(fresh);
}

TEST(NetEvents, EventClosedFirstThenSocket) {
    SelectedUdp u;
    EXPECT_TRUE(win::WSACloseEvent(u.ev));
    u.ev = WSA_INVALID_EVENT;
    u.SendToIt("x");
    char buf[4];
    int n = SOCKET_ERROR;
    for (int i = 0; i < 5000 && n == SOCKET_ERROR; ++i) {
        n = win::recv(u.sock, buf, sizeof buf, 0);
        if (n == SOCKET_ERROR) Sleep(1);
    }
    EXPECT_EQ(1, n) << "the socket works on without its event";
    EXPECT_EQ(0, win::closesocket(u.sock));
    u.sock = INVALID_SOCKET;
}

TEST(NetEvents, SocketClosedDuringAWaitDoesNotSignal) {
    SelectedUdp u;
    int fd = oamtest::DescriptorOf(u.sock);
    std::promise<void> waiting;
    auto result = std::async(std::launch::async, [&] {
        waiting.set_value();
        return u.Wait(300);
    });
    waiting.get_future().wait();
    Sleep(20);
    ASSERT_EQ(0, win::closesocket(u.sock));
    u.sock = INVALID_SOCKET;
    ASSERT_EQ(std::future_status::ready, result.wait_for(std::chrono::seconds(10)));
    EXPECT_EQ(static_cast<DWORD>(WSA_WAIT_TIMEOUT), result.get());
    if (oamtest::kHandlesHaveDescriptors) {
        EXPECT_FALSE(oamtest::DescriptorOpen(fd)) << "the wait let go of the descriptor";
    }
}

TEST(NetEvents, SelectingDuringAWaitIsSeen) {
    WSAEVENT ev = win::WSACreateEvent();
    SOCKET s = win::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    sockaddr_in a = Loopback(0);
    win::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
    int len = sizeof a;
    win::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
    int raw = static_cast<int>(::socket(AF_INET, SOCK_DGRAM, 0));
    ::sendto(raw, "d", 1, 0, reinterpret_cast<sockaddr*>(&a), sizeof a);
    oamtest::net::Close(raw);
    auto result = std::async(std::launch::async,
                             [&] { return win::WSAWaitForMultipleEvents(1, &ev, FALSE, 10000, FALSE); });
    EXPECT_EQ(std::future_status::timeout, result.wait_for(std::chrono::milliseconds(20)));
    ASSERT_EQ(0, win::WSAEventSelect(s, ev, FD_READ));
    ASSERT_EQ(std::future_status::ready, result.wait_for(std::chrono::seconds(10)));
    EXPECT_EQ(static_cast<DWORD>(WSA_WAIT_EVENT_0), result.get());
    win::closesocket(s);
    win::WSACloseEvent(ev);
}

}  // namespace oamtest
