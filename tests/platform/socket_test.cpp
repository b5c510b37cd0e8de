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

#include "loopback.h"
#include "oam_win.h"
#include "platform/posix/platform_internal.h"
#include "test_handles.h"

using namespace plattest;
using Clock = std::chrono::steady_clock;

namespace {

int FdOf(SOCKET s) {
    return oam::platform::HandleDescriptor(s);
}

bool IsLinkBreak(int code) {
    return code == WSAENETDOWN || code == WSAENETRESET || code == WSAECONNABORTED || code == WSAECONNRESET ||
           code == WSAENOTCONN || code == WSAESHUTDOWN;
}

void SetTimeout(SOCKET s, int opt, uint32_t ms) {
    ASSERT_EQ(0, win::setsockopt(s, SOL_SOCKET, opt, reinterpret_cast<const char*>(&ms), sizeof ms));
}

// A layer TCP client connected to a raw POSIX peer.
struct TcpPair {
    Listener listener;
    SOCKET client = INVALID_SOCKET;
    int peer = -1;

    TcpPair() {
        client = win::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        sockaddr_in a = listener.addr();
        if (win::connect(client, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) peer = listener.Accept();
    }
    ~TcpPair() {
        if (client != INVALID_SOCKET) win::closesocket(client);
        if (peer >= 0) ::close(peer);
    }
    void ResetPeer() {
        linger lg{1, 0};
        ::setsockopt(peer, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
        ::close(peer);
        peer = -1;
    }
};

// A layer UDP socket bound to 127.0.0.1 and a raw sender.
struct UdpPair {
    SOCKET sock = INVALID_SOCKET;
    sockaddr_in addr{};
    int sender = -1;
    uint16_t senderPort = 0;

    UdpPair() {
        sock = win::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
        addr = Loopback(0);
        win::bind(sock, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
        int len = sizeof addr;
        win::getsockname(sock, reinterpret_cast<sockaddr*>(&addr), &len);
        sender = BoundUdp(&senderPort);
    }
    ~UdpPair() {
        if (sock != INVALID_SOCKET) win::closesocket(sock);
        ::close(sender);
    }
    void Send(const std::string& bytes) {
        ::sendto(sender, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    }
    void NonBlocking() {
        unsigned long on = 1;
        win::ioctlsocket(sock, WIN_FIONBIO, &on);
    }
};

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
TEST(SocketErrors, ResetByPeerThenSendGivesLinkBreakCodes) {
    TcpPair p;
    ASSERT_GE(p.peer, 0);
    SetTimeout(p.client, SO_RCVTIMEO, 5000);
    p.ResetPeer();
    char buf[16];
    win::WSASetLastError(0);
    EXPECT_EQ(SOCKET_ERROR, win::recv(p.client, buf, sizeof buf, 0));
    EXPECT_EQ(WSAECONNRESET, win::WSAGetLastError());
    EXPECT_EQ(WSAECONNRESET, static_cast<int>(GetLastError()));  // the same per-thread slot
    EXPECT_EQ(SOCKET_ERROR, win::send(p.client, "x", 1, 0));
    EXPECT_TRUE(IsLinkBreak(win::WSAGetLastError())) << win::WSAGetLastError();
}

TEST(SocketErrors, ReceiveTimeOutIsWsaeTimedOut) {
    TcpPair p;
    ASSERT_GE(p.peer, 0);
    SetTimeout(p.client, SO_RCVTIMEO, 100);
    uint32_t back = 0;
    int len = sizeof back;
    ASSERT_EQ(0, win::getsockopt(p.client, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<char*>(&back), &len));
    EXPECT_EQ(100u, back);
    EXPECT_EQ(4, len);
    char buf[16];
    auto t0 = Clock::now();
    EXPECT_EQ(SOCKET_ERROR, win::recv(p.client, buf, sizeof buf, 0));
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count();
    EXPECT_EQ(WSAETIMEDOUT, win::WSAGetLastError());
    EXPECT_GE(ms, 80);
    EXPECT_LT(ms, 10000);

    // The same call on a non-blocking socket would block instead.
    unsigned long on = 1;
    ASSERT_EQ(0, win::ioctlsocket(p.client, WIN_FIONBIO, &on));
    EXPECT_EQ(SOCKET_ERROR, win::recv(p.client, buf, sizeof buf, 0));
    EXPECT_EQ(WSAEWOULDBLOCK, win::WSAGetLastError());
    unsigned long off = 0;
    ASSERT_EQ(0, win::ioctlsocket(p.client, static_cast<long>(FIONBIO), &off));
    SetTimeout(p.client, SO_RCVTIMEO, 50);
    EXPECT_EQ(SOCKET_ERROR, win::recv(p.client, buf, sizeof buf, 0));
    EXPECT_EQ(WSAETIMEDOUT, win::WSAGetLastError());
}

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

TEST(SocketErrors, SendAfterOwnShutdownIsWsaeShutdown) {
    TcpPair p;
    ASSERT_GE(p.peer, 0);
    ASSERT_EQ(0, win::shutdown(p.client, SD_SEND));
    EXPECT_EQ(SOCKET_ERROR, win::send(p.client, "x", 1, 0));
    EXPECT_EQ(WSAESHUTDOWN, win::WSAGetLastError());
    EXPECT_EQ(SOCKET_ERROR, win::shutdown(p.client, 7));
    EXPECT_EQ(WSAEINVAL, win::WSAGetLastError());
}

TEST(SocketErrors, RefusedConnectAndUnconnectedCalls) {
    uint16_t port;
    {
        Listener l;  // a port that was free a moment ago
        port = l.port();
    }
    SOCKET s = win::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    ASSERT_NE(INVALID_SOCKET, s);
    uint32_t ms = 100;  // a send time-out does not cut connect short
    win::setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&ms), sizeof ms);
    sockaddr_in peer{};
    int len = sizeof peer;
    EXPECT_EQ(SOCKET_ERROR, win::getpeername(s, reinterpret_cast<sockaddr*>(&peer), &len));
    EXPECT_EQ(WSAENOTCONN, win::WSAGetLastError());
    EXPECT_EQ(SOCKET_ERROR, win::getsockname(s, reinterpret_cast<sockaddr*>(&peer), &len));
    EXPECT_EQ(WSAEINVAL, win::WSAGetLastError()) << "never bound";
    sockaddr_in a = Loopback(port);
    EXPECT_EQ(SOCKET_ERROR, win::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a));
    EXPECT_EQ(WSAECONNREFUSED, win::WSAGetLastError());
    EXPECT_EQ(0, win::closesocket(s));
}

// Linux would take 0.0.0.0 for the local host: a channel whose server name
// failed to resolve must not land on whatever listens locally.
TEST(SocketErrors, AnyAddressIsNoDestination) {
    Listener l;
    sockaddr_in any = l.addr();
    any.sin_addr.s_addr = htonl(INADDR_ANY);
    SOCKET t = win::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    ASSERT_NE(INVALID_SOCKET, t);
    EXPECT_EQ(SOCKET_ERROR, win::connect(t, reinterpret_cast<sockaddr*>(&any), sizeof any));
    EXPECT_EQ(WSAEADDRNOTAVAIL, win::WSAGetLastError());
    EXPECT_EQ(-1, l.Accept(50));
    EXPECT_EQ(0, win::closesocket(t));

    SOCKET u = win::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    ASSERT_NE(INVALID_SOCKET, u);
    EXPECT_EQ(SOCKET_ERROR, win::sendto(u, "x", 1, 0, reinterpret_cast<sockaddr*>(&any), sizeof any));
    EXPECT_EQ(WSAEADDRNOTAVAIL, win::WSAGetLastError());
    EXPECT_EQ(0, win::closesocket(u));
}

TEST(SocketErrors, ErrorsArePerThread) {
    win::WSASetLastError(WSAECONNRESET);
    std::thread([] {
        EXPECT_EQ(0, win::WSAGetLastError());
        char b;
        win::recv(0, &b, 1, 0);
        EXPECT_EQ(WSAENOTSOCK, win::WSAGetLastError());
    }).join();
    EXPECT_EQ(WSAECONNRESET, win::WSAGetLastError());
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

// ---- datagrams -------------------------------------------------------------------
TEST(Datagrams, OversizedDatagramIsWsaeMsgSizeAndConsumed) {
    UdpPair u;
    u.NonBlocking();
    std::string big(100, 'b');
    char small[10];
    for (int viaRecvFrom = 0; viaRecvFrom < 2; ++viaRecvFrom) {
        u.Send(big);
        u.Send("next");
        // Wait for both datagrams without relying on time.
        unsigned long pending = 0;
        for (int i = 0; i < 5000 && pending == 0; ++i) {
            win::ioctlsocket(u.sock, WIN_FIONREAD, &pending);
            if (!pending) Sleep(1);
        }
        int rc;
        if (viaRecvFrom) {
            sockaddr_in from{};
            int fl = sizeof from;
            rc = win::recvfrom(u.sock, small, sizeof small, 0, reinterpret_cast<sockaddr*>(&from), &fl);
        } else {
            rc = win::recv(u.sock, small, sizeof small, 0);
        }
        EXPECT_EQ(SOCKET_ERROR, rc);
        EXPECT_EQ(WSAEMSGSIZE, win::WSAGetLastError());
        // The oversized datagram is gone; the next one is read whole.
        int n = SOCKET_ERROR;
        for (int i = 0; i < 5000 && n == SOCKET_ERROR; ++i) {
            n = win::recv(u.sock, small, sizeof small, 0);
            if (n == SOCKET_ERROR) {
                ASSERT_EQ(WSAEWOULDBLOCK, win::WSAGetLastError());
                Sleep(1);
            }
        }
        ASSERT_EQ(4, n);
        EXPECT_EQ("next", std::string(small, 4));
    }
}

TEST(Datagrams, SendToReceiveFromAndPendingCount) {
    UdpPair u;
    SOCKET out = win::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    ASSERT_NE(INVALID_SOCKET, out);
    ASSERT_EQ(5, win::sendto(out, "hello", 5, 0, reinterpret_cast<sockaddr*>(&u.addr), sizeof u.addr));

    uint32_t count = 0;
    unsigned long returned = 0;
    for (int i = 0; i < 5000 && count == 0; ++i) {
        ASSERT_EQ(0, win::WSAIoctl(u.sock, WIN_FIONREAD, nullptr, 0, &count, sizeof count, &returned, nullptr, nullptr));
        if (!count) Sleep(1);
    }
    EXPECT_EQ(5u, count);
    EXPECT_EQ(4u, returned);
    EXPECT_EQ(0, win::WSAIoctl(u.sock, SIO_FLUSH, nullptr, 0, nullptr, 0, &returned, nullptr, nullptr));
    EXPECT_EQ(SOCKET_ERROR, win::WSAIoctl(u.sock, 0x12345678, nullptr, 0, nullptr, 0, &returned, nullptr, nullptr));
    EXPECT_EQ(WSAEINVAL, win::WSAGetLastError());

    char buf[16];
    sockaddr_in from{};
    int fl = sizeof from;
    ASSERT_EQ(5, win::recvfrom(u.sock, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &fl));
    EXPECT_EQ("hello", std::string(buf, 5));
    sockaddr_in mine{};
    int ml = sizeof mine;
    ASSERT_EQ(0, win::getsockname(out, reinterpret_cast<sockaddr*>(&mine), &ml));
    EXPECT_EQ(mine.sin_port, from.sin_port);
    EXPECT_EQ(static_cast<int>(sizeof(sockaddr_in)), fl);

    // Flags that Windows Sockets does not know are refused.
    EXPECT_EQ(SOCKET_ERROR, win::recv(u.sock, buf, sizeof buf, MSG_DONTWAIT));
    EXPECT_EQ(WSAEOPNOTSUPP, win::WSAGetLastError());
    win::closesocket(out);
}

TEST(SocketOptions, BufferSizesReadBackAsSet) {
    SOCKET s = win::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    for (int opt : {SO_RCVBUF, SO_SNDBUF}) {
        int want = 65536;
        ASSERT_EQ(0, win::setsockopt(s, SOL_SOCKET, opt, reinterpret_cast<const char*>(&want), sizeof want));
        int got = 0, len = sizeof got;
        ASSERT_EQ(0, win::getsockopt(s, SOL_SOCKET, opt, reinterpret_cast<char*>(&got), &len));
        EXPECT_EQ(want, got);
    }
    uint32_t zero = 0, back = 1;
    int len = sizeof back;
    ASSERT_EQ(0, win::setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&zero), sizeof zero));
    ASSERT_EQ(0, win::getsockopt(s, SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<char*>(&back), &len));
    EXPECT_EQ(0u, back);
    EXPECT_EQ(SOCKET_ERROR, win::setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&zero), 2));
    EXPECT_EQ(WSAEFAULT, win::WSAGetLastError());
    win::closesocket(s);
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

// ---- addresses, names, start-up -------------------------------------------------
struct AddrCase {
    const char* text;
    bool valid;
    uint8_t b[4];
};

std::ostream& operator<<(std::ostream& os, const AddrCase& c) {
    return os << '"' << (c.text ? c.text : "(null)") << '"';
}

class InetAddr : public ::testing::TestWithParam<AddrCase> {};

TEST_P(InetAddr, ParsesAsWindowsDoes) {
    const AddrCase& c = GetParam();
    unsigned long got = win::inet_addr(c.text);
    if (!c.valid) {
        EXPECT_EQ(static_cast<unsigned long>(INADDR_NONE), got) << c.text;
        return;
    }
    uint32_t n = static_cast<uint32_t>(got);
    EXPECT_EQ(got, static_cast<unsigned long>(n)) << "only the low 32 bits carry the address";
    in_addr ia;
    ia.s_addr = n;
    char want[16];
    snprintf(want, sizeof want, "%u.%u.%u.%u", c.b[0], c.b[1], c.b[2], c.b[3]);
    EXPECT_STREQ(want, win::inet_ntoa(ia)) << c.text;
}

INSTANTIATE_TEST_SUITE_P(
    Texts, InetAddr,
    ::testing::Values(AddrCase{"127.0.0.1", true, {127, 0, 0, 1}}, AddrCase{"192.168.1.10", true, {192, 168, 1, 10}},
                      AddrCase{"10.1.2", true, {10, 1, 0, 2}}, AddrCase{"10.65537", true, {10, 1, 0, 1}},
                      AddrCase{"0x7f.1", true, {127, 0, 0, 1}}, AddrCase{"010.0.0.1", true, {8, 0, 0, 1}},
                      AddrCase{"1.2.3.4 ", true, {1, 2, 3, 4}}, AddrCase{"0.0.0.0", true, {0, 0, 0, 0}},
                      AddrCase{"256.0.0.1", false, {}}, AddrCase{"1.2.3.4.5", false, {}},
                      AddrCase{"", false, {}}, AddrCase{"1..2", false, {}}, AddrCase{"1.2.3.", false, {}},
                      AddrCase{"abc", false, {}}, AddrCase{"09.1.1.1", false, {}}, AddrCase{"1.2.3.4x", false, {}},
                      AddrCase{nullptr, false, {}}));

TEST(Names, NtoaBufferIsPerThread) {
    in_addr a;
    a.s_addr = htonl(0x01020304);
    char* mine = win::inet_ntoa(a);
    std::thread([] {
        in_addr b;
        b.s_addr = htonl(0x05060708);
        EXPECT_STREQ("5.6.7.8", win::inet_ntoa(b));
    }).join();
    EXPECT_STREQ("1.2.3.4", mine);
}

TEST(Names, GetHostByNameGivesIpv4AndLocalHost) {
    hostent* h = win::gethostbyname("localhost");
    ASSERT_NE(nullptr, h);
    EXPECT_EQ(AF_INET, h->h_addrtype);
    EXPECT_EQ(4, h->h_length);
    ASSERT_NE(nullptr, h->h_addr_list[0]);
    EXPECT_EQ(127, static_cast<unsigned char>(h->h_addr_list[0][0]));

    h = win::gethostbyname("127.0.0.2");
    ASSERT_NE(nullptr, h);
    in_addr first;
    memcpy(&first, h->h_addr_list[0], 4);
    EXPECT_STREQ("127.0.0.2", win::inet_ntoa(first));
    EXPECT_EQ(nullptr, h->h_addr_list[1]);

    for (const char* local : {"", static_cast<const char*>(nullptr)}) {
        h = win::gethostbyname(local);
        ASSERT_NE(nullptr, h);
        EXPECT_EQ(AF_INET, h->h_addrtype);
        EXPECT_NE(nullptr, h->h_addr_list[0]);
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
