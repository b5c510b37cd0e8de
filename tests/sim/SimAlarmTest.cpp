// oam-sim as alarm peer for the library's CAlarmSocket, over loopback on
// 127.0.2.x port 20000 (these tests hold the udp20000 lock).
#include <gtest/gtest.h>

#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <random>
#include <regex>
#include <set>
#include <thread>

#include "SimConfig.h"
#include "SimHarness.h"
#include "oamsdk.h"
#include "TestNet.h"

using namespace oamtest;

namespace {

struct Collected {
    std::mutex mutex;
    std::condition_variable cv;
    std::vector<ALARM_STRUCT> alarms;
    static int Hook(ALARM_STRUCT* a, LONG_PTR user) {
        auto* c = reinterpret_cast<Collected*>(user);
        {
            std::lock_guard<std::mutex> lock(c->mutex);
            c->alarms.push_back(*a);
        }
        c->cv.notify_all();
        return 0;
    }
    bool WaitFor(size_t n, int ms) {
        std::unique_lock<std::mutex> lock(mutex);
        return cv.wait_for(lock, std::chrono::milliseconds(ms), [&] { return alarms.size() >= n; });
    }
};

// A CAlarmSocket receiving on its own thread, registered with one peer.
class Receiver {
public:
    Receiver(const char* peer, const char* oamId) : m_sock(new CAlarmSocket) {
        m_sock->PeerList.Add(peer);
        m_sock->OamId = oamId;
        m_sock->Callback = &Collected::Hook;
        m_sock->UserData = reinterpret_cast<LONG_PTR>(&collected);
    }
    bool Start() {
        if (!m_sock->Create(0, nullptr)) return false;
        m_thread = std::thread([this] { m_sock->Receive(); });
        return true;
    }
    ~Receiver() {
        m_sock->Close();
        if (m_thread.joinable()) m_thread.join();
    }
    Collected collected;

private:
    std::unique_ptr<CAlarmSocket> m_sock;
    std::thread m_thread;
};

std::string Text(const char* field, size_t size) {
    return std::string(field, strnlen(field, size));
}

const oamsim::Station* FindStation(const oamsim::SimConfig& site, const std::string& id) {
    for (const auto& s : site.stations)
        if (s.id == id) return &s;
    return nullptr;
}

TEST(SimAlarms, PeriodicAlarmsOfBothTypesReachTheReceiverDecoded) {
    SimProcess sim(SimOptions{{"--alarm-rate", "20", "--alarm-count", "6", "--alarm-type", "mixed"}, "127.0.2.1", false});
    std::string err;
    ASSERT_TRUE(sim.Start(err)) << err;
    Receiver rx("127.0.2.1", "receiver-one");
    ASSERT_TRUE(rx.Start());
    ASSERT_TRUE(rx.collected.WaitFor(6, 15000)) << sim.Log();
    // The count is honoured: nothing after the sixth.
    EXPECT_FALSE(rx.collected.WaitFor(7, 400));

    oamsim::SimConfig site = oamsim::LoadConfig(BinaryDir() + "/oam-sim-default-config.json");
    std::lock_guard<std::mutex> lock(rx.collected.mutex);
    const auto& got = rx.collected.alarms;
    ASSERT_EQ(got.size(), 6u);
    std::set<int> types;
    for (size_t i = 0; i < got.size(); ++i) {
        const ALARM_STRUCT& a = got[i];
        SCOPED_TRACE("alarm " + std::to_string(i));
        if (i) {
            EXPECT_GT(a.ID, got[i - 1].ID);
        }
        ASSERT_TRUE(a.Type == 0 || a.Type == 1);
        types.insert(a.Type);
        const oamsim::Station* st = FindStation(site, Text(a.Text1, sizeof a.Text1));
        ASSERT_NE(st, nullptr) << "Text1 names a station: " << a.Text1;
        bool deviceOfStation = false;
        for (const auto& d : st->devices) deviceOfStation |= d.id == a.DeviceID;
        EXPECT_TRUE(deviceOfStation) << a.DeviceID;
        EXPECT_NE(a.AlarmID, 65535);
        EXPECT_TRUE(std::regex_match(Text(a.Text2, sizeof a.Text2), std::regex("\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d")));
        EXPECT_NE(Text(a.Text3, sizeof a.Text3).find(st->name), std::string::npos);
        if (a.Type == 1) {
            EXPECT_FALSE(Text(a.ObjText, sizeof a.ObjText).empty());
            for (int v : {a.ObjWidth, a.ObjHeight, a.ObjColor, a.ObjPosX, a.ObjPosY, a.ObjSpeed, a.ObjRoi}) {
                EXPECT_NE(v, 65535);
                EXPECT_GE(v, 0);
            }
            EXPECT_GT(a.ObjDir, 0.0f);
            EXPECT_LT(a.ObjDir, 360.0f);
        }
    }
    EXPECT_EQ(types.size(), 2u) << "mixed gives both types";
    EXPECT_NE(sim.Log().find("OamId=receiver-one"), std::string::npos);
}

TEST(SimAlarms, OnDemandAlarmsGoToEveryRegisteredReceiver) {
    SimProcess sim(SimOptions{{}, "127.0.2.2", true});
    std::string err;
    ASSERT_TRUE(sim.Start(err)) << err;
    Receiver a("127.0.2.2", "a"), b("127.0.2.2", "b");
    ASSERT_TRUE(a.Start());
    ASSERT_TRUE(b.Start());
    // Both registrations are in when the peer lists two receivers.
    ASSERT_TRUE(WaitFor([&] { return sim.Log().find("OamId=b") != std::string::npos &&
                                     sim.Log().find("OamId=a") != std::string::npos; },
                        10000))
        << sim.Log();
    ASSERT_TRUE(sim.Control("alarm 1 x3"));
    ASSERT_TRUE(a.collected.WaitFor(3, 10000)) << sim.Log();
    ASSERT_TRUE(b.collected.WaitFor(3, 10000)) << sim.Log();
    for (Receiver* r : {&a, &b}) {
        std::lock_guard<std::mutex> lock(r->collected.mutex);
        for (const ALARM_STRUCT& al : r->collected.alarms) EXPECT_EQ(al.Type, 1);
    }
    ASSERT_TRUE(sim.Control("receivers"));
    EXPECT_TRUE(WaitFor([&] { return sim.Log().find("2 receiver(s)") != std::string::npos; }, 5000)) << sim.Log();
    EXPECT_EQ(sim.Stop(), 0);
}

TEST(SimAlarms, HostileDatagramsNeitherCrashThePeerNorRegisterAnyone) {
    SimProcess sim(SimOptions{{}, "127.0.2.3", true});
    std::string err;
    ASSERT_TRUE(sim.Start(err)) << err;
    int fd = static_cast<int>(::socket(AF_INET, SOCK_DGRAM, 0));
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(20000);
    inet_pton(AF_INET, "127.0.2.3", &to.sin_addr);
    std::mt19937 rng(9);
    std::vector<std::string> payloads = {"", "OamId", "OamId=", "OamId=;;;", "OAMID=x;", "OamId=a;b=c;", std::string(65507, 'O')};
    for (size_t size : {1u, 7u, 100u, 1500u, 9000u, 65507u}) {
        std::string p(size, '\0');
        for (char& c : p) c = static_cast<char>(rng());
        payloads.push_back(p);
    }
    for (const std::string& p : payloads)
        ::sendto(fd, p.data(), static_cast<int>(p.size()), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    // The sender is known once (the empty OamId is a valid registration);
    // the malformed registrations and the noise are dropped.
    ASSERT_TRUE(sim.Control("receivers"));
    ASSERT_TRUE(WaitFor([&] { return sim.Log().find("1 receiver(s):") != std::string::npos; }, 5000)) << sim.Log();
    EXPECT_NE(sim.Log().find("ignored malformed registration"), std::string::npos);
    EXPECT_NE(sim.Log().find("ignored datagram"), std::string::npos);
    oamtest::net::Close(fd);
    // And it still serves a real receiver.
    Receiver rx("127.0.2.3", "after-garbage");
    ASSERT_TRUE(rx.Start());
    ASSERT_TRUE(WaitFor([&] { return sim.Log().find("OamId=after-garbage") != std::string::npos; }, 10000));
    ASSERT_TRUE(sim.Control("alarm 0"));
    ASSERT_TRUE(rx.collected.WaitFor(1, 10000)) << sim.Log();
    EXPECT_EQ(sim.Stop(), 0);
}

}  // namespace
