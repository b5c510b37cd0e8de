// Windows Sockets over POSIX: error codes from real connections, handle
// safety, datagram sizes, time-outs and waking blocked calls.
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <cstring>
#include <functional>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "Loopback.h"
#include "SocketPairs.h"
#include "oam_win.h"
#include "platform/posix/PlatformInternal.h"
#include "TestHandles.h"

namespace oamtest {

using Clock = std::chrono::steady_clock;

namespace {

int FdOf(SOCKET s) {
    return oam::platform::HandleDescriptor(s);
}

}  // namespace

// ---- errno mapping -------------------------------------------------------------
struct ErrnoCase {
    int err;
    bool blocking;
    int wsa;
};

std::ostream& operator<<(std::ostream& os, const ErrnoCase& c) {
    return os << "errno " << c.err << (c.blocking ? " blocking" : " non-blocking");
}

class ErrnoMapping : public ::testing::TestWithParam<ErrnoCase> {};

TEST_P(ErrnoMapping, GivesTheWindowsSocketsCode) {
    const ErrnoCase& c = GetParam();
    EXPECT_EQ(c.wsa, oam::platform::ErrnoToWsa(c.err, c.blocking)) << "errno " << c.err;
}

INSTANTIATE_TEST_SUITE_P(
    Table, ErrnoMapping,
    ::testing::Values(ErrnoCase{ENETDOWN, true, WSAENETDOWN}, ErrnoCase{ENETRESET, true, WSAENETRESET},
                      ErrnoCase{ECONNABORTED, true, WSAECONNABORTED}, ErrnoCase{ECONNRESET, true, WSAECONNRESET},
                      ErrnoCase{ENOTCONN, true, WSAENOTCONN}, ErrnoCase{EPIPE, true, WSAESHUTDOWN},
                      ErrnoCase{EAGAIN, false, WSAEWOULDBLOCK}, ErrnoCase{EWOULDBLOCK, false, WSAEWOULDBLOCK},
                      ErrnoCase{EAGAIN, true, WSAETIMEDOUT}, ErrnoCase{ETIMEDOUT, true, WSAETIMEDOUT},
                      ErrnoCase{ECONNREFUSED, true, WSAECONNREFUSED}, ErrnoCase{EBADF, true, WSAENOTSOCK},
                      ErrnoCase{ENOTSOCK, true, WSAENOTSOCK}, ErrnoCase{EMSGSIZE, true, WSAEMSGSIZE},
                      ErrnoCase{EACCES, true, WSAEACCES}, ErrnoCase{EADDRINUSE, true, WSAEADDRINUSE},
                      ErrnoCase{EADDRNOTAVAIL, true, WSAEADDRNOTAVAIL}, ErrnoCase{EINVAL, true, WSAEINVAL},
                      ErrnoCase{EMFILE, true, WSAEMFILE}, ErrnoCase{ENOBUFS, true, WSAENOBUFS},
                      ErrnoCase{EHOSTUNREACH, true, WSAEHOSTUNREACH}, ErrnoCase{ENETUNREACH, true, WSAENETUNREACH},
                      ErrnoCase{EISCONN, true, WSAEISCONN}, ErrnoCase{EINPROGRESS, true, WSAEINPROGRESS},
                      ErrnoCase{EALREADY, true, WSAEALREADY}));

// ---- real connections ----------------------------------------------------------
// A periodic signal aimed at the constructing thread, as an interval timer
// or a profiler gives a host, for at most 8 s.
class SignalStorm {
public:
    explicit SignalStorm(bool restart) {
        struct sigaction sa {};
        sa.sa_handler = [](int) {};
        sa.sa_flags = restart ? SA_RESTART : 0;
        sigemptyset(&sa.sa_mask);
        sigaction(SIGUSR2, &sa, &m_old);
        m_target = pthread_self();
        m_thread = std::thread([this] {
            for (int i = 0; i < 400 && !m_stop; ++i) {
                pthread_kill(m_target, SIGUSR2);
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            }
        });
    }
    ~SignalStorm() {
        m_stop = true;
        m_thread.join();
        sigaction(SIGUSR2, &m_old, nullptr);
    }

private:
    struct sigaction m_old {};
    pthread_t m_target{};
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

struct TimeOutCase {
    const char* name;
    bool send;     // else receive
    int signals;   // 0 none, 1 with SA_RESTART, 2 without
};

std::ostream& operator<<(std::ostream& os, const TimeOutCase& c) {
    return os << c.name;
}

class TimeOutUnderSignals : public ::testing::TestWithParam<TimeOutCase> {};

// A time-out holds across interruptions: a periodic signal every 20 ms
// must not restart a 300 ms window (with or without SA_RESTART, Linux
// interrupts socket calls that have a time-out). A blocking send that runs
// out of time fails even when part of the data went, as on Windows.
TEST_P(TimeOutUnderSignals, SilentPeerTimesOutWithinItsWindow) {
    const TimeOutCase& c = GetParam();
    TcpPair p;
    ASSERT_GE(p.peer, 0);
    SetTimeout(p.client, c.send ? SO_SNDTIMEO : SO_RCVTIMEO, 300);
    std::string big(c.send ? 64 << 20 : 16, 'x');  // more than the loopback buffers take
    std::unique_ptr<SignalStorm> storm;
    if (c.signals) storm.reset(new SignalStorm(c.signals == 1));
    auto t0 = Clock::now();
    int rc = c.send ? win::send(p.client, big.data(), static_cast<int>(big.size()), 0)
                    : win::recv(p.client, &big[0], static_cast<int>(big.size()), 0);
    int err = win::WSAGetLastError();
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count();
    storm.reset();
    EXPECT_EQ(SOCKET_ERROR, rc);
    EXPECT_EQ(WSAETIMEDOUT, err);
    EXPECT_GE(ms, 280);
    EXPECT_LT(ms, 4000) << "the signals restarted the time-out";
}

INSTANTIATE_TEST_SUITE_P(Sockets, TimeOutUnderSignals,
                         ::testing::Values(TimeOutCase{"ReceiveQuiet", false, 0},
                                           TimeOutCase{"ReceiveRestartingSignal", false, 1},
                                           TimeOutCase{"ReceiveInterruptingSignal", false, 2},
                                           TimeOutCase{"SendQuiet", true, 0},
                                           TimeOutCase{"SendRestartingSignal", true, 1},
                                           TimeOutCase{"SendInterruptingSignal", true, 2}),
                         [](const ::testing::TestParamInfo<TimeOutCase>& i) { return std::string(i.param.name); });

TEST(SocketErrors, SendToClosedPeerFailsWithoutSigpipe) {
    struct sigaction sa {};
    ASSERT_EQ(0, sigaction(SIGPIPE, nullptr, &sa));
    ASSERT_EQ(SIG_DFL, sa.sa_handler) << "the test needs the default SIGPIPE disposition";
    TcpPair p;
    ASSERT_GE(p.peer, 0);
    ::close(p.peer);
    p.peer = -1;
    std::string chunk(1024, 'x');
    int rc = 0;
    auto deadline = Clock::now() + std::chrono::seconds(10);
    while (Clock::now() < deadline) {
        rc = win::send(p.client, chunk.data(), static_cast<int>(chunk.size()), 0);
        if (rc == SOCKET_ERROR) break;
        Sleep(1);
    }
    ASSERT_EQ(SOCKET_ERROR, rc);
    EXPECT_TRUE(IsLinkBreak(win::WSAGetLastError())) << win::WSAGetLastError();
    ASSERT_EQ(0, sigaction(SIGPIPE, nullptr, &sa));
    EXPECT_EQ(SIG_DFL, sa.sa_handler) << "the layer must not change signal dispositions";
}

// The POSIX layer also takes Linux's own FIONBIO number (callers that pass
// the system's spelling through a long).
TEST(SocketErrors, LinuxFionbioSpellingSwitchesBlockingToo) {
    TcpPair p;
    ASSERT_GE(p.peer, 0);
    unsigned long on = 1;
    ASSERT_EQ(0, win::ioctlsocket(p.client, WIN_FIONBIO, &on));
    unsigned long off = 0;
    ASSERT_EQ(0, win::ioctlsocket(p.client, static_cast<long>(FIONBIO), &off));
    SetTimeout(p.client, SO_RCVTIMEO, 50);
    char buf[16];
    EXPECT_EQ(SOCKET_ERROR, win::recv(p.client, buf, sizeof buf, 0));
    EXPECT_EQ(WSAETIMEDOUT, win::WSAGetLastError()) << "still non-blocking";
}

// ---- handles ------------------------------------------------------------------
namespace {
// Every call of the layer that takes a socket, as (name, call) pairs.
std::vector<std::pair<const char*, std::function<int(SOCKET)>>> AllCalls() {
    static char buf[64];
    static sockaddr_in a = Loopback(9);
    static int alen;
    static unsigned long ul;
    static uint32_t opt;
    static int optlen;
    return {
        {"bind", [](SOCKET s) { return win::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a); }},
        {"connect", [](SOCKET s) { return win::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a); }},
        {"send", [](SOCKET s) { return win::send(s, buf, 1, 0); }},
        {"recv", [](SOCKET s) { return win::recv(s, buf, sizeof buf, 0); }},
        {"sendto", [](SOCKET s) { return win::sendto(s, buf, 1, 0, reinterpret_cast<sockaddr*>(&a), sizeof a); }},
        {"recvfrom",
         [](SOCKET s) {
             alen = sizeof a;
             return win::recvfrom(s, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&a), &alen);
         }},
        {"shutdown", [](SOCKET s) { return win::shutdown(s, SD_BOTH); }},
        {"ioctlsocket", [](SOCKET s) { return win::ioctlsocket(s, WIN_FIONREAD, &ul); }},
        {"WSAIoctl",
         [](SOCKET s) { return win::WSAIoctl(s, SIO_FLUSH, nullptr, 0, nullptr, 0, &ul, nullptr, nullptr); }},
        {"setsockopt",
         [](SOCKET s) { return win::setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<char*>(&opt), 4); }},
        {"getsockopt",
         [](SOCKET s) {
             optlen = 4;
             return win::getsockopt(s, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<char*>(&opt), &optlen);
         }},
        {"getsockname",
         [](SOCKET s) {
             alen = sizeof a;
             return win::getsockname(s, reinterpret_cast<sockaddr*>(&a), &alen);
         }},
        {"getpeername",
         [](SOCKET s) {
             alen = sizeof a;
             return win::getpeername(s, reinterpret_cast<sockaddr*>(&a), &alen);
         }},
        {"closesocket", [](SOCKET s) { return win::closesocket(s); }},
    };
}

void ExpectEveryCallRefuses(SOCKET s) {
    for (auto& c : AllCalls()) {
        win::WSASetLastError(0);
        EXPECT_EQ(SOCKET_ERROR, c.second(s)) << c.first << " on " << std::hex << s;
        EXPECT_EQ(WSAENOTSOCK, win::WSAGetLastError()) << c.first << " on " << std::hex << s;
    }
}
}  // namespace

TEST(SocketHandles, NoSocketValuesFailEveryCallAndTouchNoDescriptor) {
    // A raw socket whose descriptor number is also a plausible bogus handle.
    int raw = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(raw, 0);
    for (SOCKET s : {SOCKET(0), INVALID_SOCKET, SOCKET(raw), SOCKET(1), SOCKET(2), SOCKET(0xFFFFFFFFu),
                     (SOCKET(7) << 32) | SOCKET(raw)}) {
        ExpectEveryCallRefuses(s);
    }
    EXPECT_TRUE(oamtest::DescriptorOpen(raw));
    EXPECT_TRUE(oamtest::DescriptorOpen(1));
    EXPECT_TRUE(oamtest::DescriptorOpen(2));
    ::close(raw);
}

TEST(SocketHandles, StaleHandleNeverReachesAReusedDescriptor) {
    SOCKET old = win::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    ASSERT_NE(INVALID_SOCKET, old);
    int fd = FdOf(old);
    ASSERT_EQ(0, win::closesocket(old));
    EXPECT_FALSE(oamtest::DescriptorOpen(fd));

    // A new socket of the layer on the same descriptor number.
    SOCKET fresh = win::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    ASSERT_NE(INVALID_SOCKET, fresh);
    ASSERT_EQ(fd, FdOf(fresh)) << "the lowest free descriptor is reused";
    EXPECT_NE(old, fresh);
    unsigned long on = 1;  // a call that wrongly reached it must not block
    ASSERT_EQ(0, win::ioctlsocket(fresh, WIN_FIONBIO, &on));
    ExpectEveryCallRefuses(old);
    EXPECT_TRUE(oamtest::DescriptorOpen(fd));
    int type = 0, len = sizeof type;
    EXPECT_EQ(0, win::getsockopt(fresh, SOL_SOCKET, SO_TYPE, reinterpret_cast<char*>(&type), &len));
    EXPECT_EQ(SOCK_DGRAM, type);
    ASSERT_EQ(0, win::closesocket(fresh));

    // A descriptor opened behind the layer's back on that number.
    int raw = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_EQ(fd, raw);
    EXPECT_EQ(SOCKET_ERROR, win::closesocket(fresh));
    EXPECT_EQ(WSAENOTSOCK, win::WSAGetLastError());
    EXPECT_TRUE(oamtest::DescriptorOpen(raw));
    ::close(raw);
}

TEST(SocketHandles, NeverStdioDescriptorsAndCloseOnExec) {
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        ::close(0);
        ::close(1);
        ::close(2);
        int bad = 0;
        for (int i = 0; i < 4; ++i) {
            SOCKET s = win::socket(AF_INET, i % 2 ? SOCK_DGRAM : SOCK_STREAM, 0);
            if (s == INVALID_SOCKET || s == 0) bad |= 1;
            int fd = FdOf(s);
            if (fd <= 2) bad |= 2;
            if (!(fcntl(fd, F_GETFD) & FD_CLOEXEC)) bad |= 4;
        }
        if (oamtest::DescriptorOpen(0) || oamtest::DescriptorOpen(1) || oamtest::DescriptorOpen(2)) bad |= 8;
        _exit(bad);
    }
    int status = 0;
    ASSERT_EQ(pid, waitpid(pid, &status, 0));
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(0, WEXITSTATUS(status)) << "1 no socket, 2 stdio descriptor, 4 no close-on-exec, 8 stdio reopened";
}

TEST(SocketHandles, HandleRoundTripsThroughAnIntAndDoubleCloseFails) {
    SOCKET s = win::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    ASSERT_NE(INVALID_SOCKET, s);
    // Hosts keep the handle in an int (IsSocket) and give it back.
    ASSERT_LE(s, static_cast<SOCKET>(INT_MAX));
    int asInt = static_cast<int>(s);
    EXPECT_GT(asInt, 2);
    int type = 0, len = sizeof type;
    EXPECT_EQ(0, win::getsockopt(static_cast<SOCKET>(asInt), SOL_SOCKET, SO_TYPE, reinterpret_cast<char*>(&type), &len));
    EXPECT_EQ(SOCK_STREAM, type);
    // Every reuse of a descriptor number gives a new handle value.
    std::vector<SOCKET> seen{s};
    for (int i = 0; i < 50; ++i) {
        EXPECT_EQ(0, win::closesocket(seen.back()));
        SOCKET next = win::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        ASSERT_EQ(FdOf(s), FdOf(next));
        ASSERT_LE(next, static_cast<SOCKET>(INT_MAX));
        EXPECT_EQ(seen.end(), std::find(seen.begin(), seen.end(), next));
        seen.push_back(next);
    }
    s = seen.back();
    EXPECT_EQ(0, win::closesocket(s));
    EXPECT_EQ(SOCKET_ERROR, win::closesocket(s));
    EXPECT_EQ(WSAENOTSOCK, win::WSAGetLastError());
}

// ---- closing from another thread -------------------------------------------------
TEST(SocketClose, CloseFromAnotherThreadWakesBlockedReceive) {
    for (int kind : {SOCK_DGRAM, SOCK_STREAM}) {
        SOCKET s = INVALID_SOCKET;
        int peer = -1;
        Listener l;
        sockaddr_in a = Loopback(0);
        if (kind == SOCK_DGRAM) {
            s = win::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
            ASSERT_EQ(0, win::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a));
            int len = sizeof a;
            win::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
        } else {
            s = win::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
            a = l.addr();
            ASSERT_EQ(0, win::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a));
            peer = l.Accept();
            ASSERT_GE(peer, 0);
        }
        int fd = FdOf(s);
        std::promise<void> started;
        auto done = std::async(std::launch::async, [&] {
            char buf[32];
            started.set_value();
            int rc = win::recv(s, buf, sizeof buf, 0);  // blocking, no time-out
            return std::make_pair(rc, win::WSAGetLastError());
        });
        started.get_future().wait();
        Sleep(50);  // most likely blocked in recv by now; either order must work
        ASSERT_EQ(0, win::closesocket(s));
        if (done.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
            // Unblock it before failing, so the test ends.
            if (kind == SOCK_DGRAM) {
                int tmp = ::socket(AF_INET, SOCK_DGRAM, 0);
                ::sendto(tmp, "x", 1, 0, reinterpret_cast<sockaddr*>(&a), sizeof a);
                ::close(tmp);
            } else {
                ::send(peer, "x", 1, MSG_NOSIGNAL);
            }
            done.wait();
            FAIL() << "closesocket did not wake the blocked recv";
        }
        auto r = done.get();
        EXPECT_EQ(SOCKET_ERROR, r.first);
        EXPECT_TRUE(r.second == WSAEINTR || r.second == WSAENOTSOCK) << r.second;
        EXPECT_FALSE(oamtest::DescriptorOpen(fd)) << "the descriptor is closed once the call has left";
        if (peer >= 0) ::close(peer);
    }
}

TEST(SocketClose, PendingConnectIgnoresSendTimeOutAndWakesOnClose) {
    Listener full(0);
    sockaddr_in a = full.addr();
    int filler = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    ::connect(filler, reinterpret_cast<sockaddr*>(&a), sizeof a);
    pollfd pf{filler, POLLOUT, 0};
    ASSERT_EQ(1, ::poll(&pf, 1, 5000)) << "the first connection fills the queue";

    SOCKET s = win::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    SetTimeout(s, SO_SNDTIMEO, 100);
    auto done = std::async(std::launch::async, [&] {
        int rc = win::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
        return std::make_pair(rc, win::WSAGetLastError());
    });
    // Three times the send time-out: a connect cut short by it would be back.
    EXPECT_EQ(std::future_status::timeout, done.wait_for(std::chrono::milliseconds(300)));
    ASSERT_EQ(0, win::closesocket(s));
    ASSERT_EQ(std::future_status::ready, done.wait_for(std::chrono::seconds(10)))
        << "closesocket did not wake the pending connect";
    auto r = done.get();
    EXPECT_EQ(SOCKET_ERROR, r.first);
    EXPECT_TRUE(r.second == WSAEINTR || r.second == WSAENOTSOCK) << r.second;
    ::close(filler);
}

TEST(SocketClose, ConcurrentCallsAndCloseNeverTouchAnotherSocket) {
    // Threads hammer one handle while it is closed and its number reused;
    // the reused socket must not see their traffic or be closed.
    for (int round = 0; round < 20; ++round) {
        UdpPair u;
        u.NonBlocking();
        SOCKET victim = u.sock;
        std::atomic<bool> stop{false};
        std::vector<std::thread> ts;
        for (int t = 0; t < 3; ++t) {
            ts.emplace_back([&] {
                char b[8];
                while (!stop.load()) {
                    win::recv(victim, b, sizeof b, 0);
                    win::sendto(victim, "z", 1, 0, reinterpret_cast<sockaddr*>(&u.addr), sizeof u.addr);
                }
            });
        }
        Sleep(1);
        ASSERT_EQ(0, win::closesocket(victim));
        u.sock = INVALID_SOCKET;
        SOCKET fresh = win::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
        ASSERT_NE(INVALID_SOCKET, fresh);
        Sleep(2);
        stop = true;
        for (auto& t : ts) t.join();
        // Nothing was sent through the new socket, and it is still open.
        int type = 0, len = sizeof type;
        EXPECT_EQ(0, win::getsockopt(fresh, SOL_SOCKET, SO_TYPE, reinterpret_cast<char*>(&type), &len));
        sockaddr_in name{};
        int nl = sizeof name;
        EXPECT_EQ(SOCKET_ERROR, win::getsockname(fresh, reinterpret_cast<sockaddr*>(&name), &nl))
            << "a send through a stale handle would have bound the new socket";
        win::closesocket(fresh);
    }
}

TEST(Startup, VersionsAndReferenceCount) {
    WSADATA d;
    struct VersionCase {
        WORD asked;
        int rc;
        WORD granted;
    } cases[] = {{MAKEWORD(1, 1), 0, MAKEWORD(1, 1)},   {MAKEWORD(2, 2), 0, MAKEWORD(2, 2)},
                 {MAKEWORD(3, 0), 0, MAKEWORD(2, 2)},   {MAKEWORD(1, 0), WSAVERNOTSUPPORTED, 0},
                 {MAKEWORD(0, 9), WSAVERNOTSUPPORTED, 0}};
    // Empty whatever start-ups the process made so far.
    for (int i = 0; i < 100 && win::WSACleanup() == 0; ++i) {
    }
    int started = 0;
    for (const VersionCase& c : cases) {
        EXPECT_EQ(c.rc, win::WSAStartup(c.asked, &d)) << std::hex << c.asked;
        EXPECT_EQ(MAKEWORD(2, 2), d.wHighVersion);
        if (c.rc == 0) {
            EXPECT_EQ(c.granted, d.wVersion);
            ++started;
        }
    }
    for (int i = 0; i < started; ++i) EXPECT_EQ(0, win::WSACleanup()) << i;
    EXPECT_EQ(SOCKET_ERROR, win::WSACleanup());
    EXPECT_EQ(WSANOTINITIALISED, win::WSAGetLastError());

    EXPECT_EQ(WSAVERNOTSUPPORTED, win::WSAStartup(MAKEWORD(1, 0), &d));
    EXPECT_EQ(SOCKET_ERROR, win::WSACleanup()) << "a failed start-up is not counted";
    // A variable the library once read to fail on purpose changes nothing.
    setenv("OAMSDK_TEST_FAIL_WSASTARTUP", "1", 1);
    EXPECT_EQ(0, win::WSAStartup(MAKEWORD(1, 1), &d));
    unsetenv("OAMSDK_TEST_FAIL_WSASTARTUP");
    EXPECT_EQ(0, win::WSACleanup());
}

}  // namespace oamtest
