// The socket calls' promises that hold on both systems: error codes of
// real connections, datagrams, options, addresses and names. (SocketTest.cpp
// has the POSIX layer's own: its errno mapping, handles and signals.)
#include <stdio.h>
#include <string.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "Loopback.h"
#include "SocketCommon.h"
#include "oam_win.h"
#include "SocketPairs.h"
#include "TestSystem.h"

namespace oamtest {

using Clock = std::chrono::steady_clock;

TEST(SocketErrors, ResetByPeerThenSendGivesLinkBreakCodes) {
    OAM_SKIP_UNDER_WINE("Wine's recv reads a reset connection as an orderly close (Windows: WSAECONNRESET)");
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
    ASSERT_EQ(0, win::ioctlsocket(p.client, WIN_FIONBIO, &off));
    SetTimeout(p.client, SO_RCVTIMEO, 50);
    EXPECT_EQ(SOCKET_ERROR, win::recv(p.client, buf, sizeof buf, 0));
    EXPECT_EQ(WSAETIMEDOUT, win::WSAGetLastError());
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
    OAM_SKIP_UNDER_WINE("Wine hands 0.0.0.0 to Linux, which reaches the local host (Windows: WSAEADDRNOTAVAIL)");
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
    // Windows' own thread calls may overwrite the creating thread's value.
    if (!oamtest::kWindows) {
        EXPECT_EQ(WSAECONNRESET, win::WSAGetLastError());
    }
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
    if (!oamtest::UnderWine()) {  // Wine refuses both with WSAEOPNOTSUPP
        EXPECT_EQ(0, win::WSAIoctl(u.sock, SIO_FLUSH, nullptr, 0, nullptr, 0, &returned, nullptr, nullptr));
        EXPECT_EQ(SOCKET_ERROR, win::WSAIoctl(u.sock, 0x12345678, nullptr, 0, nullptr, 0, &returned, nullptr, nullptr));
        EXPECT_EQ(WSAEINVAL, win::WSAGetLastError());
    }

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

    // Flags that Windows Sockets does not know are refused by the POSIX
    // layer (Linux's MSG_DONTWAIT here; Windows' own recv waits on).
    if (!oamtest::kWindows) {
        EXPECT_EQ(SOCKET_ERROR, win::recv(u.sock, buf, sizeof buf, 0x40));
        EXPECT_EQ(WSAEOPNOTSUPP, win::WSAGetLastError());
    }
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

// The classes' GetPeerName: dotted text and port of a connected socket; an
// unconnected one leaves both as they were.
TEST(Names, PeerNameOfConnectedSocketOnly) {
    TcpPair p;
    ASSERT_GE(p.peer, 0);
    CString address = "unchanged";
    unsigned int port = 7;
    EXPECT_EQ(1, oam::platform::GetPeerName(p.client, address, port));
    EXPECT_STREQ("127.0.0.1", address.GetString());
    EXPECT_EQ(ntohs(p.listener.addr().sin_port), port);

    UdpPair u;
    address = "unchanged";
    port = 7;
    EXPECT_EQ(0, oam::platform::GetPeerName(u.sock, address, port));
    EXPECT_EQ(WSAENOTCONN, win::WSAGetLastError());
    EXPECT_STREQ("unchanged", address.GetString());
    EXPECT_EQ(7u, port);
}

}  // namespace oamtest
