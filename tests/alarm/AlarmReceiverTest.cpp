// The alarm receiver without peers: binding, decoding of alarm datagrams,
// delivery to the host, and the end of the receive loop.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <future>
#include <set>

#include "alarm/RegistrationSchedule.h"
#include "ReceiverHarness.h"

namespace oamtest {
namespace {

const int32_t kMissing = 65535;  // what a missing or misnamed integer pair gives

std::string TypeOne(int id) {
    return Pairs({{"ID", std::to_string(id)},
                  {"Camera", "Gate 1"},
                  {"DeviceID", "3"},
                  {"Type", "1"},
                  {"AlarmID", "42"},
                  {"Zone", "North"},
                  {"Detail", "Person crossing line"},
                  {"Obj", "Person"},
                  {"ObjWidth", "40"},
                  {"ObjHeight", "90"},
                  {"ObjColor", "255"},
                  {"ObjPosX", "120"},
                  {"ObjPosY", "-20"},
                  {"ObjSpeed", "7"},
                  {"ObjDir", "1.5"},
                  {"ObjRoi", "2"}});
}

std::string TypeZero(int id, const std::string& text1 = "Door") {
    return Pairs({{"ID", std::to_string(id)},
                  {"Camera", text1},
                  {"DeviceID", "8"},
                  {"Type", "0"},
                  {"AlarmID", "5"},
                  {"Zone", "South"},
                  {"Detail", "Video lost"}});
}

void SetText(char* field, const char* text) {
    strcpy(field, text);
}

void ExpectSameAlarm(const ALARM_STRUCT& want, const ALARM_STRUCT& got) {
    EXPECT_EQ(want.ID, got.ID);
    EXPECT_STREQ(want.Text1, got.Text1);
    EXPECT_EQ(want.DeviceID, got.DeviceID);
    EXPECT_EQ(want.Type, got.Type);
    EXPECT_EQ(want.AlarmID, got.AlarmID);
    EXPECT_STREQ(want.Text2, got.Text2);
    EXPECT_STREQ(want.Text3, got.Text3);
    EXPECT_STREQ(want.ObjText, got.ObjText);
    EXPECT_EQ(want.ObjWidth, got.ObjWidth);
    EXPECT_EQ(want.ObjHeight, got.ObjHeight);
    EXPECT_EQ(want.ObjColor, got.ObjColor);
    EXPECT_EQ(want.ObjPosX, got.ObjPosX);
    EXPECT_EQ(want.ObjPosY, got.ObjPosY);
    EXPECT_EQ(want.ObjSpeed, got.ObjSpeed);
    EXPECT_EQ(want.ObjDir, got.ObjDir);
    EXPECT_EQ(want.ObjRoi, got.ObjRoi);
}

void ApplyTypeOne(ALARM_STRUCT& a, int id) {
    a.ID = id;
    SetText(a.Text1, "Gate 1");
    a.DeviceID = 3;
    a.Type = 1;
    a.AlarmID = 42;
    SetText(a.Text2, "North");
    SetText(a.Text3, "Person crossing line");
    SetText(a.ObjText, "Person");
    a.ObjWidth = 40;
    a.ObjHeight = 90;
    a.ObjColor = 255;
    a.ObjPosX = 120;
    a.ObjPosY = -20;
    a.ObjSpeed = 7;
    a.ObjDir = 1.5f;
    a.ObjRoi = 2;
}

void ApplyTypeZero(ALARM_STRUCT& a, int id, const char* text1 = "Door") {
    a.ID = id;
    SetText(a.Text1, text1);
    a.DeviceID = 8;
    a.Type = 0;
    a.AlarmID = 5;
    SetText(a.Text2, "South");
    SetText(a.Text3, "Video lost");
}

// ---- decoding ----------------------------------------------------------------

struct DecodeCase {
    const char* name;
    std::vector<std::string> datagrams;
    // Turns the record as the previous datagram left it into the record
    // expected after the last one.
    std::function<void(ALARM_STRUCT&)> expect;
};

void PrintTo(const DecodeCase& c, std::ostream* os) {
    *os << c.name;
}

class AlarmDecoding : public ::testing::TestWithParam<DecodeCase> {};

TEST_P(AlarmDecoding, FillsTheRecordByPosition) {
    const DecodeCase& c = GetParam();
    ReceiverHarness h;
    ASSERT_TRUE(h.Start());
    UdpSender station;
    for (const std::string& d : c.datagrams) {
        ASSERT_EQ(static_cast<long>(d.size()), station.SendTo("127.0.0.1", h.Port(), d));
    }
    ASSERT_TRUE(h.WaitForAlarms(c.datagrams.size()));
    ASSERT_TRUE(h.Stop());

    std::vector<ALARM_STRUCT> got = h.Alarms();
    ASSERT_EQ(c.datagrams.size(), got.size()) << "every datagram is delivered";
    ALARM_STRUCT want;
    if (got.size() >= 2) {
        want = got[got.size() - 2];
    } else {
        memset(&want, 0, sizeof want);
    }
    c.expect(want);
    ExpectSameAlarm(want, got.back());
}

const DecodeCase kDecodeCases[] = {
    {"TypeZero", {TypeZero(7)}, [](ALARM_STRUCT& a) { ApplyTypeZero(a, 7); }},
    {"TypeOne", {TypeOne(11)}, [](ALARM_STRUCT& a) { ApplyTypeOne(a, 11); }},
    {"TypeZeroKeepsObjectFieldsOfLastTypeOne",
     {TypeOne(11), TypeZero(12, "x")},
     [](ALARM_STRUCT& a) { ApplyTypeZero(a, 12, "x"); }},
    {"MissingDeviceIdShiftsLaterSteps",
     {TypeOne(11), Pairs({{"ID", "5"}, {"Camera", "a"}, {"Type", "1"}, {"AlarmID", "9"}, {"Zone", "b"},
                          {"Detail", "c"}, {"More", "d"}, {"ObjWidth", "1"}})},
     [](ALARM_STRUCT& a) {
         a.ID = 5;
         SetText(a.Text1, "a");
         a.DeviceID = kMissing;
         a.Type = kMissing;
         a.AlarmID = kMissing;
         SetText(a.Text2, "c");
         SetText(a.Text3, "d");
     }},
    {"FirstByteNulDeliversEmptyAlarm",
     {TypeOne(11), std::string("\0", 1) + TypeZero(3)},
     [](ALARM_STRUCT& a) {
         a.ID = kMissing;
         a.DeviceID = kMissing;
         a.Type = kMissing;
         a.AlarmID = kMissing;
     }},
    {"NulInsideCutsTheMessage",
     {TypeOne(11), Pairs({{"ID", "6"}, {"Camera", "c"}}) + std::string("\0", 1) + "DeviceID=1;Type=0;"},
     [](ALARM_STRUCT& a) {
         a.ID = 6;
         SetText(a.Text1, "c");
         a.DeviceID = kMissing;
         a.Type = kMissing;
         a.AlarmID = kMissing;
     }},
    {"LowerCaseIdStillFillsId",
     {" id = 77 ;Camera=c;deviceid=2;TYPE=0;alarmId=4;z=;d=e;"},
     [](ALARM_STRUCT& a) {
         a.ID = 77;
         SetText(a.Text1, "c");
         a.DeviceID = 2;
         a.Type = 0;
         a.AlarmID = 4;
         SetText(a.Text2, "");
         SetText(a.Text3, "e");
     }},
    {"MisnamedIdGivesMissingValue",
     {Pairs({{"Id2", "7"}, {"Camera", "c"}, {"DeviceID", "2"}, {"Type", "0"}, {"AlarmID", "4"}})},
     [](ALARM_STRUCT& a) {
         a.ID = kMissing;
         SetText(a.Text1, "c");
         a.DeviceID = 2;
         a.Type = 0;
         a.AlarmID = 4;
     }},
    {"ShortMessageLeavesLaterTextsAlone",
     {TypeOne(11), Pairs({{"ID", "4"}, {"Only", "one"}})},
     [](ALARM_STRUCT& a) {
         a.ID = 4;
         SetText(a.Text1, "one");
         a.DeviceID = kMissing;
         a.Type = kMissing;
         a.AlarmID = kMissing;
     }},
    {"LongTextsAreCutToFit",
     {Pairs({{"ID", "9"}, {"Camera", std::string(50, 'a')}, {"DeviceID", "2"}, {"Type", "1"}, {"AlarmID", "4"},
             {"Zone", std::string(36, 'b')}, {"Detail", std::string(300, 'c')}, {"Obj", std::string(36, 'd')},
             {"ObjWidth", "1"}, {"ObjHeight", "2"}, {"ObjColor", "3"}, {"ObjPosX", "4"}, {"ObjPosY", "5"},
             {"ObjSpeed", "6"}, {"ObjDir", "0.1"}, {"ObjRoi", "8"}})},
     [](ALARM_STRUCT& a) {
         a.ID = 9;
         SetText(a.Text1, std::string(35, 'a').c_str());
         a.DeviceID = 2;
         a.Type = 1;
         a.AlarmID = 4;
         SetText(a.Text2, std::string(35, 'b').c_str());
         SetText(a.Text3, std::string(127, 'c').c_str());
         SetText(a.ObjText, std::string(35, 'd').c_str());
         a.ObjWidth = 1;
         a.ObjHeight = 2;
         a.ObjColor = 3;
         a.ObjPosX = 4;
         a.ObjPosY = 5;
         a.ObjSpeed = 6;
         a.ObjDir = 0.1f;
         a.ObjRoi = 8;
     }},
    {"TextsThatJustFitAreWhole",
     {Pairs({{"ID", "9"}, {"Camera", std::string(35, 'a')}, {"DeviceID", "2"}, {"Type", "0"}, {"AlarmID", "4"},
             {"Zone", std::string(35, 'b')}, {"Detail", std::string(127, 'c')}})},
     [](ALARM_STRUCT& a) {
         a.ID = 9;
         SetText(a.Text1, std::string(35, 'a').c_str());
         a.DeviceID = 2;
         a.Type = 0;
         a.AlarmID = 4;
         SetText(a.Text2, std::string(35, 'b').c_str());
         SetText(a.Text3, std::string(127, 'c').c_str());
     }},
};

INSTANTIATE_TEST_SUITE_P(Cases, AlarmDecoding, ::testing::ValuesIn(kDecodeCases),
                         [](const ::testing::TestParamInfo<DecodeCase>& info) { return std::string(info.param.name); });

// ---- datagram sizes ----------------------------------------------------------

struct SizeCase {
    size_t size;
    bool delivered;
};

void PrintTo(const SizeCase& c, std::ostream* os) {
    *os << c.size << " bytes";
}

class AlarmDatagramSize : public ::testing::TestWithParam<SizeCase> {};

// A datagram of `size` bytes whose first pair is ID=1.
std::string SizedAlarm(size_t size) {
    std::string head = "ID=1;Camera=";
    std::string s = head + std::string(size - head.size() - 1, 'x') + ";";
    return s;
}

TEST_P(AlarmDatagramSize, OversizedIsDroppedAndTheNextStillArrives) {
    const SizeCase& c = GetParam();
    ReceiverHarness h;
    ASSERT_TRUE(h.Start());
    UdpSender station;
    std::string big = SizedAlarm(c.size);
    ASSERT_EQ(c.size, big.size());
    ASSERT_EQ(static_cast<long>(c.size), station.SendTo("127.0.0.1", h.Port(), big));
    ASSERT_GT(station.SendTo("127.0.0.1", h.Port(), TypeZero(2)), 0);

    size_t expected = c.delivered ? 2 : 1;
    ASSERT_TRUE(h.WaitForAlarms(expected));
    ASSERT_TRUE(h.Stop());
    std::vector<ALARM_STRUCT> got = h.Alarms();
    ASSERT_EQ(expected, got.size());
    if (c.delivered) {
        EXPECT_EQ(1, got[0].ID);
        EXPECT_EQ(std::string(35, 'x'), got[0].Text1);
    }
    EXPECT_EQ(2, got.back().ID);
    EXPECT_STREQ("Door", got.back().Text1);
}

INSTANTIATE_TEST_SUITE_P(Sizes, AlarmDatagramSize,
                         ::testing::Values(SizeCase{59999, true}, SizeCase{60000, false}, SizeCase{60001, false},
                                           SizeCase{65000, false}),
                         [](const ::testing::TestParamInfo<SizeCase>& info) {
                             return std::to_string(info.param.size);
                         });

// ---- lifecycle -----------------------------------------------------------------

TEST(AlarmSocketLifecycle, CreateAndCloseResults) {
    CAlarmSocket s;
    EXPECT_EQ(0, s.IsSocket());
    EXPECT_EQ(-1, s.Close()) << "nothing to close";
    ASSERT_EQ(1, s.Create(0, "10.9.9.9")) << "the address is not used";
    EXPECT_NE(0, s.IsSocket());
    EXPECT_EQ(0, s.Create(0, nullptr)) << "already holds a socket";
    EXPECT_EQ(0, s.Close());
    EXPECT_EQ(0, s.IsSocket());
    EXPECT_EQ(-1, s.Close());
    EXPECT_EQ(1, s.Create(0, nullptr));
    EXPECT_EQ(0, s.Close());
}

TEST(AlarmSocketLifecycle, BindsAllInterfacesOnLow16BitsOfPort) {
    // Learn a free port, then ask for it with a high bit set.
    CAlarmSocket s;
    ASSERT_EQ(1, s.Create(0, nullptr));
    sockaddr_in a;
    int n = sizeof a;
    ASSERT_EQ(0, win::getsockname(s.Socket.load(), reinterpret_cast<sockaddr*>(&a), &n));
    uint16_t port = ntohs(a.sin_port);
    ASSERT_EQ(0, s.Close());

    ASSERT_EQ(1, s.Create(0x10000u + port, "127.0.0.1"));
    n = sizeof a;
    ASSERT_EQ(0, win::getsockname(s.Socket.load(), reinterpret_cast<sockaddr*>(&a), &n));
    EXPECT_EQ(port, ntohs(a.sin_port));
    EXPECT_EQ(htonl(INADDR_ANY), a.sin_addr.s_addr);

    CAlarmSocket other;
    EXPECT_EQ(0, other.Create(port, nullptr)) << "port in use, no address reuse";
    EXPECT_EQ(0, other.IsSocket()) << "a failed bind leaves no socket";
    EXPECT_EQ(0, s.Close());
}

TEST(AlarmSocketLifecycle, AsksForALargeReceiveBuffer) {
    CAlarmSocket s;
    ASSERT_EQ(1, s.Create(0, nullptr));
    int size = 0;
    int n = sizeof size;
    ASSERT_EQ(0, win::getsockopt(s.Socket.load(), SOL_SOCKET, SO_RCVBUF, reinterpret_cast<char*>(&size), &n));
    EXPECT_GT(size, DefaultReceiveBufferSize());
    EXPECT_EQ(0, s.Close());
}

TEST(AlarmSocketLifecycle, GetPeerNameFailsOnUnconnectedSocket) {
    CAlarmSocket s;
    CString address("unchanged");
    unsigned port = 7;
    EXPECT_EQ(0, s.GetPeerName(address, port));
    ASSERT_EQ(1, s.Create(0, nullptr));
    EXPECT_EQ(0, s.GetPeerName(address, port));
    EXPECT_EQ(0, s.Close());
}

// ---- end of the receive loop ----------------------------------------------------

TEST(AlarmReceiveLoop, CloseFromAnotherThreadEndsIt) {
    ReceiverHarness h;
    ASSERT_TRUE(h.Start());
    UdpSender station;
    ASSERT_GT(station.SendTo("127.0.0.1", h.Port(), TypeZero(1)), 0);
    ASSERT_TRUE(h.WaitForAlarms(1));
    EXPECT_FALSE(h.WaitForLoopEnd(50ms)) << "runs until Close";
    EXPECT_EQ(0, h.sock.Close());
    EXPECT_TRUE(h.WaitForLoopEnd(5s));
    EXPECT_EQ(0, h.sock.IsSocket());
}

TEST(AlarmReceiveLoop, WithoutSocketReturnsAfterFirstPass) {
    ReceiverHarness h;
    h.StartLoop();
    EXPECT_TRUE(h.WaitForLoopEnd(5s));
}

TEST(AlarmReceiveLoop, AfterFailedCreationRunsUntilClose) {
    ReceiverHarness h;
    h.sock.Socket = INVALID_SOCKET;  // what a failed socket creation leaves
    EXPECT_EQ(0, h.sock.Create(0, nullptr));
    h.StartLoop();
    EXPECT_FALSE(h.WaitForLoopEnd(100ms));
    EXPECT_EQ(-1, h.sock.Close());
    EXPECT_TRUE(h.WaitForLoopEnd(5s));
}

TEST(AlarmReceiveLoop, NeverReadsADescriptorReusedAfterClose) {
    UdpSender station;
    for (int round = 0; round < 20; ++round) {
        ReceiverHarness h;
        ASSERT_TRUE(h.Start());
        ASSERT_GT(station.SendTo("127.0.0.1", h.Port(), TypeZero(round)), 0);
        ASSERT_TRUE(h.WaitForAlarms(1));
        h.sock.Close();
        // Most likely gets the descriptor number just released, while the
        // loop may still be running.
        UdpRecorder reused("127.0.0.1", 0);
        ASSERT_TRUE(reused.ok());
        ASSERT_GT(station.SendTo("127.0.0.1", reused.port(), TypeZero(1000 + round)), 0);
        EXPECT_TRUE(reused.WaitForCount(1, 5s)) << "the datagram went to the closed receiver";
        ASSERT_TRUE(h.WaitForLoopEnd(5s));
        EXPECT_EQ(1u, h.AlarmCount());
    }
}

// ---- delivery --------------------------------------------------------------------

TEST(AlarmDelivery, BurstOf5000ArrivesWhole) {
    const int kCount = 5000;
    ReceiverHarness h;
    ASSERT_TRUE(h.Start());
    UdpSender station;
    for (int i = 0; i < kCount; ++i) {
        ASSERT_GT(station.SendTo("127.0.0.1", h.Port(), TypeZero(i)), 0);
    }
    EXPECT_TRUE(h.WaitForAlarms(kCount, 60s));
    ASSERT_TRUE(h.Stop());
    std::vector<ALARM_STRUCT> got = h.Alarms();
    ASSERT_EQ(static_cast<size_t>(kCount), got.size());
    std::set<int32_t> ids;
    for (const ALARM_STRUCT& a : got) ids.insert(a.ID);
    EXPECT_EQ(static_cast<size_t>(kCount), ids.size());
    EXPECT_EQ(0, *ids.begin());
    EXPECT_EQ(kCount - 1, *ids.rbegin());
}

struct WindowLog {
    std::mutex mu;
    std::vector<std::string> events;
    std::thread::id thread;
    const ALARM_STRUCT* record = nullptr;
    bool wrong = false;  // a message that is not the alarm message as sent
};

LRESULT AlarmWindowProc(HWND wnd, UINT msg, WPARAM wp, LPARAM lp) {
    auto* log = static_cast<WindowLog*>(OamGetWindowUserData(wnd));
    if (msg != WM_OAM_ALARM) return 0;
    // Give a receiver that did not wait the time to overwrite the record.
    std::this_thread::sleep_for(1ms);
    auto* alarm = reinterpret_cast<const ALARM_STRUCT*>(lp);
    std::lock_guard<std::mutex> lock(log->mu);
    if (wp != 0 || alarm != log->record || std::this_thread::get_id() != log->thread) log->wrong = true;
    log->events.push_back("window " + std::to_string(alarm->ID));
    return 0;
}

TEST(AlarmDelivery, CallbackThenWindowMessageWaitedFor) {
    const int kCount = 20;
    EXPECT_EQ(0x602, WM_OAM_ALARM);
    WindowLog log;
    std::promise<HWND> made;
    std::thread windowThread([&] {
        {
            std::lock_guard<std::mutex> lock(log.mu);
            log.thread = std::this_thread::get_id();
        }
        HWND w = OamCreateMessageWindow(&AlarmWindowProc, &log);
        made.set_value(w);
        if (!w) return;
        OamRunMessageLoop(w);
        OamDestroyMessageWindow(w);
    });
    HWND wnd = made.get_future().get();
    ASSERT_NE(nullptr, wnd);

    ReceiverHarness h;
    log.record = &h.sock.Alarm;
    h.sock.Wnd = wnd;
    h.hook = [&](const ALARM_STRUCT& a) {
        std::lock_guard<std::mutex> lock(log.mu);
        if (std::this_thread::get_id() == log.thread) log.wrong = true;
        log.events.push_back("callback " + std::to_string(a.ID));
    };
    ASSERT_TRUE(h.Start());
    UdpSender station;
    for (int i = 0; i < kCount; ++i) ASSERT_GT(station.SendTo("127.0.0.1", h.Port(), TypeZero(i)), 0);
    ASSERT_TRUE(h.WaitForAlarms(kCount));
    ASSERT_TRUE(h.Stop());
    OamQuitMessageLoop(wnd);
    windowThread.join();

    std::vector<std::string> want;
    for (int i = 0; i < kCount; ++i) {
        want.push_back("callback " + std::to_string(i));
        want.push_back("window " + std::to_string(i));
    }
    std::lock_guard<std::mutex> lock(log.mu);
    EXPECT_EQ(want, log.events);
    EXPECT_FALSE(log.wrong);
}

TEST(AlarmDelivery, UserValueHoldsAPointer) {
    static_assert(sizeof(LONG_PTR) == sizeof(void*), "user value is pointer-sized");
    ReceiverHarness h;  // its callback finds itself through UserData
    ASSERT_TRUE(h.Start());
    UdpSender station;
    ASSERT_GT(station.SendTo("127.0.0.1", h.Port(), TypeZero(3)), 0);
    EXPECT_TRUE(h.WaitForAlarms(1));
}

// ---- registration schedule ----------------------------------------------------------

using oam::alarm::PeerAction;
using oam::alarm::RegistrationSchedule;

struct ScheduleCase {
    const char* name;
    std::vector<int> at;  // pass times, in tenths of a unit
    std::vector<PeerAction> want;
};

void PrintTo(const ScheduleCase& c, std::ostream* os) {
    *os << c.name;
}

class RegistrationTicks : public ::testing::TestWithParam<ScheduleCase> {};

TEST_P(RegistrationTicks, FollowElapsedTime) {
    const ScheduleCase& c = GetParam();
    const auto unit = std::chrono::milliseconds(1000);
    RegistrationSchedule schedule(unit);
    std::vector<PeerAction> got;
    for (int t : c.at) got.push_back(schedule.Due(unit * t / 10));
    EXPECT_EQ(c.want, got);
}

const PeerAction N = PeerAction::None, K = PeerAction::KeepAlive, R = PeerAction::Register;

INSTANTIATE_TEST_SUITE_P(
    Cases, RegistrationTicks,
    ::testing::Values(
        ScheduleCase{"FirstPassRegisters", {0, 1, 5, 9}, {R, N, N, N}},
        ScheduleCase{"KeepAliveEachUnitRegistrationEachFourth",
                     {0, 10, 15, 20, 30, 40, 41, 50, 80},
                     {R, K, N, K, K, R, N, K, R}},
        ScheduleCase{"ManyPassesInOneUnitSendNothingMore", {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 9, 10, 10}, {R, N, N, N, N, N, N, N, N, N, N, K, N}},
        ScheduleCase{"MissedTicksAreNotMadeUp", {0, 10, 35, 36}, {R, K, K, N}},
        ScheduleCase{"RegistrationFallenDueWhileBusyIsSent", {0, 30, 55, 60, 121}, {R, K, R, K, R}},
        ScheduleCase{"LateFirstPassStillRegisters", {25, 30, 40}, {R, K, R}}),
    [](const ::testing::TestParamInfo<ScheduleCase>& info) { return std::string(info.param.name); });

TEST(RegistrationTicks, LibraryUnitIsThirtySecondsUnlessShortened) {
    EXPECT_EQ(std::chrono::steady_clock::duration(std::chrono::seconds(30)), oam::alarm::KeepAliveUnit());
    oam::alarm::SetKeepAliveUnitForTest(std::chrono::milliseconds(40));
    EXPECT_EQ(std::chrono::steady_clock::duration(std::chrono::milliseconds(40)), oam::alarm::KeepAliveUnit());
    oam::alarm::SetKeepAliveUnitForTest(std::chrono::steady_clock::duration::zero());
    EXPECT_EQ(std::chrono::steady_clock::duration(std::chrono::seconds(30)), oam::alarm::KeepAliveUnit());
}

}  // namespace
}  // namespace oamtest
