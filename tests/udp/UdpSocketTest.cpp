// CUDPSocket through the exported interface: binding, sending to the stored
// remote address, receiving, its network event, and copies sharing a socket.
#include <gtest/gtest.h>
#include <string.h>

#include <chrono>
#include <thread>

#include "AlarmSocket.h"
#include "UDPSocket.h"
#include "TestSystem.h"
#include "UdpPeers.h"

namespace oamtest {

using namespace std::chrono_literals;

namespace {

uint16_t BoundPort(const CUDPSocket& u, uint32_t* address = nullptr) {
    sockaddr_in a;
    memset(&a, 0, sizeof a);
    int n = sizeof a;
    if (win::getsockname(u.Socket, reinterpret_cast<sockaddr*>(&a), &n) != 0) return 0;
    if (address) *address = a.sin_addr.s_addr;
    return ntohs(a.sin_port);
}

uint32_t Dotted(const char* text) {
    return DottedAddress(text);
}

// Waits on the socket's event, then reads one datagram; "" when none came.
std::string WaitAndReceive(const CUDPSocket& u, DWORD ms = 5000) {
    WSAEVENT ev = u.Event;
    if (win::WSAWaitForMultipleEvents(1, &ev, FALSE, ms, FALSE) != WSA_WAIT_EVENT_0) return "";
    win::WSAResetEvent(ev);
    char buffer[2048];
    int n = u.RecvFrom(buffer, sizeof buffer, nullptr);
    return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : std::string();
}

// Every datagram waiting right now.
std::vector<std::string> Drain(const CUDPSocket& u) {
    std::vector<std::string> out;
    char buffer[2048];
    int n;
    while ((n = u.RecvFrom(buffer, sizeof buffer, nullptr)) >= 0) out.push_back(std::string(buffer, static_cast<size_t>(n)));
    return out;
}

TEST(UdpSocketLifecycle, CreateAndDestroyResults) {
    CUDPSocket u;
    EXPECT_EQ(0, u.IsSocket());
    EXPECT_EQ(nullptr, u.Event);
    EXPECT_EQ(-1, u.Destroy()) << "no socket";
    ASSERT_EQ(1, u.Create(0, nullptr));
    EXPECT_NE(0, u.IsSocket());
    EXPECT_NE(nullptr, u.Event);
    // IsSocket gives the value of Socket: a handle the socket calls take.
    EXPECT_EQ(u.Socket, static_cast<SOCKET>(u.IsSocket()));
    int type = 0, len = sizeof type;
    EXPECT_EQ(0, win::getsockopt(static_cast<SOCKET>(u.IsSocket()), SOL_SOCKET, SO_TYPE, reinterpret_cast<char*>(&type),
                                 &len));
    EXPECT_EQ(SOCK_DGRAM, type);
    EXPECT_EQ(0, u.Create(0, nullptr)) << "already holds a socket";
    EXPECT_EQ(0, u.Destroy());
    EXPECT_EQ(0, u.IsSocket());
    EXPECT_EQ(-1, u.Destroy());
    sockaddr_in zero;
    memset(&zero, 0, sizeof zero);
    EXPECT_EQ(0, memcmp(&zero, &u.LocalAddress, sizeof zero)) << "LocalAddress cleared";
}

TEST(UdpSocketLifecycle, PortInUseFailsWithoutAddressReuse) {
    CUDPSocket a, b;
    ASSERT_EQ(1, a.Create(0, "127.0.1.6"));
    uint16_t port = BoundPort(a);
    ASSERT_NE(0, port);
    EXPECT_EQ(0, b.Create(port, "127.0.1.6"));
    EXPECT_EQ(0, b.IsSocket());
    sockaddr_in zero;
    memset(&zero, 0, sizeof zero);
    EXPECT_EQ(0, memcmp(&zero, &b.LocalAddress, sizeof zero));
    OAM_SKIP_UNDER_WINE("Wine binds UDP sockets to the wildcard address, so one port cannot be bound on two "
                        "loopback addresses (Windows allows it)");
    EXPECT_EQ(1, b.Create(port + 0x10000u, "127.0.1.7")) << "low 16 bits of the port, other address";
    EXPECT_EQ(port, BoundPort(b));
}

TEST(UdpSocketLifecycle, AsksForALargeReceiveBuffer) {
    CUDPSocket u;
    ASSERT_EQ(1, u.Create(0, "127.0.0.1"));
    int size = 0;
    int n = sizeof size;
    ASSERT_EQ(0, win::getsockopt(u.Socket, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<char*>(&size), &n));
    EXPECT_GT(size, DefaultReceiveBufferSize());
}

struct BindCase {
    const char* name;
    const char* addr;
    const char* bound;  // address getsockname reports
    bool reachableOn1275;  // a datagram to 127.0.1.5 arrives
};

void PrintTo(const BindCase& c, std::ostream* os) {
    *os << c.name;
}

class UdpSocketBind : public ::testing::TestWithParam<BindCase> {};

TEST_P(UdpSocketBind, BindsTheGivenAddressOrAll) {
    const BindCase& c = GetParam();
    CUDPSocket u;
    ASSERT_EQ(1, u.Create(0, c.addr));
    uint32_t bound = 0;
    uint16_t port = BoundPort(u, &bound);
    ASSERT_NE(0, port);
    EXPECT_EQ(Dotted(c.bound), bound);
    EXPECT_EQ(AF_INET, u.LocalAddress.sin_family);
    EXPECT_EQ(Dotted(c.bound), u.LocalAddress.sin_addr.s_addr);

    UdpSender station;
    station.SendTo("127.0.1.5", port, "probe");
    const char* markerTarget = strcmp(c.bound, "0.0.0.0") == 0 ? "127.0.0.1" : c.bound;
    station.SendTo(markerTarget, port, "marker");
    std::string first = WaitAndReceive(u);
    std::vector<std::string> rest = Drain(u);
    rest.insert(rest.begin(), first);
    std::vector<std::string> want;
    if (c.reachableOn1275) want.push_back("probe");
    want.push_back("marker");
    EXPECT_EQ(want, rest);
}

INSTANTIATE_TEST_SUITE_P(Addresses, UdpSocketBind,
                         ::testing::Values(BindCase{"Null", nullptr, "0.0.0.0", true},
                                           BindCase{"Empty", "", "0.0.0.0", true},
                                           BindCase{"Loopback", "127.0.0.1", "127.0.0.1", false},
                                           BindCase{"ByName", "localhost", "127.0.0.1", false},
                                           BindCase{"Other", "127.0.1.5", "127.0.1.5", true}),
                         [](const ::testing::TestParamInfo<BindCase>& info) { return std::string(info.param.name); });

// ---- sending and receiving ---------------------------------------------------

TEST(UdpSocketTraffic, SendUsesLow16BitsOfStoredPort) {
    UdpRecorder peer("127.0.1.9", 4464);
    ASSERT_TRUE(peer.ok()) << "error " << peer.bindError();
    CUDPSocket u;
    ASSERT_EQ(1, u.Create(0, nullptr));
    u.SetRemoteAddress("127.0.1.9", 70000);
    CString host;
    unsigned port = 0;
    u.GetRemoteAddress(host, port);
    EXPECT_STREQ("127.0.1.9", host);
    EXPECT_EQ(70000u, port);

    char data[] = "hello";
    EXPECT_EQ(5, u.Send(data, 5));
    ASSERT_TRUE(peer.WaitForCount(1, 5s));
    auto got = peer.Snapshot();
    EXPECT_EQ("hello", got[0].bytes);
    EXPECT_EQ(BoundPort(u), ntohs(got[0].from.sin_port));
}

TEST(UdpSocketTraffic, RemoteAddressIsCutToFitAndNullStoredEmpty) {
    CUDPSocket u;
    std::string longName(150, 'h');
    u.SetRemoteAddress(longName.c_str(), 1);
    CString host;
    unsigned port = 0;
    u.GetRemoteAddress(host, port);
    EXPECT_EQ(std::string(99, 'h'), host.str());
    EXPECT_EQ('\0', u.RemoteAddress[99]);
    u.SetRemoteAddress(nullptr, 2);
    u.GetRemoteAddress(host, port);
    EXPECT_STREQ("", host);
    EXPECT_EQ(2u, port);
}

TEST(UdpSocketTraffic, RecvFromWithAndWithoutSenderAddress) {
    CUDPSocket u;
    ASSERT_EQ(1, u.Create(0, "127.0.0.1"));
    char buffer[64];
    EXPECT_EQ(-1, u.RecvFrom(buffer, sizeof buffer, nullptr)) << "nothing waiting";
    EXPECT_EQ(WSAEWOULDBLOCK, win::WSAGetLastError());

    UdpSender station;
    ASSERT_EQ(3, station.SendTo("127.0.0.1", BoundPort(u), "one"));
    ASSERT_EQ(3, station.SendTo("127.0.0.1", BoundPort(u), "two"));
    WSAEVENT ev = u.Event;
    ASSERT_EQ(static_cast<DWORD>(WSA_WAIT_EVENT_0), win::WSAWaitForMultipleEvents(1, &ev, FALSE, 5000, FALSE));

    ASSERT_EQ(3, u.RecvFrom(buffer, sizeof buffer, nullptr));
    EXPECT_EQ("one", std::string(buffer, 3));
    sockaddr_in from;
    memset(&from, 0, sizeof from);
    int n = -1;
    for (int i = 0; i < 500 && n < 0; ++i) {
        n = u.RecvFrom(buffer, sizeof buffer, reinterpret_cast<sockaddr*>(&from));
        if (n < 0) std::this_thread::sleep_for(1ms);
    }
    ASSERT_EQ(3, n);
    EXPECT_EQ("two", std::string(buffer, 3));
    EXPECT_EQ(station.port(), ntohs(from.sin_port));
    EXPECT_EQ(Dotted("127.0.0.1"), from.sin_addr.s_addr);
}

TEST(UdpSocketTraffic, SendToNullHostAndWithoutSocket) {
    CUDPSocket u;
    EXPECT_EQ(0, u.SendTo("x", 1, nullptr, 9)) << "null host";
    EXPECT_EQ(-1, u.SendTo("x", 1, "127.0.0.1", 9)) << "no socket";
    char buffer[8];
    EXPECT_EQ(-1, u.RecvFrom(buffer, sizeof buffer, nullptr));
    CString address;
    unsigned port = 0;
    EXPECT_EQ(0, u.GetPeerName(address, port));
    ASSERT_EQ(1, u.Create(0, nullptr));
    EXPECT_EQ(0, u.GetPeerName(address, port)) << "never connected";
}

TEST(UdpSocketEvent, WaitTimesOutThenWakesOnDatagram) {
    CUDPSocket u;
    ASSERT_EQ(1, u.Create(0, "127.0.0.1"));
    WSAEVENT ev = u.Event;
    EXPECT_EQ(static_cast<DWORD>(WSA_WAIT_TIMEOUT), win::WSAWaitForMultipleEvents(1, &ev, FALSE, 20, FALSE));
    uint16_t port = BoundPort(u);
    std::thread later([port] {
        std::this_thread::sleep_for(20ms);
        UdpSender station;
        station.SendTo("127.0.0.1", port, "wake");
    });
    EXPECT_EQ(static_cast<DWORD>(WSA_WAIT_EVENT_0), win::WSAWaitForMultipleEvents(1, &ev, FALSE, 10000, FALSE));
    later.join();
    char buffer[16];
    EXPECT_EQ(4, u.RecvFrom(buffer, sizeof buffer, nullptr));
}

TEST(UdpSocketEvent, DestroyThenCreateSelectsAFreshEvent) {
    CUDPSocket u;
    ASSERT_EQ(1, u.Create(0, "127.0.0.1"));
    EXPECT_EQ(0, u.Destroy());
    EXPECT_NE(nullptr, u.Event) << "the event stays until the object goes";
    ASSERT_EQ(1, u.Create(0, "127.0.0.1"));
    ASSERT_NE(nullptr, u.Event);
    UdpSender station;
    station.SendTo("127.0.0.1", BoundPort(u), "again");
    EXPECT_EQ("again", WaitAndReceive(u));
}

// ---- copies ------------------------------------------------------------------------

TEST(UdpSocketCopies, ShareOneSocketAndEvent) {
    CUDPSocket a;
    ASSERT_EQ(1, a.Create(0, "127.0.0.1"));
    a.SetUsed(3);
    CUDPSocket b(a);
    CUDPSocket c;
    c = a;
    EXPECT_EQ(a.IsSocket(), b.IsSocket());
    EXPECT_EQ(a.IsSocket(), c.IsSocket());
    EXPECT_EQ(a.Event, c.Event);
    EXPECT_EQ(3, c.IsUsedSocket());

    // A copy that goes away leaves the socket to the others.
    { CUDPSocket temporary(b); }
    UdpSender station;
    station.SendTo("127.0.0.1", BoundPort(a), "still");
    EXPECT_EQ("still", WaitAndReceive(c)) << "one copy waits and reads for all";
}

TEST(UdpSocketCopies, DestroyOnOneCopyClosesForAll) {
    CUDPSocket a;
    ASSERT_EQ(1, a.Create(0, "127.0.0.1"));
    CUDPSocket b(a);
    EXPECT_EQ(0, b.Destroy());
    EXPECT_EQ(0, a.IsSocket());
    char buffer[8];
    EXPECT_EQ(-1, a.RecvFrom(buffer, sizeof buffer, nullptr));
    EXPECT_EQ(-1, a.SendTo("x", 1, "127.0.0.1", 9));
    EXPECT_EQ(-1, a.Destroy()) << "not closed twice";

    // A copy whose socket is gone may make its own; the other keeps its
    // event, still usable.
    ASSERT_EQ(1, a.Create(0, "127.0.0.1"));
    EXPECT_NE(a.Event, b.Event);
    EXPECT_EQ(0, b.IsSocket());
    WSAEVENT old = b.Event;
    EXPECT_NE(static_cast<DWORD>(WSA_WAIT_FAILED), win::WSAWaitForMultipleEvents(1, &old, FALSE, 0, FALSE));
    UdpSender station;
    station.SendTo("127.0.0.1", BoundPort(a), "own");
    EXPECT_EQ("own", WaitAndReceive(a));
}

// Binding the port again works only once nobody holds it.
bool PortIsFree(uint16_t port) {
    CUDPSocket probe;
    return probe.Create(port, "127.0.0.1") == 1;
}

TEST(UdpSocketCopies, LastOwnerClosesTheSocket) {
    uint16_t port;
    {
        CUDPSocket a;
        ASSERT_EQ(1, a.Create(0, "127.0.0.1"));
        port = BoundPort(a);
        CUDPSocket* b = new CUDPSocket(a);
        EXPECT_FALSE(PortIsFree(port));
        delete b;
        EXPECT_FALSE(PortIsFree(port)) << "a still holds it";
    }
    EXPECT_TRUE(PortIsFree(port));
}

TEST(UdpSocketCopies, AssignmentReleasesWhatTheTargetHeld) {
    CUDPSocket a, b;
    ASSERT_EQ(1, a.Create(0, "127.0.0.1"));
    ASSERT_EQ(1, b.Create(0, "127.0.0.1"));
    uint16_t portA = BoundPort(a);
    uint16_t portB = BoundPort(b);
    a = a;
    EXPECT_EQ(portA, BoundPort(a)) << "self-assignment keeps the socket";
    a = b;
    EXPECT_TRUE(PortIsFree(portA)) << "a's old socket had no other owner";
    EXPECT_FALSE(PortIsFree(portB));
    EXPECT_EQ(portB, BoundPort(a));
}

// ---- names ------------------------------------------------------------------------

struct NameCase {
    const char* host;
    const char* want;  // dotted, or nullptr for INADDR_NONE
};

void PrintTo(const NameCase& c, std::ostream* os) {
    *os << (c.host ? c.host : "(null)");
}

class UdpName2Inet : public ::testing::TestWithParam<NameCase> {};

TEST_P(UdpName2Inet, SameRuleForBothClasses) {
    const NameCase& c = GetParam();
    unsigned long want = c.want ? Dotted(c.want) : 0xFFFFFFFFul;
    unsigned long got = CUDPSocket::Name2Inet(c.host);
    EXPECT_EQ(want, got & 0xFFFFFFFFul);
    EXPECT_EQ(got, CAlarmSocket::Name2Inet(c.host));
}

INSTANTIATE_TEST_SUITE_P(Hosts, UdpName2Inet,
                         ::testing::Values(NameCase{nullptr, "0.0.0.0"}, NameCase{"", "0.0.0.0"},
                                           NameCase{"127.0.1.2", "127.0.1.2"}, NameCase{"10.20.30.40", "10.20.30.40"},
                                           NameCase{"localhost", "127.0.0.1"}, NameCase{"300.1.1.1", nullptr},
                                           NameCase{"1..2.3", nullptr}));

}  // namespace
}  // namespace oamtest
