// The oamctl binary against oam-sim: exit codes, one-line errors and the
// --json output, checked against the simulator's site file.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>

#include "FakeServer.h"
#include "SimConfig.h"
#include "SimHarness.h"
#include "UdpPeers.h"
#include "Wire.h"
#include "TestNet.h"
#include "TestSystem.h"

using namespace oamtest;
using nlohmann::json;

namespace {

// A loopback port that nobody listens on.
unsigned short DeadPort() {
    int fd = static_cast<int>(::socket(AF_INET, SOCK_STREAM, 0));
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    oamtest::net::Close(fd);
    return ntohs(a.sin_port);
}

std::string ReadFile(const std::string& p) {
    std::ifstream in(p, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

class Oamctl : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        sim = new SimProcess(SimOptions{{"--file-timeout-ms", "2000"}, "127.0.2.4", true});
        std::string err;
        if (!sim->Start(err)) {
            delete sim;
            sim = nullptr;
            FAIL() << err;
        }
        site = new oamsim::SimConfig(oamsim::LoadConfig(BinaryDir() + "/oam-sim-default-config.json"));
    }
    static void TearDownTestSuite() {
        delete sim;
        sim = nullptr;
        delete site;
        site = nullptr;
    }
    void SetUp() override {
        ASSERT_NE(sim, nullptr);
        dir = MakeTempDir("oamsim-test");
    }
    void TearDown() override {
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }
    RunResult Ctl(std::vector<std::string> args, int limitMs = 30000) {
        std::vector<std::string> full{"--port", std::to_string(sim->Port()), "--timeout-ms", "5000"};
        full.insert(full.end(), args.begin(), args.end());
        return oamtest::Run(BinaryDir() + "/oamctl", full, limitMs);
    }
    json Json(std::vector<std::string> args) {
        args.insert(args.begin(), "--json");
        RunResult r = Ctl(args);
        EXPECT_EQ(r.exitCode, 0) << r.err;
        try {
            return json::parse(r.out);
        } catch (const std::exception& e) {
            ADD_FAILURE() << "not JSON: " << r.out;
            return json();
        }
    }

    static SimProcess* sim;
    static oamsim::SimConfig* site;
    std::string dir;
};

SimProcess* Oamctl::sim = nullptr;
oamsim::SimConfig* Oamctl::site = nullptr;

// Loopback peers that are not a management server, one per way of failing.
struct NotAServer {
    const char* name;
    oamtest::Action action;
};
const NotAServer kNotAServers[] = {
    {"{http}", oamtest::Action::reply("HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\nConnection: close\r\n\r\n")},
    {"{garbage}", oamtest::Action::reply("\x01\x02 not;the=protocol\x7f\nsecond line")},
    {"{closes}", oamtest::Action::close()},
    {"{resets}", oamtest::Action::reset()},
    {"{silent}", oamtest::Action::none()},
};

struct ExitCase {
    const char* name;
    // "{dir}" is replaced by a fresh directory (also inside an argument),
    // "{dead}" by a closed port, the names of kNotAServers by their ports.
    std::vector<std::string> args;
    int exitCode;
    const char* says = "";  // in the error line
};

void PrintTo(const ExitCase& c, std::ostream* os) {
    *os << c.name;
}

class OamctlExit : public Oamctl, public ::testing::WithParamInterface<ExitCase> {};

// What Wine does differently from Windows, for the cases it shows in.
const std::map<std::string, const char*> kNotUnderWine = {
    {"NameDoesNotResolve", "Wine's gethostbyname gives an address for a name that does not resolve"},
};

const std::map<std::string, const char*> kNotOnWindows = {
    {"BackslashInDownloadName", "'\\' separates directories on Windows: the name sent is the part after it"},
};

TEST_P(OamctlExit, CodeAndOneLineError) {
    auto wine = kNotUnderWine.find(GetParam().name);
    if (wine != kNotUnderWine.end()) OAM_SKIP_UNDER_WINE(wine->second);
    auto windows = kNotOnWindows.find(GetParam().name);
    if (oamtest::kWindows && windows != kNotOnWindows.end()) OAM_SKIP_ON_WINDOWS(windows->second);
    std::vector<std::string> args;
    std::vector<std::unique_ptr<oamtest::FakeServer>> peers;
    for (std::string a : GetParam().args) {
        size_t at = a.find("{dir}");
        if (at != std::string::npos) a.replace(at, 5, dir);
        if (a == "{dead}") a = std::to_string(DeadPort());
        for (const NotAServer& n : kNotAServers) {
            if (a != n.name) continue;
            peers.push_back(std::make_unique<oamtest::FakeServer>(std::vector<oamtest::Action>{}, n.action));
            a = std::to_string(peers.back()->port());
        }
        args.push_back(a);
    }
    RunResult r = Ctl(args);
    EXPECT_EQ(r.exitCode, GetParam().exitCode) << "stdout: " << r.out << "\nstderr: " << r.err;
    if (GetParam().exitCode != 0) {
        EXPECT_FALSE(r.err.empty());
        // The error is the last line on stderr, one line, after any notes.
        ASSERT_EQ(r.err.back(), '\n');
        size_t start = r.err.rfind('\n', r.err.size() - 2);
        std::string last = r.err.substr(start == std::string::npos ? 0 : start + 1);
        EXPECT_EQ(last.rfind("oamctl: ", 0), 0u) << r.err;
        EXPECT_GT(last.size(), 12u) << r.err;
        std::string says = GetParam().says;
        size_t at = says.find("{dir}");
        if (at != std::string::npos) says.replace(at, 5, dir);
        EXPECT_NE(last.find(says), std::string::npos) << r.err;
        // Each cause has its own words: a closed or reset connection is no time-out.
        if (GetParam().exitCode == 3 && std::string(GetParam().name) != "ServerSilent") {
            EXPECT_EQ(last.find("within"), std::string::npos) << r.err;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, OamctlExit,
    ::testing::Values(
        ExitCase{"Help", {"--help"}, 0}, ExitCase{"Version", {"--version"}, 0},
        ExitCase{"NoCommand", {}, 2, "no command given; the commands are login, stations"},
        ExitCase{"UnknownCommand", {"frobnicate"}, 2, "unknown command 'frobnicate'; the commands are login, stations"},
        ExitCase{"UnknownOption", {"stations", "--frobnicate"}, 2, "--frobnicate"},
        ExitCase{"MissingArgument", {"get", "S1"}, 2}, ExitCase{"ValueNotANumber", {"set", "S1", "Contrast", "abc"}, 2},
        // Names the protocol cannot carry are refused before anything is sent.
        ExitCase{"SemicolonInStation", {"get", "S;1", "Contrast"}, 2, "station 'S;1' contains ';'"},
        ExitCase{"EqualsInParameter", {"set", "S1", "Con=trast", "1"}, 2, "parameter 'Con=trast' contains '='"},
        ExitCase{"SlashInStation", {"devices", "S1/x"}, 2, "contains '/', but the server takes a bare name"},
        ExitCase{"ControlCharInControl", {"control", "S1", "Zo\tom", "1"}, 2, "contains \\x09"},
        ExitCase{"SemicolonInUploadName", {"upload", "S1", "{dir}/we ird;name=x.txt"}, 2, "file name 'we ird;name=x.txt'"},
        ExitCase{"BackslashInDownloadName", {"download", "S1", "a\\b.txt", "--dir", "{dir}"}, 2, "contains '\\'"},
        ExitCase{"SemicolonInRawCommand", {"send", "S1", "Get;CMD=Set"}, 2, "command 'Get;CMD=Set'"},
        ExitCase{"SemicolonInOamId", {"alarms", "--oam-id", "a;b", "-n", "1"}, 2, "OamId 'a;b'"},
        // Transport failures say their cause; one wording for a reply that is not the protocol.
        ExitCase{"NothingListening", {"--port", "{dead}", "stations"}, 3, "Connection refused"},
        ExitCase{"NameDoesNotResolve", {"--host", "no_such!host", "stations"}, 3, "the host name does not resolve"},
        ExitCase{"HttpListener", {"--port", "{http}", "stations"}, 3,
                 "does not speak the OAM protocol; it answered \"HTTP/1.1 400 Bad Request\""},
        ExitCase{"GarbageReply", {"--port", "{garbage}", "get", "S1", "Contrast"}, 3,
                 "does not speak the OAM protocol; it answered \"\\x01\\x02 not;the=protocol\\x7f\""},
        ExitCase{"GarbageToRawCommand", {"--port", "{garbage}", "--no-login", "send", "S1", "Get"}, 3, "does not speak"},
        ExitCase{"ServerClosesAtOnce", {"--port", "{closes}", "stations"}, 3, "closed the connection without replying"},
        ExitCase{"ServerResets", {"--port", "{resets}", "stations"}, 3, "reset the connection without replying"},
        ExitCase{"ServerSilent", {"--port", "{silent}", "--timeout-ms", "300", "login"}, 3, "no reply within 0.3 s"},
        ExitCase{"TimeoutZero", {"--timeout-ms", "0", "stations"}, 2},
        ExitCase{"ConnectTimeoutNegative", {"--connect-timeout-ms", "-5", "stations"}, 2},
        ExitCase{"ConnectTimeoutChosen", {"--connect-timeout-ms", "2000", "stations"}, 0},
        ExitCase{"WatchIntervalZero", {"watch", "--interval", "0"}, 2},
        ExitCase{"WrongPassword", {"--password", "wrong", "stations"}, 4},
        ExitCase{"NotLoggedIn", {"--no-login", "stations"}, 4}, ExitCase{"UnknownParameter", {"get", "S1", "NoSuch"}, 4},
        ExitCase{"UnknownStation", {"get", "NOPE", "Contrast"}, 4},
        ExitCase{"ValueOutOfRange", {"set", "S1", "Contrast", "500"}, 4},
        ExitCase{"UnknownControl", {"control", "S1", "Explode", "1"}, 4},
        ExitCase{"DevicesOfUnknownStation", {"devices", "NOPE"}, 4},
        ExitCase{"RawCommandRefused", {"send", "S1", "Explode"}, 4},
        ExitCase{"RawCommandAccepted", {"send", "S1", "Get", "Contrast=;"}, 0},
        ExitCase{"UploadMissingFile", {"upload", "S1", "{dir}/missing/oamctl-test.txt"}, 5,
                 "cannot read {dir}/missing/oamctl-test.txt: No such file or directory"},
        ExitCase{"UploadADirectory", {"upload", "S1", "{dir}"}, 5, "Is a directory"},
        ExitCase{"UploadLevelAboveTheRange", {"upload", "S1", "{dir}/x.txt", "--level", "13"}, 2,
                 "--level: Value 13 not in range 1 to 12"},
        ExitCase{"UploadLevelZero", {"upload", "S1", "{dir}/x.txt", "--level", "0"}, 2, "not in range 1 to 12"},
        ExitCase{"DownloadIntoMissingDir", {"download", "S1", "x.txt", "--dir", "/nonexistent/dir"}, 5,
                 "cannot write into /nonexistent/dir: No such file or directory"},
        ExitCase{"DownloadUnknownFile", {"download", "S1", "never-there.txt", "--dir", "{dir}"}, 4},
        ExitCase{"AlarmsNoneInTime", {"alarms", "--peer", "127.0.2.250", "-n", "1", "--wait", "0.3"}, 6,
                 "received 0 of 1 alarms within 0.3 s"},
        ExitCase{"UdpRecvNoneInTime", {"udp", "recv", "--bind", "127.0.0.1", "-n", "1", "--wait", "0.2"}, 6,
                 "received 0 of 1 datagrams within 0.2 s"},
        // -n means the same for both: without it they run until stopped, here by --wait.
        ExitCase{"AlarmsUnlimitedUntilWait", {"alarms", "--peer", "127.0.2.250", "--wait", "0.3"}, 0},
        ExitCase{"UdpRecvUnlimitedUntilWait", {"udp", "recv", "--bind", "127.0.0.1", "--wait", "0.3"}, 0}),
    [](const ::testing::TestParamInfo<ExitCase>& i) { return std::string(i.param.name); });

TEST_F(Oamctl, JsonStationsAndDevicesMatchTheSite) {
    json st = Json({"stations"});
    ASSERT_EQ(st["stations"].size(), site->stations.size());
    for (size_t i = 0; i < site->stations.size(); ++i) {
        EXPECT_EQ(st["stations"][i]["id"], site->stations[i].id);
        EXPECT_EQ(st["stations"][i]["name"], site->stations[i].name);
        EXPECT_EQ(st["stations"][i]["value"], site->stations[i].value);
    }
    const oamsim::Station& s = site->stations[0];
    json dv = Json({"devices", s.id});
    EXPECT_EQ(dv["station"], s.id);
    EXPECT_EQ(dv["name"], s.name);
    ASSERT_EQ(dv["devices"].size(), s.devices.size());
    for (size_t d = 0; d < s.devices.size(); ++d) {
        EXPECT_EQ(dv["devices"][d]["id"], s.devices[d].id);
        EXPECT_EQ(dv["devices"][d]["name"], s.devices[d].name);
        ASSERT_EQ(dv["devices"][d]["ptz"].size(), s.devices[d].ptz.size());
        for (size_t p = 0; p < s.devices[d].ptz.size(); ++p) {
            EXPECT_EQ(dv["devices"][d]["ptz"][p]["id"], s.devices[d].ptz[p].id);
            EXPECT_EQ(dv["devices"][d]["ptz"][p]["name"], s.devices[d].ptz[p].name);
        }
    }
}

TEST_F(Oamctl, HumanOutputIsATableAndATree) {
    RunResult st = Ctl({"stations"});
    ASSERT_EQ(st.exitCode, 0) << st.err;
    std::istringstream lines(st.out);
    std::string heading, rule;
    std::getline(lines, heading);
    std::getline(lines, rule);
    EXPECT_EQ(heading.rfind("STATION", 0), 0u);
    EXPECT_EQ(rule.find_first_not_of("- "), std::string::npos);
    // Columns line up: every station's name starts where NAME does.
    size_t nameCol = heading.find("NAME");
    for (const auto& s : site->stations) EXPECT_NE(st.out.find(s.name), std::string::npos);
    std::string row;
    while (std::getline(lines, row) && row.find("station") == std::string::npos) {
        const oamsim::Station* match = nullptr;
        for (const auto& s : site->stations)
            if (row.rfind(s.id + " ", 0) == 0) match = &s;
        ASSERT_NE(match, nullptr) << row;
        EXPECT_EQ(row.substr(nameCol, match->name.size()), match->name) << row;
    }

    RunResult dv = Ctl({"devices", site->stations[0].id});
    ASSERT_EQ(dv.exitCode, 0) << dv.err;
    size_t ptz = 0;
    for (const auto& d : site->stations[0].devices) {
        EXPECT_NE(dv.out.find("device " + std::to_string(d.id)), std::string::npos);
        ptz += d.ptz.size();
    }
    size_t shown = 0, at = 0;
    while ((at = dv.out.find("-- ptz ", at)) != std::string::npos) ++shown, ++at;
    EXPECT_EQ(shown, ptz);
    EXPECT_NE(dv.out.find("`-- device"), std::string::npos) << "the last device closes the tree";
}

TEST_F(Oamctl, JsonParameterReadSetControlAndRefusal) {
    json before = Json({"get", "S2", "IrLevel"});
    EXPECT_EQ(before["value"], site->stations[1].parameters.at("IrLevel").value);
    Json({"set", "S2", "IrLevel", "4"});
    EXPECT_EQ(Json({"get", "S2", "IrLevel"})["value"], 4);
    json c = Json({"control", "S2", "Wiper", "1"});
    EXPECT_EQ(c["command"], "Control");

    RunResult r = Ctl({"--json", "set", "S2", "IrLevel", "99"});
    EXPECT_EQ(r.exitCode, 4);
    json err = json::parse(r.out);
    EXPECT_EQ(err["exit"], 4);
    EXPECT_GT(err["returncode"].get<int>(), 0);
    EXPECT_NE(err["error"].get<std::string>().find("IrLevel must be"), std::string::npos) << err.dump();

    json raw = Json({"send", "S2", "Get", "Brightness=;"});
    EXPECT_EQ(raw["returncode"], 0);
    EXPECT_EQ(raw["pairs"]["Brightness"], std::to_string(site->stations[1].parameters.at("Brightness").value));
}

TEST_F(Oamctl, JsonUploadAndDownloadKeepTheDigest) {
    std::string content;
    for (int i = 0; i < 3000; ++i) content += "line " + std::to_string(i * 7919 % 1000) + "\n";
    {
        std::ofstream out(dir + "/notes.txt", std::ios::binary);
        out << content;
    }
    std::string md5 = oamsim::Md5Hex(content.data(), content.size());
    json up = Json({"upload", "S3", dir + "/notes.txt"});
    EXPECT_EQ(up["md5"], md5);
    EXPECT_EQ(up["bytes"], content.size());
    EXPECT_EQ(ReadFile(sim->StorageDir() + "/S3/notes.txt"), content);
    // At a chosen level: another archive, the same file stored.
    json fast = Json({"upload", "S2", dir + "/notes.txt", "--level", "1"});
    EXPECT_EQ(fast["md5"], md5);
    EXPECT_EQ(ReadFile(sim->StorageDir() + "/S2/notes.txt"), content);

    std::filesystem::create_directory(dir + "/down");
    json down = Json({"download", "S3", "notes.txt", "--dir", dir + "/down"});
    EXPECT_EQ(down["md5"], md5);
    EXPECT_EQ(ReadFile(dir + "/down/notes.txt"), content);
}

TEST_F(Oamctl, VerboseShowsTheLibraryTrace) {
    RunResult r = Ctl({"-v", "get", "S1", "Contrast"});
    ASSERT_EQ(r.exitCode, 0);
    EXPECT_NE(r.err.find("Send Command:SESSIONID=1;STATIONID=S1;CMD=Get;Contrast=;"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("Return:SESSIONID=1;RETURNCODE=0;"), std::string::npos) << r.err;
    RunResult quiet = Ctl({"get", "S1", "Contrast"});
    EXPECT_TRUE(quiet.err.empty()) << quiet.err;
}

TEST_F(Oamctl, TracesAndLogFilesMaskThePassword) {
    // The site's second user, so that a leak cannot hide behind "admin".
    const oamsim::User& u = site->users.at(1);
    RunResult r = oamtest::Run(BinaryDir() + "/oamctl",
                               {"--port", std::to_string(sim->Port()), "-v", "--user", u.name, "--password", u.password, "login"},
                               30000, {"OAMSDK_LOG_DIR=" + dir});
    ASSERT_EQ(r.exitCode, 0) << r.err;  // the server got the real one
    std::string log = ReadFile(dir + "/oamsdk-d.log");
    for (const std::string& text : {r.err, log}) {
        EXPECT_NE(text.find("CMD=Login;User=" + u.name + ";Password=***;"), std::string::npos) << text;
        EXPECT_EQ(text.find(u.password), std::string::npos) << text;
    }
}

TEST_F(Oamctl, UsageErrorsAndVersionAsJson) {
    RunResult bad = Ctl({"--json", "frobnicate"});
    EXPECT_EQ(bad.exitCode, 2);
    json err = json::parse(bad.out);
    EXPECT_EQ(err["exit"], 2);
    EXPECT_NE(err["error"].get<std::string>().find("unknown command 'frobnicate'"), std::string::npos) << bad.out;

    json v = Json({"--version"});
    // The name the system loads it by.
    EXPECT_EQ(v["soname"].get<std::string>().rfind(oamtest::kWindows ? "liboamsdk.dll" : "liboamsdk.so.", 0), 0u) << v.dump();
    EXPECT_FALSE(v["library"].get<std::string>().empty());
    EXPECT_EQ(v["library"], v["oamctl"]);
    RunResult text = Ctl({"--version"});
    EXPECT_NE(text.out.find(v["soname"].get<std::string>()), std::string::npos) << text.out;
}

TEST_F(Oamctl, SubcommandHelpShowsTheGlobalOptions) {
    for (std::vector<std::string> args : {std::vector<std::string>{"get", "--help"}, {"udp", "recv", "--help"}}) {
        RunResult r = Ctl(args);
        EXPECT_EQ(r.exitCode, 0);
        for (const char* opt : {"--host", "--port", "--password", "--timeout-ms", "--json", "Exit codes"})
            EXPECT_NE(r.out.find(opt), std::string::npos) << opt << " in\n" << r.out;
    }
}

TEST_F(Oamctl, NothingIsSentForNamesTheProtocolCannotCarry) {
    // An empty file whose name would smuggle a pair into the request.
    std::string name = "we ird;name=x.txt";
    { std::ofstream out(dir + "/" + name); }
    RunResult r = Ctl({"upload", "S1", dir + "/" + name});
    EXPECT_EQ(r.exitCode, 2) << r.err;
    EXPECT_FALSE(std::filesystem::exists(sim->StorageDir() + "/S1/we ird"));
}

TEST_F(Oamctl, DownloadIntoAnUnwritableDirectoryAsksTheServerNothing) {
    if (oamtest::kWindows) OAM_SKIP_ON_WINDOWS("needs /sys, a directory that refuses new files even to root");
    // /sys refuses new files even to root; elsewhere the test cannot run.
    {
        std::ofstream probe("/sys/oamctl-probe");
        if (probe) {
            probe.close();
            std::filesystem::remove("/sys/oamctl-probe");
            GTEST_SKIP() << "/sys is writable here";
        }
    }
    RunResult r = Ctl({"download", "S1", "never-asked-for.txt", "--dir", "/sys"});
    EXPECT_EQ(r.exitCode, 5) << r.err;
    EXPECT_NE(r.err.find("cannot write into /sys: "), std::string::npos) << r.err;
    // A request would show as a refusal in the simulator's log.
    EXPECT_EQ(sim->Log().find("never-asked-for"), std::string::npos) << sim->Log();
}

TEST(OamctlLimits, AnUploadOverTheServersLimitIsRefusedAsTooLarge) {
    // However well it packs: 2 MiB of zeros deflate to a few KiB.
    SimProcess small(SimOptions{{"--max-file-mb", "1"}, "", false});
    std::string err;
    ASSERT_TRUE(small.Start(err)) << err;
    std::string dir = MakeTempDir("oamsim-test");
    { std::ofstream(dir + "/zeros.bin", std::ios::binary) << std::string(2u << 20, '\0'); }
    RunResult r = oamtest::Run(BinaryDir() + "/oamctl",
                               {"--port", std::to_string(small.Port()), "--json", "upload", "S1", dir + "/zeros.bin"});
    std::filesystem::remove_all(dir);
    EXPECT_EQ(r.exitCode, 4) << r.err;
    json j = json::parse(r.out);
    EXPECT_EQ(j["returncode"], 9);
    EXPECT_NE(j["error"].get<std::string>().find("file too large: 2097152 bytes, the limit is 1 MiB"), std::string::npos)
        << r.out;
}

TEST_F(Oamctl, AlarmsArriveAsJsonLines) {
    // Registered by the library's first pass; alarms go out on demand.
    RunResult r;
    std::thread t([&] { r = Ctl({"--json", "alarms", "--peer", "127.0.2.4", "--oam-id", "ctl", "-n", "3", "--wait", "20"}); });
    bool registered = WaitFor([&] { return sim->Log().find("OamId=ctl") != std::string::npos; }, 15000);
    if (registered) sim->Control("alarm mixed x3");
    t.join();
    ASSERT_TRUE(registered) << sim->Log();
    ASSERT_EQ(r.exitCode, 0) << r.err;
    std::istringstream lines(r.out);
    std::string line;
    int n = 0;
    while (std::getline(lines, line)) {
        json a = json::parse(line);
        EXPECT_TRUE(a["type"] == 0 || a["type"] == 1);
        EXPECT_EQ(a.contains("object"), a["type"] == 1);
        EXPECT_FALSE(a["text3"].get<std::string>().empty());
        ++n;
    }
    EXPECT_EQ(n, 3);
}

TEST_F(Oamctl, UdpSendAndReceive) {
    // send: a plain socket checks what arrives.
    int fd = static_cast<int>(::socket(AF_INET, SOCK_DGRAM, 0));
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    socklen_t len = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    RunResult s = Ctl({"udp", "send", "127.0.0.1", std::to_string(ntohs(a.sin_port)), "hello datagram", "--bind", "127.0.0.1"});
    EXPECT_EQ(s.exitCode, 0) << s.err;
    char buf[100] = {0};
    pollfd ready{};
    ready.fd = fd;
    ready.events = POLLIN;
    EXPECT_EQ(oamtest::net::Poll(&ready, 1, 5000), 1);
    EXPECT_EQ(::recv(fd, buf, sizeof buf, 0), 14);
    EXPECT_STREQ(buf, "hello datagram");

    // recv: datagrams to the port it reports, until its count.
    unsigned short port = DeadPort();
    RunResult r;
    std::atomic<bool> finished{false};
    std::thread t([&] {
        r = Ctl({"--json", "udp", "recv", "--bind", "127.0.0.1", "--listen-port", std::to_string(port), "-n", "2", "--wait", "20"});
        finished = true;
    });
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    // Until the receiver is bound the datagrams are lost: keep sending.
    for (int i = 0; i < 400 && !finished; ++i) {
        std::string msg = "ping " + std::to_string(i);
        ::sendto(fd, msg.data(), static_cast<int>(msg.size()), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
    t.join();
    oamtest::net::Close(fd);
    ASSERT_EQ(r.exitCode, 0) << r.err;
    std::istringstream lines(r.out);
    std::string line;
    int n = 0;
    while (std::getline(lines, line)) {
        json d = json::parse(line);
        EXPECT_EQ(d["text"].get<std::string>().rfind("ping ", 0), 0u);
        EXPECT_EQ(d["bytes"], d["text"].get<std::string>().size());
        ++n;
    }
    EXPECT_EQ(n, 2);
}

// ---- replies of another command ------------------------------------------------

// What a small host answers, whatever goes astray around it.
std::string HostAnswer(const std::string& request, int) {
    if (request.find("CMD=Login;") != std::string::npos) return "User=admin;";
    if (request.find("AllStation=;") != std::string::npos) return "AllStation=S1[Tm9ydGg=]1,S2[WWFyZA==]1;";
    if (request.find("StationTopo=;") != std::string::npos) return "StationTopo=3[R2F0ZQ==]<1[UGFu]>;";
    return "Contrast=42;";
}

struct AstrayCtlCase {
    const char* name;
    oamtest::Astray peer;
    std::vector<std::string> args;
    int exitCode;
    const char* output;  // on stdout (exit 0) or in the error line
};

void PrintTo(const AstrayCtlCase& c, std::ostream* os) {
    *os << c.name;
}

class OamctlAstray : public ::testing::TestWithParam<AstrayCtlCase> {};

// Strict by default: every result is the command's own reply, or exit 3
// with both session numbers; --no-strict-session keeps the designed reading.
TEST_P(OamctlAstray, OwnReplyOrTransportFailure) {
    const AstrayCtlCase& c = GetParam();
    oamtest::FakeServer server(oamtest::FakeServer::AstrayPeer(c.peer, &HostAnswer, 100));
    std::vector<std::string> args{"--port", std::to_string(server.port()), "--timeout-ms", "1000"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    RunResult r = oamtest::Run(BinaryDir() + "/oamctl", args, 30000);
    EXPECT_EQ(r.exitCode, c.exitCode) << "stdout: " << r.out << "\nstderr: " << r.err;
    EXPECT_NE((c.exitCode == 0 ? r.out : r.err).find(c.output), std::string::npos) << r.out << r.err;
}

INSTANTIATE_TEST_SUITE_P(
    Peers, OamctlAstray,
    ::testing::Values(
        AstrayCtlCase{"GetStaleFirst", oamtest::Astray::StaleFirst, {"get", "S1", "Contrast"}, 0, "Contrast = 42"},
        AstrayCtlCase{"GetStaleApart", oamtest::Astray::StaleApart, {"get", "S1", "Contrast"}, 0, "Contrast = 42"},
        AstrayCtlCase{"StationsStaleFirst", oamtest::Astray::StaleFirst, {"stations"}, 0, "2 stations"},
        AstrayCtlCase{"DevicesStaleApart", oamtest::Astray::StaleApart, {"devices", "S1"}, 0, "1 device"},
        AstrayCtlCase{"JsonGetStaleFirst", oamtest::Astray::StaleFirst, {"--json", "get", "S1", "Contrast"}, 0,
                      "\"value\":42"},
        AstrayCtlCase{"OnlyStaleReplies", oamtest::Astray::StaleOnly, {"get", "S1", "Contrast"}, 3,
                      "no reply for session 0 in time; the server answered session -1 instead"},
        // Every command, however it reads its result, fails the same way.
        AstrayCtlCase{"OnlyStaleStations", oamtest::Astray::StaleOnly, {"--no-login", "stations"}, 3,
                      "listing stations: no reply for session 0 in time; the server answered session -1 instead"},
        AstrayCtlCase{"OnlyStaleGet", oamtest::Astray::StaleOnly, {"--no-login", "get", "S1", "Contrast"}, 3,
                      "no reply for session 0"},
        AstrayCtlCase{"OnlyStaleSet", oamtest::Astray::StaleOnly, {"--no-login", "set", "S1", "Contrast", "5"}, 3,
                      "no reply for session 0"},
        AstrayCtlCase{"OnlyStaleSend", oamtest::Astray::StaleOnly, {"--no-login", "send", "S1", "Get", "Contrast=;"}, 3,
                      "no reply for session 0"},
        AstrayCtlCase{"OnlyStaleDevices", oamtest::Astray::StaleOnly, {"--no-login", "devices", "S1"}, 3,
                      "no reply for session 1"},
        AstrayCtlCase{"OnlyStaleDownload", oamtest::Astray::StaleOnly, {"--no-login", "download", "S1", "f.txt", "--dir", "/tmp"}, 3,
                      "no reply for session 0"},
        // The designed reading, asked for: the stale reply is taken.
        AstrayCtlCase{"LenientTakesTheStaleReply", oamtest::Astray::StaleOnly,
                      {"--no-strict-session", "--json", "send", "S1", "Get", "Contrast=;"}, 0,
                      "\"reply\":\"User=admin;\""}),
    [](const ::testing::TestParamInfo<AstrayCtlCase>& i) { return std::string(i.param.name); });

// ---- a printer that cannot keep up --------------------------------------------------

// A flood of alarms while nobody reads oamctl's output: the printer blocks
// on the full pipe, the small queue fills, and every alarm that finds it
// full is counted, reported on stderr at once and in the final document,
// and makes the exit code 7.
TEST_F(Oamctl, AlarmFloodAgainstAStalledPrinterCountsEveryDrop) {
    const unsigned kFlood = 3000;
    unsigned short port = 0;
    {
        oamtest::UdpRecorder probe("127.0.0.1", 0);  // a free port, released again
        ASSERT_TRUE(probe.ok());
        port = probe.port();
    }
    std::atomic<bool> flooded{false};
    RunResult r;
    std::thread t([&] {
        r = oamtest::Run(BinaryDir() + "/oamctl",
                         {"--json", "alarms", "--peer", "127.0.2.250", "--listen-port", std::to_string(port), "--queue",
                          "16", "-n", std::to_string(kFlood), "--wait", "20"},
                         40000, {}, [&](const std::string& err) { return !flooded || err.find("dropped") == std::string::npos; });
    });
    // Bound once the system lists the port (the library's socket may share
    // it, so a test bind would not tell).
    char local[24];
    std::snprintf(local, sizeof local, "00000000:%04X ", port);  // oamctl binds every interface
    bool bound = WaitFor([&] { return ReadFile("/proc/net/udp").find(local) != std::string::npos; }, 10000);
    if (bound) {
        oamtest::UdpSender sender;
        for (unsigned i = 1; i <= kFlood; ++i)
            sender.SendTo("127.0.0.1", port,
                          "ID=" + std::to_string(i) +
                              ";Text1=S1;DeviceID=3;Type=0;AlarmID=100;Text2=2026-01-01 00:00:00;Text3=motion on Gate;");
    }
    flooded = true;
    t.join();
    ASSERT_TRUE(bound);
    EXPECT_EQ(r.exitCode, 7) << r.err;
    EXPECT_NE(r.err.find("alarm queue full (16): 1 alarm dropped so far"), std::string::npos) << r.err;
    // One document per printed alarm, in order, then the error document.
    std::istringstream lines(r.out);
    std::string line;
    std::vector<json> docs;
    while (std::getline(lines, line)) docs.push_back(json::parse(line));
    ASSERT_FALSE(docs.empty());
    json last = docs.back();
    docs.pop_back();
    EXPECT_EQ(last["exit"], 7);
    uint64_t dropped = last["dropped"], printed = last["printed"], received = last["received"];
    EXPECT_GT(dropped, 0u);
    EXPECT_EQ(printed, docs.size());
    EXPECT_EQ(received, printed + dropped);
    EXPECT_LE(received, kFlood);
    for (size_t i = 1; i < docs.size(); ++i) EXPECT_LT(docs[i - 1]["id"].get<int>(), docs[i]["id"].get<int>());
    EXPECT_NE(r.err.find(std::to_string(dropped) + " of " + std::to_string(received) + " alarms dropped"),
              std::string::npos)
        << r.err;
}

}  // namespace

namespace {

// Progress of uploads and downloads: a bar on stderr only when asked for
// (stderr is a pipe here, never a terminal), JSON lines with --json.
struct ProgressCase {
    const char* name;
    std::vector<std::string> flags;
    bool bar;
    bool jsonLines;
};

void PrintTo(const ProgressCase& c, std::ostream* os) {
    *os << c.name;
}

class OamctlProgress : public Oamctl, public ::testing::WithParamInterface<ProgressCase> {};

TEST_P(OamctlProgress, ShownOnlyWhereItBelongs) {
    const ProgressCase& c = GetParam();
    std::string content(700 * 1024, '\0');
    unsigned x = 1;
    for (char& ch : content) ch = static_cast<char>((x = x * 1103515245u + 12345u) >> 16);
    const std::string name = std::string("progress-") + c.name + ".bin";
    {
        std::ofstream out(dir + "/" + name, std::ios::binary);
        out << content;
    }
    for (bool upload : {true, false}) {
        std::vector<std::string> args = c.flags;
        if (upload) {
            args.insert(args.end(), {"upload", "S2", dir + "/" + name});
        } else {
            std::filesystem::remove(dir + "/" + name);
            args.insert(args.end(), {"download", "S2", name, "--dir", dir});
        }
        RunResult r = Ctl(args);
        ASSERT_EQ(r.exitCode, 0) << r.err;
        const std::string what = (upload ? "upload " : "download ") + name;
        if (c.bar) {
            EXPECT_NE(r.err.find(what + " " + (upload ? "sending" : "receiving")), std::string::npos) << r.err;
            EXPECT_NE(r.err.find("100% 700.0 KiB / 700.0 KiB"), std::string::npos) << r.err;
            EXPECT_NE(r.err.find("/s  0:00 left"), std::string::npos) << r.err;
        } else {
            EXPECT_EQ(r.err.find('%'), std::string::npos) << r.err;
        }
        std::vector<json> lines;
        std::istringstream in(r.out);
        for (std::string l; std::getline(in, l);)
            if (l.front() == '{') lines.push_back(json::parse(l));
        if (!c.jsonLines) {
            EXPECT_LE(lines.size(), 1u) << r.out;
            continue;
        }
        ASSERT_GE(lines.size(), 5u) << r.out;
        std::vector<std::string> phases;
        for (size_t i = 0; i + 1 < lines.size(); ++i) {
            EXPECT_EQ(lines[i]["event"], "progress");
            EXPECT_EQ(lines[i]["what"], what);
            EXPECT_LE(lines[i]["done"].get<long long>(), lines[i]["total"].get<long long>());
            std::string ph = lines[i]["phase"];
            if (phases.empty() || phases.back() != ph) phases.push_back(ph);
        }
        const std::vector<std::string> expected =
            upload ? std::vector<std::string>{"packing", "sending"} : std::vector<std::string>{"receiving", "unpacking"};
        EXPECT_EQ(phases, expected);
        EXPECT_EQ(lines.back()[upload ? "uploaded" : "downloaded"], true);
    }
    EXPECT_EQ(ReadFile(dir + "/" + name), content);
}

INSTANTIATE_TEST_SUITE_P(Modes, OamctlProgress,
                         ::testing::Values(ProgressCase{"NotATerminal", {}, false, false},
                                           ProgressCase{"Asked", {"--progress"}, true, false},
                                           ProgressCase{"Quiet", {"--progress", "--quiet"}, false, false},
                                           ProgressCase{"JsonOnly", {"--json"}, false, false},
                                           ProgressCase{"JsonLines", {"--json", "--progress"}, false, true}),
                         [](const ::testing::TestParamInfo<ProgressCase>& i) { return std::string(i.param.name); });

// watch through a server that goes away and comes back on the same port,
// ended by Ctrl-C.
TEST(OamctlWatch, ReportsLossAndRestoreAndExitsZeroOnInterrupt) {
    OAM_SKIP_UNDER_WINE("a program started without a console gets no Ctrl-Break to end the watch");
    auto sim = std::make_unique<SimProcess>();
    std::string err;
    ASSERT_TRUE(sim->Start(err)) << err;
    const unsigned short port = sim->Port();
    int step = 0;
    RunResult r = RunWatched(
        BinaryDir() + "/oamctl", {"--port", std::to_string(port), "--json", "watch", "--interval", "0.2"}, 60000,
        [&](const RunResult& sofar) {
            if (step == 0 && sofar.out.find("\"event\":\"stations\"") != std::string::npos) {
                step = 1;
                sim->Stop();
            } else if (step == 1 && sofar.out.find("\"event\":\"lost\"") != std::string::npos) {
                step = 2;
                SimOptions again;
                again.port = port;
                sim = std::make_unique<SimProcess>(again);
                std::string e;
                if (!sim->Start(e)) ADD_FAILURE() << e;
            } else if (step == 2 && sofar.out.find("\"event\":\"restored\"") != std::string::npos) {
                return true;
            }
            return false;
        });
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(step, 2);
    std::vector<std::string> events;
    std::istringstream in(r.out);
    for (std::string l; std::getline(in, l);) {
        json j = json::parse(l);
        if (events.empty() || events.back() != j["event"]) events.push_back(j["event"]);
        if (j["event"] == "stations") {
            EXPECT_EQ(j["stations"][0]["id"], "S1");
        }
    }
    ASSERT_GE(events.size(), 5u) << r.out;
    EXPECT_EQ(std::vector<std::string>(events.begin(), events.begin() + 3),
              (std::vector<std::string>{"connected", "stations", "lost"}));
    EXPECT_EQ(events.back(), "restored");
    EXPECT_NE(std::find(events.begin(), events.end(), "reconnecting"), events.end());
}

}  // namespace
