// What the peers on UDP port 20000 see of an alarm receiver: registrations
// and keep-alives. Every test here binds port 20000 on loopback addresses.
#include <gtest/gtest.h>

#include <memory>

#include "alarm/RegistrationSchedule.h"
#include "ReceiverHarness.h"
#include "TestSystem.h"

namespace oamtest {
namespace {

const uint16_t kPeerPort = 20000;
const char kOnePortManyAddresses[] =
    "Wine binds UDP sockets to the wildcard address, so one port cannot be bound on two loopback addresses "
    "(Windows allows it)";

std::vector<std::string> Texts(const std::vector<RecordedDatagram>& items) {
    std::vector<std::string> out;
    for (const auto& d : items) out.push_back(d.bytes);
    return out;
}

std::unique_ptr<UdpRecorder> Peer(const char* addr) {
    auto peer = std::make_unique<UdpRecorder>(addr, kPeerPort);
    EXPECT_TRUE(peer->ok()) << "cannot bind " << addr << ":20000, error " << peer->bindError();
    return peer;
}

class ShortUnit {
public:
    explicit ShortUnit(std::chrono::milliseconds unit) { oam::alarm::SetKeepAliveUnitForTest(unit); }
    ~ShortUnit() { oam::alarm::SetKeepAliveUnitForTest(std::chrono::steady_clock::duration::zero()); }
};

struct RegistrationCase {
    const char* name;
    const char* oamId;
    const char* text;
};

void PrintTo(const RegistrationCase& c, std::ostream* os) {
    *os << c.name;
}

class AlarmRegistration : public ::testing::TestWithParam<RegistrationCase> {};

TEST_P(AlarmRegistration, FourFullRegistrationsToEveryPeerByNameOrAddress) {
    OAM_SKIP_UNDER_WINE(kOnePortManyAddresses);
    const RegistrationCase& c = GetParam();
    auto first = Peer("127.0.1.2");
    auto byName = Peer("127.0.0.1");
    auto last = Peer("127.0.1.3");
    auto notListed = Peer("127.0.1.4");
    ASSERT_TRUE(first->ok() && byName->ok() && last->ok() && notListed->ok());

    ReceiverHarness h;
    h.sock.OamId = c.oamId;
    h.sock.PeerList.Add("127.0.1.2");
    // An empty entry and a name that does not resolve do not stop
    // registration with the peers after them.
    h.sock.PeerList.Add("");
    h.sock.PeerList.Add("999.1.1.1");
    h.sock.PeerList.Add("localhost");
    h.sock.PeerList.Add("127.0.1.3");
    ASSERT_TRUE(h.Start());
    uint16_t receiverPort = h.Port();

    for (UdpRecorder* peer : {first.get(), byName.get(), last.get()}) {
        EXPECT_TRUE(peer->WaitForCount(4, 10s));
    }
    // Alarms still arrive while registered.
    UdpSender station;
    ASSERT_GT(station.SendTo("127.0.0.1", receiverPort, Pairs({{"ID", "1"}})), 0);
    ASSERT_TRUE(h.WaitForAlarms(1));
    ASSERT_TRUE(h.Stop());

    const std::vector<std::string> want(4, c.text);
    for (UdpRecorder* peer : {first.get(), byName.get(), last.get()}) {
        std::vector<RecordedDatagram> got = peer->Snapshot();
        EXPECT_EQ(want, Texts(got));
        for (const auto& d : got) EXPECT_EQ(receiverPort, ntohs(d.from.sin_port)) << "sent from the alarm port";
    }
    EXPECT_EQ(0u, notListed->Count());
}

INSTANTIATE_TEST_SUITE_P(Ids, AlarmRegistration,
                         ::testing::Values(RegistrationCase{"Named", "OAM-7", "OamId=OAM-7;"},
                                           RegistrationCase{"Empty", "", "OamId=;"},
                                           RegistrationCase{"Percent", "a%sb", "OamId=a%sb;"}),
                         [](const ::testing::TestParamInfo<RegistrationCase>& info) {
                             return std::string(info.param.name);
                         });

TEST(AlarmRegistrationSchedule, EmptyPeerListSendsNothingAndStillReceives) {
    auto peer = Peer("127.0.1.2");
    ASSERT_TRUE(peer->ok());
    ReceiverHarness h;
    h.sock.OamId = "X";
    ASSERT_TRUE(h.Start());
    UdpSender station;
    ASSERT_GT(station.SendTo("127.0.0.1", h.Port(), Pairs({{"ID", "1"}})), 0);
    ASSERT_TRUE(h.WaitForAlarms(1));
    ASSERT_TRUE(h.Stop());
    EXPECT_EQ(0u, peer->Count());
}

TEST(AlarmRegistrationSchedule, KeepAlivesAndRegistrationsFollowElapsedTime) {
    OAM_SKIP_UNDER_WINE(kOnePortManyAddresses);
    const auto unit = std::chrono::milliseconds(100);
    ShortUnit shortUnit(unit);
    auto peer = Peer("127.0.1.2");
    auto other = Peer("127.0.1.3");
    ASSERT_TRUE(peer->ok() && other->ok());

    ReceiverHarness h;
    h.sock.OamId = "K1";
    h.sock.PeerList.Add("127.0.1.2");
    h.sock.PeerList.Add("127.0.1.3");
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(h.Start());

    // Keep the loop busy with alarms: the schedule must not follow the
    // number of passes.
    UdpSender station;
    const std::string reg = "OamId=K1;", keep = "OamId";
    // 3 + 1 at the start; ticks 1-3: two keep-alives; tick 4: registration;
    // tick 5: two keep-alives.
    const std::vector<std::string> want = {reg, reg, reg, reg, keep, keep, keep, keep, keep, keep, reg, keep, keep};
    int sent = 0;
    while (peer->Count() < want.size() && std::chrono::steady_clock::now() - start < 30s) {
        for (int i = 0; i < 20; ++i) station.SendTo("127.0.0.1", h.Port(), Pairs({{"ID", std::to_string(sent++)}}));
        std::this_thread::sleep_for(2ms);
    }
    ASSERT_TRUE(peer->WaitForCount(want.size(), 1s));
    ASSERT_TRUE(other->WaitForCount(want.size(), 5s));
    ASSERT_TRUE(h.Stop());

    for (UdpRecorder* p : {peer.get(), other.get()}) {
        std::vector<RecordedDatagram> got = p->Snapshot();
        ASSERT_GE(got.size(), want.size());
        got.resize(want.size());
        EXPECT_EQ(want, Texts(got));
        // Never early: keep-alive k is not sent before tick k.
        EXPECT_GE(got[4].at - start, unit);
        EXPECT_GE(got[6].at - start, 2 * unit);
        EXPECT_GE(got[8].at - start, 3 * unit);
        EXPECT_GE(got[10].at - start, 4 * unit);
        EXPECT_GE(got[11].at - start, 5 * unit);
    }
    EXPECT_GT(h.AlarmCount(), 0u);
}

// A flood of alarms faster than the host takes them: the loop still looks
// at the schedule every so many datagrams, so keep-alives go out during it.
TEST(AlarmRegistrationSchedule, FloodDoesNotStarveKeepAlives) {
    ShortUnit shortUnit(std::chrono::milliseconds(100));
    auto peer = Peer("127.0.1.2");
    ASSERT_TRUE(peer->ok());
    ReceiverHarness h;
    h.sock.OamId = "F1";
    h.sock.PeerList.Add("127.0.1.2");
    h.hook = [](const ALARM_STRUCT&) { std::this_thread::sleep_for(std::chrono::milliseconds(1)); };
    ASSERT_TRUE(h.Start());
    ASSERT_TRUE(peer->WaitForCount(4, 5s));  // the start's registrations

    UdpSender station;
    const std::string alarm = Pairs({{"ID", "1"}});
    const auto end = std::chrono::steady_clock::now() + 2s;
    while (std::chrono::steady_clock::now() < end) {
        for (int i = 0; i < 50; ++i) station.SendTo("127.0.0.1", h.Port(), alarm);
        std::this_thread::sleep_for(5ms);
    }
    const size_t duringFlood = peer->Count();
    ASSERT_TRUE(h.Stop());
    EXPECT_GT(duringFlood, 4u) << "no keep-alive while the flood lasted";
    EXPECT_GT(h.AlarmCount(), 0u);
}

}  // namespace
}  // namespace oamtest
