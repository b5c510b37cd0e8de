// Station, device and PTZ list entries: what each read fills, what it
// consumes, and what a failed read leaves behind.
#include <string.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "OamCommand.h"
#include "codec/TextScan.h"
#include "CodecTestUtil.h"

namespace oamtest {
namespace {

// ---- station list ------------------------------------------------------------

struct StationCase {
    const char* text;
    int result;
    const char* id;
    const char* name;
    int number;  // -99: untouched
    const char* after;
};

void PrintTo(const StationCase& c, std::ostream* os) {
    *os << "'" << c.text << "'";
}

class StationEntry : public ::testing::TestWithParam<StationCase> {};

TEST_P(StationEntry, ReadsOneEntry) {
    const StationCase& c = GetParam();
    COamCommand cmd;
    CString t(c.text), id(kUntouched), name(kUntouched);
    int number = -99;
    EXPECT_EQ(cmd.GetStationName(t, id, name, number), c.result);
    EXPECT_EQ(id.str(), c.id);
    EXPECT_EQ(name.str(), c.name);
    EXPECT_EQ(number, c.number);
    EXPECT_EQ(t.str(), c.after);

    // The record form reads the same entry and leaves the same text.
    oam::codec::Span view(c.text, strlen(c.text));
    STATION_STRUCT s;
    memset(&s, 0x5A, sizeof s);
    oam::codec::Got got = oam::codec::PopStationRecord(view, &s);
    EXPECT_EQ(got == oam::codec::Got::Whole, c.result == 1);
    EXPECT_EQ(std::string(view.p, view.n), c.after);
    if (c.result == 1) {
        EXPECT_EQ(std::string(s.StationID), c.id);
        EXPECT_EQ(s.StationValue, c.number);
    } else {
        EXPECT_EQ(s.StationValue, 0x5A5A5A5A);  // a failed read writes nothing
    }
}

const char* const U = kUntouched;

const StationCase kStations[] = {
    // the worked example, call by call
    {"S1[U3RhdGlvbg==]1,S2[WWFyZA==]0", 1, "S1", "U3RhdGlvbg==", 1, "S2[WWFyZA==]0"},
    {"S2[WWFyZA==]0", 1, "S2", "WWFyZA==", 0, "0"},
    {"0", 0, U, U, -99, "0"},
    // trimmed, and the last entry's number is the whole rest, which stays
    {" S1 [U3RhdGlvbg==] 1", 1, "S1", "U3RhdGlvbg==", 1, " 1"},
    {"S1[ n ]12 , S2[x]3", 1, "S1", "n", 12, " S2[x]3"},
    {"S1[n]x,", 1, "S1", "n", 0, ""},
    {"S1[n]", 1, "S1", "n", 0, ""},
    // failures: nothing, or the untrimmed identifier and a shortened text
    {"", 0, U, U, -99, ""},
    {"[n]1", 0, U, U, -99, "[n]1"},
    {" S1 [U3Rh", 0, " S1 ", U, -99, "U3Rh"},
    {"S1[]1", 0, "S1", U, -99, "]1"},
    {"a]b[c]1", 1, "a]b", "c", 1, "1"},
};
INSTANTIATE_TEST_SUITE_P(Entries, StationEntry, ::testing::ValuesIn(kStations));

// A list that fills a whole reply: every entry, in order, and nothing else.
TEST(StationList, ReadsEveryEntryOfALongList) {
    std::string list;
    const int count = 2000;
    for (int i = 0; i < count; ++i) {
        if (i) list += ',';
        list += "ST" + std::to_string(i) + "[" + Base64Of("Station " + std::to_string(i)) + "]" + std::to_string(i % 7);
    }
    COamCommand cmd;
    CString t(list), id, name;
    int number = 0, read = 0;
    while (cmd.GetStationName(t, id, name, number)) {
        ASSERT_EQ(id.str(), "ST" + std::to_string(read));
        ASSERT_EQ(name.str(), Base64Of("Station " + std::to_string(read)));
        ASSERT_EQ(number, read % 7);
        ++read;
    }
    EXPECT_EQ(read, count);

    // As GetAllStation fills its records: the names decoded.
    oam::codec::Span view(list.data(), list.size());
    STATION_STRUCT s;
    read = 0;
    while (oam::codec::PopStationRecord(view, &s) == oam::codec::Got::Whole) {
        ASSERT_EQ(std::string(s.StationID), "ST" + std::to_string(read));
        ASSERT_EQ(std::string(s.StationName), "Station " + std::to_string(read));
        ASSERT_EQ(s.StationValue, read % 7);
        ++read;
    }
    EXPECT_EQ(read, count);
}

// ---- device and PTZ records ----------------------------------------------------

// Records start filled with a pattern, to see which fields a read wrote.
WACDEVICE_STRUCT Dirty() {
    WACDEVICE_STRUCT d;
    memset(&d, 0x5A, sizeof d);
    return d;
}

const int32_t kDirtyInt = 0x5A5A5A5A;

struct Ptz {
    const char* name;
    int id;
};

struct DeviceCase {
    const char* text;
    int result;
    bool written;   // DeviceID and DeviceName written
    const char* name;
    int id;
    int ptzCount;   // -1: untouched
    std::vector<Ptz> ptz;
    const char* after;
};

void PrintTo(const DeviceCase& c, std::ostream* os) {
    *os << "'" << c.text << "'";
}

class DeviceEntry : public ::testing::TestWithParam<DeviceCase> {};

TEST_P(DeviceEntry, FillsTheRecord) {
    const DeviceCase& c = GetParam();
    COamCommand cmd;
    CString t(c.text);
    WACDEVICE_STRUCT d = Dirty();
    const WACDEVICE_STRUCT before = d;
    EXPECT_EQ(cmd.GetDeviceInfo(t, &d), c.result);
    EXPECT_EQ(t.str(), c.after);
    if (!c.written) {
        EXPECT_EQ(memcmp(&d, &before, sizeof d), 0) << "record written";
        return;
    }
    EXPECT_STREQ(d.DeviceName, c.name);
    EXPECT_EQ(d.DeviceID, c.id);
    if (c.ptzCount < 0) {
        EXPECT_EQ(d.PtzCount, kDirtyInt);
    } else {
        EXPECT_EQ(d.PtzCount, c.ptzCount);
    }
    for (size_t i = 0; i < c.ptz.size(); ++i) {
        EXPECT_STREQ(d.PtzDevice[i].PtzName, c.ptz[i].name) << i;
        EXPECT_EQ(d.PtzDevice[i].PtzID, c.ptz[i].id) << i;
    }
    // slots past the ones read keep what they held
    for (size_t i = c.ptz.size(); i < 5; ++i)
        EXPECT_EQ(memcmp(&d.PtzDevice[i], &before.PtzDevice[i], sizeof d.PtzDevice[i]), 0) << i;
}

const DeviceCase kDevices[] = {
    // the worked example, call by call
    {"3[Q2FtZXJh]<1[UGFu],2[RG9tZSAx]>:4[WWFyZA==]<>", 1, true, "Camera", 3, 2, {{"Pan", 1}, {"Dome 1", 2}},
     "4[WWFyZA==]<>"},
    {"4[WWFyZA==]<>", 1, true, "Yard", 4, 0, {}, ""},
    {"", 0, false, "", 0, -1, {}, ""},
    // six PTZ entries fill five records
    {"7[UGFu]<1[QQ==],2[Qg==],3[Qw==],4[RA==],5[RQ==],6[Rg==]>", 1, true, "Pan", 7, 5,
     {{"A", 1}, {"B", 2}, {"C", 3}, {"D", 4}, {"E", 5}}, ""},
    // what stands between ">" and ":" is skipped; a PTZ entry's tail up to ","
    {" 8 [ UGFu ] <9[QQ==]junk, 10[Qg==]>junk:next", 1, true, "Pan", 8, 2, {{"A", 9}, {"B", 10}}, "next"},
    {"x[UGFu]<>", 1, true, "Pan", 0, 0, {}, ""},
    // a malformed PTZ entry ends the PTZ list, not the device
    {"1[UGFu]<2[QQ==],[Qg==]>:", 1, true, "Pan", 1, 1, {{"A", 2}}, ""},
    // failed reads: what was consumed and written stays
    {"3[Q2FtZXJh]x", 0, true, "Camera", 3, -1, {}, "x"},
    {"3[Q2FtZXJh]<1[UGFu]", 0, true, "Camera", 3, -1, {}, "1[UGFu]"},
    {"[UGFu]<>", 0, false, "", 0, -1, {}, "[UGFu]<>"},
    {"3[UGFu", 0, false, "", 0, -1, {}, "UGFu"},
    {"3[]<>", 0, false, "", 0, -1, {}, "]<>"},
};
INSTANTIATE_TEST_SUITE_P(Entries, DeviceEntry, ::testing::ValuesIn(kDevices));

TEST(DeviceList, ReadsSeventeenDevicesInOrder) {
    std::string list;
    for (int i = 0; i < 17; ++i) {
        if (i) list += ':';
        list += std::to_string(100 + i) + "[" + Base64Of("Dev" + std::to_string(i)) + "]<" + std::to_string(i) + "[" +
                Base64Of("P" + std::to_string(i)) + "]>";
    }
    COamCommand cmd;
    CString t(list);
    int read = 0;
    WACDEVICE_STRUCT d;
    while (cmd.GetDeviceInfo(t, &d)) {
        ASSERT_EQ(d.DeviceID, 100 + read);
        ASSERT_STREQ(d.DeviceName, ("Dev" + std::to_string(read)).c_str());
        ASSERT_EQ(d.PtzCount, 1);
        ASSERT_EQ(d.PtzDevice[0].PtzID, read);
        ++read;
    }
    EXPECT_EQ(read, 17);
    EXPECT_TRUE(t.IsEmpty());
}

TEST(PtzEntry, ReadsAndSkipsToTheNextEntry) {
    struct Row {
        const char* text;
        int result;
        const char* name;  // nullptr: record untouched
        int id;
        const char* after;
    } rows[] = {
        {"1[UGFu],2[RG9tZSAx]", 1, "Pan", 1, "2[RG9tZSAx]"},
        {"2[RG9tZSAx]", 1, "Dome 1", 2, ""},
        {"-3[UGFu] tail , 4[QQ==]", 1, "Pan", -3, " 4[QQ==]"},
        {"[UGFu],", 0, nullptr, 0, "[UGFu],"},
        {"5[UGFu", 0, nullptr, 0, "UGFu"},
        {"", 0, nullptr, 0, ""},
    };
    for (const Row& r : rows) {
        COamCommand cmd;
        CString t(r.text);
        PTZDEVICE_STRUCT p, before;
        memset(&p, 0x5A, sizeof p);
        before = p;
        EXPECT_EQ(cmd.GetPtzInfo(t, &p), r.result) << r.text;
        EXPECT_EQ(t.str(), r.after) << r.text;
        if (r.name) {
            EXPECT_STREQ(p.PtzName, r.name) << r.text;
            EXPECT_EQ(p.PtzID, r.id) << r.text;
        } else {
            EXPECT_EQ(memcmp(&p, &before, sizeof p), 0) << r.text;
        }
    }
}

TEST(EntryRecords, NullRecordReadsNothing) {
    COamCommand cmd;
    CString t("1[UGFu]<>");
    EXPECT_EQ(cmd.GetDeviceInfo(t, nullptr), 0);
    EXPECT_EQ(cmd.GetPtzInfo(t, nullptr), 0);
    EXPECT_EQ(t, "1[UGFu]<>");
}

// Decoded names longer than the field are cut to fit with their NUL, and
// never between the two bytes of a character.
TEST(EntryNames, LongNamesCutToFit) {
    struct Row {
        UINT cp;
        std::string name;
        std::string expected;
    } rows[] = {
        {1252, std::string(200, 'A'), std::string(127, 'A')},
        {1252, std::string(127, 'B'), std::string(127, 'B')},
        {1252, std::string(255, 'C'), std::string(127, 'C')},
        {1252, std::string(300, 'D'), std::string(127, 'D')},  // decoder stops at 256, no NUL
        {1252, std::string(126, 'E') + "\x82\xA0", std::string(126, 'E') + "\x82"},
        {932, std::string(126, 'E') + "\x82\xA0", std::string(126, 'E')},
        {932, std::string(125, 'F') + "\x82\xA0" + "G", std::string(125, 'F') + "\x82\xA0"},
        {936, std::string(1, 'H') + std::string(140, '\xB0'), "H" + std::string(126, '\xB0')},
        {65001, std::string(126, 'I') + "\xC3\xA9", std::string(126, 'I')},
        {65001, std::string(125, 'J') + "\xE2\x82\xAC", std::string(125, 'J')},
        {65001, std::string(124, 'K') + "\xE2\x82\xAC", std::string(124, 'K') + "\xE2\x82\xAC"},
    };
    for (const Row& r : rows) {
        CodePage cp(r.cp);
        COamCommand cmd;
        std::string b64 = Base64Of(r.name);
        CString dev(("1[" + b64 + "]<2[" + b64 + "]>").c_str());
        WACDEVICE_STRUCT d;
        memset(&d, 0x5A, sizeof d);
        ASSERT_EQ(cmd.GetDeviceInfo(dev, &d), 1);
        EXPECT_EQ(std::string(d.DeviceName), r.expected) << r.cp << " " << r.name.size();
        EXPECT_EQ(std::string(d.PtzDevice[0].PtzName), r.expected) << r.cp;
        EXPECT_EQ(d.DeviceID, 1);  // the field after the name is intact
        EXPECT_EQ(d.PtzDevice[0].PtzID, 2);
        // Station names go through the same decoding.
        std::string entry = "S1[" + b64 + "]3";
        oam::codec::Span list(entry.data(), entry.size());
        STATION_STRUCT s;
        memset(&s, 0x5A, sizeof s);
        ASSERT_EQ(oam::codec::PopStationRecord(list, &s), oam::codec::Got::Whole);
        EXPECT_EQ(std::string(s.StationName), r.expected) << r.cp;
        EXPECT_EQ(s.DeviceCount, 0x5A5A5A5A);  // the field after the name is intact
    }
}

}  // namespace
}  // namespace oamtest
