// Station and device queries and the VPM parameter commands, end to end
// against the fake server.
#include <string.h>

#include <string>
#include <vector>

#include "ChannelFixture.h"

namespace oamtest {
namespace {

std::string B64(const std::string& in) {
    static const char* abc = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    size_t i = 0;
    for (; i + 2 < in.size(); i += 3) {
        unsigned v = (unsigned char)in[i] << 16 | (unsigned char)in[i + 1] << 8 | (unsigned char)in[i + 2];
        out += abc[v >> 18];
        out += abc[(v >> 12) & 63];
        out += abc[(v >> 6) & 63];
        out += abc[v & 63];
    }
    if (i + 1 == in.size()) {
        unsigned v = (unsigned char)in[i] << 16;
        out += abc[v >> 18];
        out += abc[(v >> 12) & 63];
        out += "==";
    } else if (i + 2 == in.size()) {
        unsigned v = (unsigned char)in[i] << 16 | (unsigned char)in[i + 1] << 8;
        out += abc[v >> 18];
        out += abc[(v >> 12) & 63];
        out += abc[(v >> 6) & 63];
        out += '=';
    }
    return out;
}

std::string Ok(int session, const std::string& rest) {
    return "SESSIONID=" + std::to_string(session) + ";RETURNCODE=0;" + rest;
}

std::string StationList(int n) {
    std::string list;
    for (int i = 1; i <= n; ++i) {
        if (i > 1) list += ",";
        list += "S" + std::to_string(i) + "[" + B64("Station " + std::to_string(i)) + "]" + std::to_string(i * 10);
    }
    return list;
}

const unsigned char kFill = 0xA5;

bool Untouched(const void* p, size_t n) {
    const unsigned char* b = static_cast<const unsigned char*>(p);
    for (size_t i = 0; i < n; ++i)
        if (b[i] != kFill) return false;
    return true;
}

struct StationRow {
    const char* name;
    std::string reply;
    bool withArray;
    int maximum;
    int result;
    int written;  // records filled, the others untouched
};

class GetAllStation : public ::testing::TestWithParam<StationRow> {};

TEST_P(GetAllStation, CountsAndFillsUpToTheMaximum) {
    const StationRow& row = GetParam();
    FakeServer server({Action::reply(row.reply)});
    CClientSocket channel;
    ASSERT_TRUE(Connect(channel, server));
    std::vector<STATION_STRUCT> records(6);
    memset(records.data(), kFill, records.size() * sizeof(STATION_STRUCT));
    EXPECT_EQ(channel.GetAllStation(row.withArray ? records.data() : nullptr, row.maximum), row.result);
    // The count or the refusal is the server's; without a RETURNCODE the
    // reply is none.
    EXPECT_EQ(OamLastResultOrigin(), row.result == -1 ? OAM_ORIGIN_LIBRARY : OAM_ORIGIN_SERVER);
    ASSERT_TRUE(server.waitRequests(1));
    EXPECT_EQ(server.requests()[0], "SESSIONID=0;STATIONID=;CMD=Get;AllStation=;");
    for (int i = 0; i < 6; ++i) {
        const STATION_STRUCT& s = records[static_cast<size_t>(i)];
        if (i < row.written) {
            std::string n = std::to_string(i + 1);
            EXPECT_STREQ(s.StationID, ("S" + n).c_str());
            EXPECT_STREQ(s.StationName, ("Station " + n).c_str());
            EXPECT_EQ(s.StationValue, (i + 1) * 10);
            // Only the query's own fields.
            EXPECT_TRUE(Untouched(&s.DeviceCount, sizeof s.DeviceCount + sizeof s.Device));
        } else {
            EXPECT_TRUE(Untouched(&s, sizeof s)) << "record " << i;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Query, GetAllStation,
    ::testing::Values(StationRow{"NullArrayCounts", Ok(0, "AllStation=" + StationList(5) + ";"), false, 0, 5, 0},
                      StationRow{"MaximumThreeOfFive", Ok(0, "AllStation=" + StationList(5) + ";"), true, 3, 3, 3},
                      StationRow{"MaximumOne", Ok(0, "AllStation=" + StationList(5) + ";"), true, 1, 1, 1},
                      StationRow{"MaximumZeroWritesNothing", Ok(0, "AllStation=" + StationList(5) + ";"), true, 0, 0, 0},
                      StationRow{"NegativeMaximum", Ok(0, "AllStation=" + StationList(2) + ";"), true, -4, 0, 0},
                      StationRow{"MaximumAboveCount", Ok(0, "AllStation=" + StationList(4) + ";"), true, 6, 4, 4},
                      StationRow{"SingleEntryNoComma", Ok(0, "AllStation=" + StationList(1) + ";"), true, 6, 1, 1},
                      StationRow{"EmptyList", Ok(0, "AllStation=;"), true, 6, 0, 0},
                      StationRow{"NoPair", Ok(0, ""), true, 6, 0, 0},
                      StationRow{"MalformedEndsList", Ok(0, "AllStation=" + StationList(2) + ",Broken;"), true, 6, 2, 2},
                      StationRow{"Refused", "SESSIONID=0;RETURNCODE=5;AllStation=" + StationList(3) + ";", true, 6, 5, 0},
                      StationRow{"NoReplyCode", "garbage", true, 6, -1, 0}),
    [](const ::testing::TestParamInfo<StationRow>& i) { return std::string(i.param.name); });

TEST(Query, StationFieldsAreCutToTheirSize) {
    struct Row {
        UINT codePage;
        std::string id;
        std::string name;
        std::string storedId;
        std::string storedName;
    } rows[] = {
        {1252, std::string(40, 'I'), std::string(200, 'N'), std::string(35, 'I'), std::string(127, 'N')},
        {1252, std::string(35, 'I'), std::string(127, 'N'), std::string(35, 'I'), std::string(127, 'N')},
        // A double-byte character that would straddle the end is dropped whole.
        {936, std::string(34, 'I') + "\xB0\xA1", std::string(126, 'N') + "\xB0\xA1", std::string(34, 'I'),
         std::string(126, 'N')},
        {936, std::string(33, 'I') + "\xB0\xA1", std::string(125, 'N') + "\xB0\xA1" + "xyz",
         std::string(33, 'I') + "\xB0\xA1", std::string(125, 'N') + "\xB0\xA1"},
        {65001, std::string(33, 'I') + "\xE4\xB8\xAD", std::string(125, 'N') + "\xE4\xB8\xAD",
         std::string(33, 'I'), std::string(125, 'N')},
    };
    UINT saved = OamGetACP();
    for (const Row& r : rows) {
        ASSERT_TRUE(OamSetACP(r.codePage));
        FakeServer server({Action::reply(Ok(0, "AllStation=" + r.id + "[" + B64(r.name) + "]7;"))});
        CClientSocket channel;
        ASSERT_TRUE(Connect(channel, server));
        STATION_STRUCT s;
        memset(&s, kFill, sizeof s);
        EXPECT_EQ(channel.GetAllStation(&s, 1), 1);
        EXPECT_EQ(std::string(s.StationID), r.storedId);
        EXPECT_EQ(std::string(s.StationName), r.storedName);
        EXPECT_EQ(s.StationValue, 7);
        EXPECT_TRUE(Untouched(&s.DeviceCount, sizeof s.DeviceCount));
    }
    OamSetACP(saved);
}

std::string DeviceList(int n) {
    std::string list;
    for (int i = 1; i <= n; ++i) {
        if (i > 1) list += ":";
        list += std::to_string(i) + "[" + B64("Cam" + std::to_string(i)) + "]<" + std::to_string(100 + i) + "[" +
                B64("Pan") + "]>";
    }
    return list;
}

struct DeviceRow {
    const char* name;
    std::string reply;
    int result;
    int deviceCount;  // -1: untouched
    int filled;
};

class GetDeviceInfo : public ::testing::TestWithParam<DeviceRow> {};

TEST_P(GetDeviceInfo, FillsTheStationsDevices) {
    const DeviceRow& row = GetParam();
    FakeServer server({Action::reply(row.reply)});
    CClientSocket channel;
    ASSERT_TRUE(Connect(channel, server));
    STATION_STRUCT s;
    memset(&s, kFill, sizeof s);
    strcpy(s.StationID, "ST-9");
    EXPECT_EQ(channel.GetDeviceInfo(&s), row.result);
    ASSERT_TRUE(server.waitRequests(1));
    EXPECT_EQ(server.requests()[0], "SESSIONID=0;STATIONID=ST-9;CMD=Get;StationTopo=;");
    if (row.deviceCount < 0)
        EXPECT_TRUE(Untouched(&s.DeviceCount, sizeof s.DeviceCount));
    else
        EXPECT_EQ(s.DeviceCount, row.deviceCount);
    for (int i = 0; i < 16; ++i) {
        const WACDEVICE_STRUCT& d = s.Device[i];
        if (i < row.filled) {
            EXPECT_EQ(d.DeviceID, i + 1);
            EXPECT_EQ(std::string(d.DeviceName), "Cam" + std::to_string(i + 1));
            EXPECT_EQ(d.PtzCount, 1);
            EXPECT_EQ(d.PtzDevice[0].PtzID, 101 + i);
        } else {
            EXPECT_TRUE(Untouched(&d, sizeof d)) << "device " << i;
        }
    }
    EXPECT_TRUE(Untouched(&s.StationValue, sizeof s.StationValue));
    EXPECT_STREQ(s.StationID, "ST-9");
}

INSTANTIATE_TEST_SUITE_P(
    Query, GetDeviceInfo,
    ::testing::Values(DeviceRow{"Three", Ok(0, "StationTopo=" + DeviceList(3) + ";"), 3, 3, 3},
                      DeviceRow{"SeventeenGiveSixteen", Ok(0, "StationTopo=" + DeviceList(17) + ";"), 16, 16, 16},
                      DeviceRow{"Empty", Ok(0, "StationTopo=;"), 0, 0, 0},
                      DeviceRow{"NoPair", Ok(0, ""), 0, 0, 0},
                      DeviceRow{"Refused", "SESSIONID=0;RETURNCODE=5;StationTopo=" + DeviceList(2) + ";", 5, -1, 0}),
    [](const ::testing::TestParamInfo<DeviceRow>& i) { return std::string(i.param.name); });

TEST(Query, NullStationIsRefusedWithoutAnExchange) {
    FakeServer server({Action::reply(Ok(0, "StationTopo=;"))});
    CClientSocket channel;
    ASSERT_TRUE(Connect(channel, server));
    EXPECT_EQ(channel.GetDeviceInfo(nullptr), -1);
    EXPECT_EQ(OamLastResultOrigin(), OAM_ORIGIN_LIBRARY);
    channel.Close();
    ASSERT_TRUE(server.waitClosed(0));
    EXPECT_EQ(server.requestCount(), 0u);
}

TEST(Query, UnterminatedStationIdIsReadWithinItsField) {
    FakeServer server({Action::reply(Ok(0, "StationTopo=;"))});
    CClientSocket channel;
    ASSERT_TRUE(Connect(channel, server));
    STATION_STRUCT s;
    memset(&s, 'Z', sizeof s);
    memset(s.StationID, 'K', sizeof s.StationID);
    EXPECT_EQ(channel.GetDeviceInfo(&s), 0);
    ASSERT_TRUE(server.waitRequests(1));
    EXPECT_EQ(server.requests()[0], "SESSIONID=0;STATIONID=" + std::string(36, 'K') + ";CMD=Get;StationTopo=;");
}

// VPM parameter commands: each row runs after `warmup` exchanges.
enum class Op { Get, Set, Control };

struct VpmRow {
    const char* name;
    Op op;
    const char* station;
    const char* param;
    int value;
    int warmup;
    std::string reply;
    std::string request;
    int result;
    int origin = OAM_ORIGIN_SERVER;  // OamLastResultOrigin() after it
};

class VpmCommand : public ::testing::TestWithParam<VpmRow> {};

TEST_P(VpmCommand, SendsOnePairAndMapsTheResult) {
    const VpmRow& row = GetParam();
    std::vector<Action> script;
    for (int i = 0; i < row.warmup; ++i) script.push_back(Action::reply(Ok(i, "")));
    script.push_back(Action::reply(row.reply));
    FakeServer server(script);
    CClientSocket channel;
    ASSERT_TRUE(Connect(channel, server));
    for (int i = 0; i < row.warmup; ++i) ASSERT_EQ(channel.SendCommand("0", "Ping", ""), 0);
    int result = 0;
    switch (row.op) {
    case Op::Get:
        result = channel.GetVpmParameterValue(row.station, row.param);
        break;
    case Op::Set:
        result = channel.SetVpmParameterValue(row.station, row.param, row.value);
        break;
    case Op::Control:
        result = channel.SetVpmCtrlValue(row.station, row.param, row.value);
        break;
    }
    EXPECT_EQ(result, row.result);
    EXPECT_EQ(OamLastResultOrigin(), row.origin);
    ASSERT_TRUE(server.waitRequests(static_cast<size_t>(row.warmup) + 1));
    EXPECT_EQ(server.requests().back(), row.request);
}

INSTANTIATE_TEST_SUITE_P(
    Vpm, VpmCommand,
    ::testing::Values(
        VpmRow{"ReadContrast", Op::Get, "3", "Contrast", 0, 5, "SESSIONID=5;RETURNCODE=0;Contrast=40;",
               "SESSIONID=5;STATIONID=3;CMD=Get;Contrast=;", 40},
        VpmRow{"ReadNameNotCompared", Op::Get, "3", "Contrast", 0, 0, Ok(0, "Other=17;Contrast=40;"),
               "SESSIONID=0;STATIONID=3;CMD=Get;Contrast=;", 17},
        VpmRow{"ReadLetters", Op::Get, "3", "C", 0, 0, Ok(0, "C=abc;"), "SESSIONID=0;STATIONID=3;CMD=Get;C=;", 0},
        VpmRow{"ReadDigitsThenLetters", Op::Get, "3", "C", 0, 0, Ok(0, "C=12ab;"),
               "SESSIONID=0;STATIONID=3;CMD=Get;C=;", 12},
        VpmRow{"ReadNegative", Op::Get, "3", "C", 0, 0, Ok(0, "C= -8 ;"), "SESSIONID=0;STATIONID=3;CMD=Get;C=;", -8},
        VpmRow{"ReadHuge", Op::Get, "3", "C", 0, 0, Ok(0, "C=99999999999999999999;"),
               "SESSIONID=0;STATIONID=3;CMD=Get;C=;", 2147483647},
        VpmRow{"ReadEmpty", Op::Get, "3", "C", 0, 0, Ok(0, "C=;"), "SESSIONID=0;STATIONID=3;CMD=Get;C=;", 0},
        VpmRow{"ReadNoPair", Op::Get, "3", "C", 0, 0, Ok(0, ""), "SESSIONID=0;STATIONID=3;CMD=Get;C=;", -1,
               OAM_ORIGIN_LIBRARY},
        VpmRow{"ReadRefused", Op::Get, "3", "C", 0, 0, "SESSIONID=0;RETURNCODE=3;C=4;",
               "SESSIONID=0;STATIONID=3;CMD=Get;C=;", -1},
        VpmRow{"SetNegative", Op::Set, "3", "Contrast", -5, 6, Ok(6, ""),
               "SESSIONID=6;STATIONID=3;CMD=Set;Contrast=-5;", 0},
        VpmRow{"ControlNegative", Op::Control, "3", "Contrast", -5, 6, Ok(6, ""),
               "SESSIONID=6;STATIONID=3;CMD=Control;Contrast=-5;", 0},
        VpmRow{"SetRefused", Op::Set, "3", "Contrast", 9, 0, "SESSIONID=0;RETURNCODE=3;",
               "SESSIONID=0;STATIONID=3;CMD=Set;Contrast=9;", 3},
        VpmRow{"ControlNoCode", Op::Control, "3", "Zoom", 1, 0, "nonsense",
               "SESSIONID=0;STATIONID=3;CMD=Control;Zoom=1;", -1, OAM_ORIGIN_LIBRARY},
        VpmRow{"NameSentUnchanged", Op::Set, "3", "a=b;c", 1, 0, Ok(0, ""), "SESSIONID=0;STATIONID=3;CMD=Set;a=b;c=1;",
               0},
        VpmRow{"EmptyStation", Op::Control, "", "Iris", 2, 0, Ok(0, ""), "SESSIONID=0;STATIONID=;CMD=Control;Iris=2;",
               0}),
    [](const ::testing::TestParamInfo<VpmRow>& i) { return std::string(i.param.name); });

TEST(Vpm, FailedExchangeGivesMinusOne) {
    FakeServer server({Action::close()});
    CClientSocket channel;
    ASSERT_TRUE(Connect(channel, server));
    EXPECT_EQ(channel.SetVpmParameterValue("3", "Contrast", 1), -1);
    EXPECT_EQ(OamLastResultOrigin(), OAM_ORIGIN_LIBRARY);
    EXPECT_EQ(channel.GetVpmParameterValue("3", "Contrast"), -1);
    EXPECT_EQ(OamLastResultOrigin(), OAM_ORIGIN_LIBRARY);
}

}  // namespace
}  // namespace oamtest
