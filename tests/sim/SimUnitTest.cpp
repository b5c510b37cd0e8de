// oam-sim's own pieces: its pair parser, request framing, file-name
// checks, base64 and archives (cross-checked against Corbex and archives
// written by another tool), and configuration validation.
#include <gtest/gtest.h>

#include <random>

#include "Archive.h"
#include "Corbex.h"
#include "SimConfig.h"
#include "SimHarness.h"
#include "Wire.h"
#include "TestReference.h"

using namespace oamsim;

namespace {

std::string FromHex(const std::string& hex) {
    std::string out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) out += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
    return out;
}

struct RequestCase {
    const char* text;
    bool ok;
    int session;  // also expected for refusals that could read one
    const char* station;
    bool hasStation;
    const char* command;
    size_t params;
};

void PrintTo(const RequestCase& c, std::ostream* os) {
    *os << c.text;
}

class WireRequests : public ::testing::TestWithParam<RequestCase> {};

TEST_P(WireRequests, AreFramedAsTheClientSendsThem) {
    const RequestCase& c = GetParam();
    int32_t session = 0;
    std::string why;
    auto r = ParseRequest(c.text, session, why);
    EXPECT_EQ(r.has_value(), c.ok) << why;
    EXPECT_EQ(session, c.session);
    if (!r) {
        EXPECT_FALSE(why.empty());
        return;
    }
    EXPECT_EQ(r->station, c.station);
    EXPECT_EQ(r->hasStation, c.hasStation);
    EXPECT_EQ(r->command, c.command);
    EXPECT_EQ(r->params.size(), c.params);
}

INSTANTIATE_TEST_SUITE_P(
    Table, WireRequests,
    ::testing::Values(RequestCase{"SESSIONID=0;STATIONID=12;CMD=Get;AllStation=;", true, 0, "12", true, "Get", 1},
                      RequestCase{"SESSIONID=3;CMD=Login;User=a;Password=b=c;", true, 3, "", false, "Login", 2},
                      RequestCase{" SESSIONID = 5 ; STATIONID = ; CMD = Set ; Contrast = -5 ;\r\n", true, 5, "", true, "Set", 1},
                      RequestCase{"sessionid=6;stationid=S;cmd=Control;", true, 6, "S", true, "Control", 0},
                      RequestCase{"SESSIONID=7;STATIONID=S1;CMD=Get;a=1;;b=2", true, 7, "S1", true, "Get", 2},
                      RequestCase{"SESSIONID=8;STATIONID=S1;", false, 8, "", false, "", 0},
                      RequestCase{"SESSIONID=9;STATIONID=S1;CMD=;", false, 9, "", false, "", 0},
                      RequestCase{"SESSIONID=10;STATIONID=S1;CMD=Get;junk;", false, 10, "", false, "", 0},
                      RequestCase{"CMD=Get;SESSIONID=1;", false, -1, "", false, "", 0},
                      RequestCase{"SESSIONID=x;CMD=Get;", false, -1, "", false, "", 0},
                      RequestCase{"SESSIONID=2147483648;CMD=Get;", false, -1, "", false, "", 0},
                      RequestCase{"", false, -1, "", false, "", 0},
                      RequestCase{"=;=;", false, -1, "", false, "", 0}));

TEST(WireValues, IntegersAreStrictAndBounded) {
    struct {
        const char* text;
        bool ok;
        int32_t value;
    } cases[] = {{"0", true, 0},          {"-5", true, -5},       {"+7", true, 7},        {" 42 ", true, 42},
                 {"2147483647", true, INT32_MAX}, {"-2147483648", true, INT32_MIN}, {"2147483648", false, 0},
                 {"12abc", false, 0},     {"", false, 0},         {"-", false, 0},        {"1 2", false, 0},
                 {"99999999999999999999", false, 0}};
    for (auto& c : cases) {
        auto v = ParseInt(c.text);
        EXPECT_EQ(v.has_value(), c.ok) << c.text;
        if (v) {
            EXPECT_EQ(*v, c.value) << c.text;
        }
    }
    EXPECT_EQ(ParseCount("1048576", 1u << 20).value_or(0), 1u << 20);
    EXPECT_FALSE(ParseCount("1048577", 1u << 20));
    EXPECT_FALSE(ParseCount("-1", 100));
}

TEST(WireValues, FileNamesCannotEscapeTheStorage) {
    for (const char* good : {"cfg.ini", "a", "report 2024.txt", "..hidden", "x.."}) EXPECT_TRUE(IsSafeFileName(good)) << good;
    for (const char* bad : {"", ".", "..", "../x", "a/b", "a\\b", "/etc/passwd", "a;b", "a=b", "c:x", "tab\there"})
        EXPECT_FALSE(IsSafeFileName(bad)) << bad;
    EXPECT_FALSE(IsSafeFileName(std::string(256, 'n')));
    EXPECT_FALSE(IsSafeFileName(std::string("nul\0byte", 8)));
}

TEST(WireValues, RepliesKeepDelimitersOutOfValues) {
    EXPECT_EQ(FormatReply(4, 0, {{"A", "1"}, {"B", ""}}), "SESSIONID=4;RETURNCODE=0;A=1;B=;");
    EXPECT_EQ(FormatReply(-1, 2), "SESSIONID=-1;RETURNCODE=2;");
    EXPECT_EQ(SafeValue("a;b=c\nd"), "a b c d");
}

TEST(WireBase64, DecodesBackWithCorbex) {
    std::mt19937 rng(11);
    for (size_t len = 0; len < 130; ++len) {
        std::string s(len, '\0');
        for (char& c : s) c = static_cast<char>(1 + rng() % 255);  // names hold no NUL
        std::string b64 = Base64Encode(s);
        EXPECT_EQ(b64.size(), (len + 2) / 3 * 4);
        unsigned char out[256] = {0};
        Base64::base64ToBin(b64.c_str(), out, sizeof out);
        EXPECT_EQ(std::string(reinterpret_cast<char*>(out)), s) << len;
    }
}

TEST(WireMd5, AgreesWithTheReferenceDigest) {
    std::mt19937 rng(5);
    for (size_t len : {0u, 1u, 55u, 56u, 63u, 64u, 65u, 1000u, 100000u}) {
        std::string s(len, '\0');
        for (char& c : s) c = static_cast<char>(rng());
        std::string hex;
        for (char b : oamtest::ReferenceMd5(s.data(), s.size())) {
            hex += "0123456789abcdef"[(b >> 4) & 15];
            hex += "0123456789abcdef"[b & 15];
        }
        ASSERT_EQ(hex.size(), 32u);
        EXPECT_EQ(Md5Hex(s.data(), s.size()), hex) << len;
    }
}

TEST(SimArchive, RoundTripsContentOfEveryShape) {
    std::mt19937 rng(3);
    for (size_t len : {0u, 1u, 100u, 65536u, 300000u}) {
        std::string random(len, '\0'), repetitive(len, 'r');
        for (char& c : random) c = static_cast<char>(rng());
        for (const std::string& content : {random, repetitive}) {
            auto a = ZipOneEntry("entry.bin", content);
            ASSERT_TRUE(a);
            std::string why;
            auto back = UnzipFirstEntry(*a, 1u << 20, why);
            ASSERT_TRUE(back) << why;
            EXPECT_EQ(back->entryName, "entry.bin");
            EXPECT_EQ(back->content, content);
        }
    }
}

TEST(SimArchive, ReadsArchivesWrittenByAnotherTool) {
    // Written by Python's zipfile: one deflated entry; and a stored entry
    // followed by a second one, which is ignored.
    std::string deflated = FromHex(
        "504b03041400000008008318225022befdea12000000270000000a000000676f6c64656e2e747874cb48cdc9c95748cfcf4949cde3cac0"
        "c90100504b010214031400000008008318225022befdea12000000270000000a000000000000000000000080010000000067"
        "6f6c64656e2e747874504b05060000000001000100380000003a0000000000");
    std::string stored = FromHex(
        "504b03041400000000008318225088e2cece10000000100000000a00000073746f7265642e62696e000102030405060708090a0b0c0d0e"
        "0f504b03041400000000008318225033ebbfe00c0000000c000000090000006f746865722e7478747365636f6e6420656e747279504b01"
        "0214031400000000008318225088e2cece10000000100000000a000000000000000000000080010000000073746f7265642e62696e504b"
        "010214031400000000008318225033ebbfe00c0000000c0000000900000000000000000000008001380000006f746865722e747874504b"
        "050600000000020002006f0000006b0000000000");
    std::string why;
    auto a = UnzipFirstEntry(deflated, 1000, why);
    ASSERT_TRUE(a) << why;
    EXPECT_EQ(a->entryName, "golden.txt");
    EXPECT_EQ(a->content, "hello golden\nhello golden\nhello golden\n");
    auto b = UnzipFirstEntry(stored, 1000, why);
    ASSERT_TRUE(b) << why;
    EXPECT_EQ(b->entryName, "stored.bin");
    std::string expected;
    for (int i = 0; i < 16; ++i) expected += static_cast<char>(i);
    EXPECT_EQ(b->content, expected);

    // The same archive with a wrong CRC in both headers, and cut short.
    std::string badCrc = stored;
    badCrc[14] ^= 1;
    size_t central = badCrc.find("PK\x01\x02");
    ASSERT_NE(central, std::string::npos);
    badCrc[central + 16] ^= 1;
    EXPECT_FALSE(UnzipFirstEntry(badCrc, 1000, why));
    EXPECT_NE(why.find("CRC"), std::string::npos) << why;
    EXPECT_FALSE(UnzipFirstEntry(deflated.substr(0, deflated.size() - 10), 1000, why));
    EXPECT_FALSE(UnzipFirstEntry(std::string(), 1000, why));
    // Larger than allowed: refused before inflating.
    EXPECT_FALSE(UnzipFirstEntry(deflated, 10, why));
    EXPECT_NE(why.find("too large"), std::string::npos);
}

struct ConfigCase {
    const char* name;
    const char* json;
    const char* complaint;  // a word the one-line reason must hold
};

void PrintTo(const ConfigCase& c, std::ostream* os) {
    *os << c.name;
}

class SimConfigErrors : public ::testing::TestWithParam<ConfigCase> {};

TEST_P(SimConfigErrors, AreRefusedWithAReason) {
    try {
        ParseConfig(GetParam().json);
        ADD_FAILURE() << "accepted";
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find(GetParam().complaint), std::string::npos) << e.what();
        EXPECT_EQ(std::string(e.what()).find('\n'), std::string::npos);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, SimConfigErrors,
    ::testing::Values(
        ConfigCase{"NotJson", "{stations:", "invalid JSON"},
        ConfigCase{"NoStations", "{}", "stations"},
        ConfigCase{"DelimiterInId", R"({"stations":[{"id":"S;1","name":"x"}]})", "delimiter"},
        ConfigCase{"SlashInId", R"({"stations":[{"id":"a/b","name":"x"}]})", "letters"},
        ConfigCase{"IdTooLong", R"({"stations":[{"id":"0123456789012345678901234567890123456","name":"x"}]})", "35"},
        ConfigCase{"DuplicateId", R"({"stations":[{"id":"A","name":"x"},{"id":"A","name":"y"}]})", "twice"},
        ConfigCase{"NameTooLong",
                   R"({"stations":[{"id":"A","name":"xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx"}]})",
                   "127"},
        ConfigCase{"DeviceIdNotInt", R"({"stations":[{"id":"A","name":"x","devices":[{"id":"3","name":"d"}]}]})", "integer"},
        ConfigCase{"ParamBadRange",
                   R"({"stations":[{"id":"A","name":"x","parameters":{"C":{"value":5,"min":10,"max":1}}}]})", "min"},
        ConfigCase{"ParamOutsideRange",
                   R"({"stations":[{"id":"A","name":"x","parameters":{"C":{"value":50,"min":0,"max":10}}}]})", "outside"},
        ConfigCase{"ParamTwiceByCase", R"({"stations":[{"id":"A","name":"x","parameters":{"C":1,"c":2}}]})", "twice"},
        ConfigCase{"PasswordWithSemicolon", R"({"users":[{"user":"u","password":"a;b"}],"stations":[]})", "';'"}),
    [](const ::testing::TestParamInfo<ConfigCase>& i) { return std::string(i.param.name); });

TEST(SimConfigDefault, ShipsAUsableSite) {
    SimConfig c = LoadConfig(oamtest::BinaryDir() + "/oam-sim-default-config.json");
    EXPECT_GE(c.stations.size(), 2u);
    EXPECT_FALSE(c.users.empty());
    size_t ptz = 0;
    for (const Station& s : c.stations) {
        for (const Device& d : s.devices) ptz += d.ptz.size();
        EXPECT_NE(s.parameters.find("Contrast"), s.parameters.end()) << s.id;
    }
    EXPECT_GT(ptz, 0u);
}

}  // namespace
