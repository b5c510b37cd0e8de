// oam-sim at the byte level, over loopback: framing, session numbers,
// log-in, hostile input, concurrent clients, upload checks and shutdown.
#include <gtest/gtest.h>

#include <signal.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <random>
#include <regex>
#include <thread>

#include "Archive.h"
#include "SimHarness.h"
#include "Wire.h"

using namespace oamtest;

namespace {

// The session number and return code at the front of a reply, or -999.
struct Head {
    int session = -999;
    int code = -999;
    std::string rest;
};

Head ParseHead(const std::string& reply) {
    static const std::regex re("^SESSIONID=(-?[0-9]+);RETURNCODE=(-?[0-9]+);([\\s\\S]*)$");
    std::smatch m;
    Head h;
    if (std::regex_match(reply, m, re)) {
        h.session = std::stoi(m[1]);
        h.code = std::stoi(m[2]);
        h.rest = m[3];
    }
    return h;
}

class SimProtocol : public ::testing::Test {
protected:
    void SetUp() override {
        std::string err;
        ASSERT_TRUE(sim.Start(err)) << err;
        ASSERT_TRUE(client.Connect(sim.Port()));
    }
    Head Exchange(const std::string& request) {
        EXPECT_TRUE(client.Send(request));
        return ParseHead(client.RecvOnce());
    }
    void Login() { ASSERT_EQ(Exchange("SESSIONID=0;CMD=Login;User=admin;Password=admin;").code, 0); }

    SimProcess sim{SimOptions{{"--file-timeout-ms", "400", "--max-file-mb", "1", "--fileget-pause-ms", "150"}, "", false}};
    RawClient client;
};

TEST_F(SimProtocol, RepliesCarryTheRequestsSessionNumber) {
    Login();
    for (long long session : {0LL, 1LL, 41LL, -7LL, 2147483647LL, -2147483648LL}) {
        Head h = Exchange("SESSIONID=" + std::to_string(session) + ";STATIONID=S1;CMD=Get;Contrast=;");
        EXPECT_EQ(h.session, session);
        EXPECT_EQ(h.code, 0);
    }
}

TEST_F(SimProtocol, CommandsNeedALogInAndWrongCredentialsAreRefusedWithAReason) {
    Head before = Exchange("SESSIONID=1;STATIONID=;CMD=Get;AllStation=;");
    EXPECT_NE(before.code, 0);
    EXPECT_NE(before.rest.find("Reason="), std::string::npos);

    for (const char* bad : {"User=admin;Password=wrong;", "User=nobody;Password=admin;", "", "User=admin;"}) {
        Head h = Exchange(std::string("SESSIONID=2;CMD=Login;") + bad);
        EXPECT_NE(h.code, 0) << bad;
        EXPECT_NE(h.rest.find("Reason="), std::string::npos) << bad;
        EXPECT_NE(Exchange("SESSIONID=3;STATIONID=;CMD=Get;AllStation=;").code, 0) << "still not logged in";
    }
    // The command name of a log-in is compared without case.
    EXPECT_EQ(Exchange("SESSIONID=4;CMD=LOGIN;User=admin;Password=admin;").code, 0);
    EXPECT_EQ(Exchange("SESSIONID=5;STATIONID=;CMD=Get;AllStation=;").code, 0);
}

TEST_F(SimProtocol, UnknownStationsNamesAndValuesAreRefusedWithDistinctCodes) {
    Login();
    int unknownStation = Exchange("SESSIONID=1;STATIONID=NOPE;CMD=Get;Contrast=;").code;
    int unknownName = Exchange("SESSIONID=2;STATIONID=S1;CMD=Get;NoSuchThing=;").code;
    int badValue = Exchange("SESSIONID=3;STATIONID=S1;CMD=Set;Contrast=abc;").code;
    int outOfRange = Exchange("SESSIONID=4;STATIONID=S1;CMD=Set;Contrast=1000;").code;
    int unknownCommand = Exchange("SESSIONID=5;STATIONID=S1;CMD=Explode;").code;
    int controlAsSet = Exchange("SESSIONID=6;STATIONID=S1;CMD=Set;Zoom=2;").code;
    for (int c : {unknownStation, unknownName, badValue, outOfRange, unknownCommand, controlAsSet}) EXPECT_GT(c, 0);
    EXPECT_NE(unknownStation, unknownName);
    EXPECT_NE(unknownName, badValue);
    EXPECT_NE(unknownCommand, unknownName);
    EXPECT_EQ(badValue, outOfRange);
    // A refused set leaves the value alone.
    Head h = Exchange("SESSIONID=7;STATIONID=S1;CMD=Get;Contrast=;");
    EXPECT_EQ(h.code, 0);
    EXPECT_EQ(h.rest, "Contrast=50;");
}

TEST_F(SimProtocol, SetValuesAreKeptPerStationAndSharedBetweenConnections) {
    Login();
    EXPECT_EQ(Exchange("SESSIONID=1;STATIONID=S1;CMD=Set;Brightness=12;").code, 0);
    EXPECT_EQ(Exchange("SESSIONID=2;STATIONID=S2;CMD=Set;Brightness=88;").code, 0);
    RawClient other;
    ASSERT_TRUE(other.Connect(sim.Port()));
    other.Send("SESSIONID=0;CMD=Login;User=operator;Password=op-2024;");
    ASSERT_EQ(ParseHead(other.RecvOnce()).code, 0);
    other.Send("SESSIONID=1;STATIONID=S1;CMD=Get;brightness=;");
    EXPECT_EQ(ParseHead(other.RecvOnce()).rest, "Brightness=12;");
    other.Send("SESSIONID=2;STATIONID=S2;CMD=Get;Brightness=;");
    EXPECT_EQ(ParseHead(other.RecvOnce()).rest, "Brightness=88;");
}

// Hostile input: every case gets an answer or is absorbed, and the server
// keeps serving the same connection afterwards.
class SimGarbage : public SimProtocol, public ::testing::WithParamInterface<std::string> {};

TEST_P(SimGarbage, IsRefusedAndTheServerCarriesOn) {
    Login();
    ASSERT_TRUE(client.Send(GetParam()));
    std::string answer = client.RecvAll(300);
    // Whatever came back is well-formed refusals, never an acceptance.
    size_t pos = 0;
    while ((pos = answer.find("RETURNCODE=", pos)) != std::string::npos) {
        EXPECT_NE(answer.compare(pos, 13, "RETURNCODE=0;"), 0) << answer;
        pos += 11;
    }
    Head h = Exchange("SESSIONID=77;STATIONID=S1;CMD=Get;Contrast=;");
    EXPECT_EQ(h.session, 77);
    EXPECT_EQ(h.code, 0);
    EXPECT_TRUE(sim.Running());
}

std::string RandomBytes(size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    std::string s(n, '\0');
    for (char& c : s) c = static_cast<char>(rng());
    return s;
}

INSTANTIATE_TEST_SUITE_P(
    Inputs, SimGarbage,
    ::testing::Values(std::string("\x00\x01\x02\xff\xfe", 5), std::string("===="), std::string(";;;;;"),
                      std::string("SESSIONID=abc;CMD=Get;"), std::string("SESSIONID=1;"), std::string("SESSIONID=1;STATIONID=S1;CMD=;"),
                      std::string("CMD=Get;SESSIONID=1;"), std::string("SESSIONID=99999999999999;CMD=Get;"),
                      std::string("SESSIONID=1;STATIONID=S1;CMD=Get;\x00Contrast=;", 40), RandomBytes(4096, 1),
                      RandomBytes(200000, 2), std::string(70000, 'A'),
                      "SESSIONID=1;STATIONID=S1;CMD=Get;" + std::string(70000, 'x') + "=;",
                      std::string("SESSIONID=1;STATIONID=../../etc;CMD=FileGet;FileName=passwd;"),
                      std::string("SESSIONID=1;STATIONID=S1;CMD=FileGet;FileName=../../../etc/passwd;"),
                      std::string("SESSIONID=1;STATIONID=S1;CMD=FileSet;FILENAME=a;FILELEN=-1;MD5=x;"),
                      std::string("SESSIONID=1;STATIONID=S1;CMD=FileSet;FILENAME=a;FILELEN=99999999999999999999;MD5="
                                  "00000000000000000000000000000000;")));

TEST_F(SimProtocol, ARequestSplitAcrossTwoSendsIsAnsweredOnce) {
    Login();
    ASSERT_TRUE(client.Send("SESSIONID=3;STATIONID=S1;CMD=G"));
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ASSERT_TRUE(client.Send("et;Contrast=;"));
    std::string reply = client.RecvAll(300);
    EXPECT_EQ(reply, "SESSIONID=3;RETURNCODE=0;Contrast=50;");
}

TEST_F(SimProtocol, ServesSeveralClientsAtOnce) {
    constexpr int kClients = 8, kRounds = 40;
    std::atomic<int> good{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kClients; ++t) {
        threads.emplace_back([&, t] {
            RawClient c;
            if (!c.Connect(sim.Port())) return;
            c.Send("SESSIONID=0;CMD=Login;User=admin;Password=admin;");
            if (ParseHead(c.RecvOnce()).code != 0) return;
            for (int i = 1; i <= kRounds; ++i) {
                int session = t * 1000 + i;
                std::string station = (i % 2) ? "S1" : "S2";
                c.Send("SESSIONID=" + std::to_string(session) + ";STATIONID=" + station + ";CMD=Get;Contrast=;");
                Head h = ParseHead(c.RecvOnce());
                if (h.session == session && h.code == 0 && h.rest.rfind("Contrast=", 0) == 0) ++good;
            }
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(good.load(), kClients * kRounds);
}

// Uploads checked at the wire: the go-ahead, then the raw archive bytes,
// then the final verdict.
struct UploadCase {
    const char* name;
    int finalCode;  // 0 accepted; otherwise the expected refusal
    std::function<void(std::string& archive, std::string& md5, std::string& len)> tamper;
};

void PrintTo(const UploadCase& c, std::ostream* os) {
    *os << c.name;
}

class SimUpload : public SimProtocol, public ::testing::WithParamInterface<UploadCase> {};

TEST_P(SimUpload, FinalReplyJudgesTheArchive) {
    Login();
    std::string content = RandomBytes(20000, 7) + std::string(20000, 'z');
    auto archive = oamsim::ZipOneEntry("FILE", content);
    ASSERT_TRUE(archive);
    std::string md5 = oamsim::Md5Hex(archive->data(), archive->size());
    std::string len = std::to_string(archive->size());
    std::string bytes = *archive;
    GetParam().tamper(bytes, md5, len);
    Head go = Exchange("SESSIONID=9;STATIONID=S2;CMD=FileSet;FILENAME=up.bin;FILELEN=" + len + ";MD5=" + md5 + ";");
    ASSERT_EQ(go.session, 9);
    ASSERT_EQ(go.code, 0);
    ASSERT_TRUE(client.Send(bytes));
    Head fin = ParseHead(client.RecvOnce(5000));
    EXPECT_EQ(fin.session, 9);
    EXPECT_EQ(fin.code, GetParam().finalCode) << fin.rest;
    // Only an accepted upload can be downloaded again.
    Head get = Exchange("SESSIONID=10;STATIONID=S2;CMD=FileGet;FileName=up.bin;");
    if (GetParam().finalCode == 0) {
        EXPECT_EQ(get.code, 0);
        std::string announced = get.rest;
        std::smatch m;
        ASSERT_TRUE(std::regex_search(announced, m, std::regex("FileLen=([0-9]+);MD5=([0-9a-f]{32});")));
        std::string data = client.RecvAll(500, std::stoul(m[1]));
        ASSERT_EQ(data.size(), std::stoul(m[1]));
        EXPECT_EQ(oamsim::Md5Hex(data.data(), data.size()), m[2].str());
        std::string why;
        auto back = oamsim::UnzipFirstEntry(data, 1u << 20, why);
        ASSERT_TRUE(back) << why;
        EXPECT_EQ(back->content, content);
    } else {
        EXPECT_EQ(get.code, 7);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SimUpload,
    ::testing::Values(
        UploadCase{"Intact", 0, [](std::string&, std::string&, std::string&) {}},
        UploadCase{"DigestInUpperCase", 0,
                   [](std::string&, std::string& md5, std::string&) {
                       for (char& c : md5) c = static_cast<char>(toupper(c));
                   }},
        UploadCase{"DigestMismatch", 11, [](std::string&, std::string& md5, std::string&) { md5[0] = md5[0] == '0' ? '1' : '0'; }},
        UploadCase{"NotAnArchive", 12,
                   [](std::string& a, std::string& md5, std::string&) {
                       a.assign(a.size(), 'Q');
                       md5 = oamsim::Md5Hex(a.data(), a.size());
                   }},
        UploadCase{"CorruptedEntryData", 12,
                   [](std::string& a, std::string& md5, std::string&) {
                       a[a.size() / 3] ^= 0x55;
                       md5 = oamsim::Md5Hex(a.data(), a.size());
                   }},
        UploadCase{"FewerBytesThanAnnounced", 10, [](std::string& a, std::string&, std::string&) { a.resize(a.size() / 2); }}),
    [](const ::testing::TestParamInfo<UploadCase>& i) { return std::string(i.param.name); });

TEST_F(SimProtocol, UploadsAreRefusedBeforeAnyByteWhenTheAnnouncementIsBad) {
    Login();
    const char* md5 = "d41d8cd98f00b204e9800998ecf8427e";
    for (std::string params : {std::string("FILENAME=../x;FILELEN=10;MD5=") + md5 + ";",
                               std::string("FILENAME=a/b;FILELEN=10;MD5=") + md5 + ";",
                               std::string("FILENAME=ok.txt;FILELEN=5000000;MD5=") + md5 + ";",  // over --max-file-mb
                               std::string("FILENAME=ok.txt;FILELEN=10;MD5=nothex;"),
                               std::string("FILENAME=ok.txt;MD5=") + md5 + ";"}) {
        Head h = Exchange("SESSIONID=4;STATIONID=S1;CMD=FileSet;" + params);
        EXPECT_EQ(h.session, 4);
        EXPECT_GT(h.code, 0) << params;
    }
}

TEST_F(SimProtocol, AnArchiveThatInflatesBeyondTheLimitIsRefused) {
    Login();
    auto bomb = oamsim::ZipOneEntry("FILE", std::string(3u << 20, '\0'));  // 3 MiB of zeros, limit 1 MiB
    ASSERT_TRUE(bomb);
    ASSERT_LT(bomb->size(), 1u << 20);
    std::string md5 = oamsim::Md5Hex(bomb->data(), bomb->size());
    Head go = Exchange("SESSIONID=1;STATIONID=S1;CMD=FileSet;FILENAME=bomb;FILELEN=" + std::to_string(bomb->size()) +
                       ";MD5=" + md5 + ";");
    ASSERT_EQ(go.code, 0);
    ASSERT_TRUE(client.Send(*bomb));
    Head fin = ParseHead(client.RecvOnce());
    EXPECT_EQ(fin.code, 9) << "too large, not a bad archive";
    EXPECT_NE(fin.rest.find("file too large: 3145728 bytes, the limit is 1 MiB"), std::string::npos) << fin.rest;
}

TEST_F(SimProtocol, DownloadReplyAndArchiveArriveInSeparateReads) {
    Login();
    std::string content(5000, 'c');
    auto archive = oamsim::ZipOneEntry("FILE", content);
    std::string md5 = oamsim::Md5Hex(archive->data(), archive->size());
    ASSERT_EQ(Exchange("SESSIONID=1;STATIONID=S3;CMD=FileSet;FILENAME=c.txt;FILELEN=" + std::to_string(archive->size()) +
                       ";MD5=" + md5 + ";")
                  .code,
              0);
    client.Send(*archive);
    ASSERT_EQ(ParseHead(client.RecvOnce()).code, 0);
    ASSERT_TRUE(client.Send("SESSIONID=2;STATIONID=S3;CMD=FileGet;FileName=c.txt;"));
    // A client reading right away gets the reply alone.
    std::string first = client.RecvOnce();
    Head h = ParseHead(first);
    EXPECT_EQ(h.code, 0);
    EXPECT_EQ(first.back(), ';');
    EXPECT_EQ(first.find("PK\x03\x04"), std::string::npos);
    std::smatch m;
    ASSERT_TRUE(std::regex_match(h.rest, m, std::regex("FileName=c\\.txt;FileLen=([0-9]+);MD5=([0-9a-f]{32});")));
    std::string data = client.RecvAll(500, std::stoul(m[1]));
    EXPECT_EQ(data.size(), std::stoul(m[1]));
    EXPECT_EQ(data.compare(0, 4, "PK\x03\x04"), 0);
}

class SimSignals : public ::testing::TestWithParam<int> {};

TEST_P(SimSignals, StopsCleanlyWithClientsConnected) {
    SimProcess sim;
    std::string err;
    ASSERT_TRUE(sim.Start(err)) << err;
    RawClient a, b;
    ASSERT_TRUE(a.Connect(sim.Port()));
    ASSERT_TRUE(b.Connect(sim.Port()));
    a.Send("SESSIONID=0;CMD=Login;User=admin;Password=admin;");
    ASSERT_EQ(ParseHead(a.RecvOnce()).code, 0);
    ASSERT_TRUE(sim.Signal(GetParam()));
    EXPECT_TRUE(a.ClosedByPeer(10000));
    EXPECT_TRUE(b.ClosedByPeer(10000));
    EXPECT_EQ(sim.Stop(), 0) << sim.Log();
    EXPECT_NE(sim.Log().find("stopping"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Signals, SimSignals, ::testing::Values(SIGTERM, SIGINT));

struct StartCase {
    const char* name;
    std::vector<std::string> args;
    int exitCode;
    const char* site = nullptr;  // written to a file given as --config
    const char* says = "";       // in the error
};

void PrintTo(const StartCase& c, std::ostream* os) {
    *os << c.name;
}

class SimStartup : public ::testing::TestWithParam<StartCase> {};

TEST_P(SimStartup, RefusesBadSetupsWithOneLine) {
    std::vector<std::string> args = GetParam().args;
    std::string dir = MakeTempDir("oamsim-test");
    if (GetParam().site) {
        std::ofstream(dir + "/site.json") << GetParam().site;
        args.insert(args.end(), {"--config", dir + "/site.json", "--port", "0", "--no-alarms"});
    }
    RunResult r = oamtest::Run(BinaryDir() + "/oam-sim", args, 10000);
    std::filesystem::remove_all(dir);
    EXPECT_EQ(r.exitCode, GetParam().exitCode) << r.err;
    EXPECT_FALSE(r.err.empty());
    EXPECT_LE(std::count(r.err.begin(), r.err.end(), '\n'), 2) << r.err;
    EXPECT_NE(r.err.find(GetParam().says), std::string::npos) << r.err;
}

// Every option of --help is in the README's synopsis, and the reverse.
TEST(SimHelp, ListsEveryOptionAsTheReadmeDoes) {
    RunResult help = oamtest::Run(BinaryDir() + "/oam-sim", {"--help"}, 10000);
    ASSERT_EQ(help.exitCode, 0);
    std::ifstream in(std::string(OAMSDK_SOURCE_DIR) + "/README.md");
    std::stringstream readme;
    readme << in.rdbuf();
    std::string text = readme.str();
    size_t from = text.find("```\noam-sim [");
    ASSERT_NE(from, std::string::npos) << "no oam-sim synopsis in the README";
    std::string synopsis = text.substr(from, text.find("```", from + 3) - from);
    auto longOptions = [](const std::string& t) {
        std::set<std::string> out;
        std::regex re("--[a-z][a-z0-9-]*");
        for (auto it = std::sregex_iterator(t.begin(), t.end(), re); it != std::sregex_iterator(); ++it) out.insert(it->str());
        return out;
    };
    EXPECT_EQ(longOptions(help.out), longOptions(synopsis)) << help.out << "\n" << synopsis;
    RunResult v = oamtest::Run(BinaryDir() + "/oam-sim", {"--version"}, 10000);
    EXPECT_EQ(v.exitCode, 0);
    EXPECT_EQ(v.out.rfind("oam-sim ", 0), 0u) << v.out;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SimStartup,
    ::testing::Values(StartCase{"UnknownOption", {"--no-such-option"}, 2},
                      StartCase{"PortOutOfRange", {"--port", "70000"}, 2},
                      StartCase{"MissingConfig", {"--config", "/nonexistent/site.json", "--no-alarms"}, 1},
                      StartCase{"BadBindAddress", {"--bind", "not-an-address", "--port", "0", "--no-alarms"}, 1},
                      StartCase{"UnknownSiteKey", {}, 1,
                                R"({"users":[{"user":"a","password":"b"}],"stations":[],"stations_typo":[]})",
                                "config: unknown key \"stations_typo\""},
                      StartCase{"UnknownDeviceKey", {}, 1,
                                R"({"users":[{"user":"a","password":"b"}],"stations":[{"id":"S","name":"s",)"
                                R"("devices":[{"id":1,"nmae":"d","name":"d"}]}]})",
                                "stations[0].devices[0]: unknown key \"nmae\""},
                      StartCase{"UnknownRangeKey", {}, 1,
                                R"({"users":[{"user":"a","password":"b"}],"stations":[{"id":"S","name":"s",)"
                                R"("parameters":{"C":{"value":1,"maxi":3}}}]})",
                                "stations[0].parameters.C: unknown key \"maxi\""},
                      StartCase{"NoUsers", {}, 1, R"({"users":[],"stations":[]})", "users: no users"}),
    [](const ::testing::TestParamInfo<StartCase>& i) { return std::string(i.param.name); });

}  // namespace
