// The oamctl binary against oam-sim: exit codes, one-line errors and the
// --json output, checked against the simulator's site file.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>

#include "FakeServer.h"
#include "SimConfig.h"
#include "SimHarness.h"
#include "udp_peers.h"
#include "Wire.h"

using namespace simtest;
using nlohmann::json;

namespace {

// A loopback port that nobody listens on.
unsigned short DeadPort() {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    ::close(fd);
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
        dir = TempDir();
    }
    void TearDown() override {
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }
    RunResult Ctl(std::vector<std::string> args, int limitMs = 30000) {
        std::vector<std::string> full{"--port", std::to_string(sim->Port()), "--timeout-ms", "5000"};
        full.insert(full.end(), args.begin(), args.end());
        return simtest::Run(BinaryDir() + "/oamctl", full, limitMs);
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

struct ExitCase {
    const char* name;
    std::vector<std::string> args;  // "{dir}" is replaced by a fresh directory, "{dead}" by a closed port
    int exitCode;
};

void PrintTo(const ExitCase& c, std::ostream* os) {
    *os << c.name;
}

class OamctlExit : public Oamctl, public ::testing::WithParamInterface<ExitCase> {};

TEST_P(OamctlExit, CodeAndOneLineError) {
    std::vector<std::string> args;
    for (std::string a : GetParam().args) {
        if (a == "{dir}") a = dir;
        if (a == "{dead}") a = std::to_string(DeadPort());
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
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, OamctlExit,
    ::testing::Values(
        ExitCase{"Help", {"--help"}, 0}, ExitCase{"NoCommand", {}, 2}, ExitCase{"UnknownCommand", {"frobnicate"}, 2},
        ExitCase{"MissingArgument", {"get", "S1"}, 2}, ExitCase{"ValueNotANumber", {"set", "S1", "Contrast", "abc"}, 2},
        ExitCase{"NothingListening", {"--port", "{dead}", "stations"}, 3},
        ExitCase{"WrongPassword", {"--password", "wrong", "stations"}, 4},
        ExitCase{"NotLoggedIn", {"--no-login", "stations"}, 4}, ExitCase{"UnknownParameter", {"get", "S1", "NoSuch"}, 4},
        ExitCase{"UnknownStation", {"get", "NOPE", "Contrast"}, 4},
        ExitCase{"ValueOutOfRange", {"set", "S1", "Contrast", "500"}, 4},
        ExitCase{"UnknownControl", {"control", "S1", "Explode", "1"}, 4},
        ExitCase{"DevicesOfUnknownStation", {"devices", "NOPE"}, 4},
        ExitCase{"RawCommandRefused", {"send", "S1", "Explode"}, 4},
        ExitCase{"RawCommandAccepted", {"send", "S1", "Get", "Contrast=;"}, 0},
        ExitCase{"UploadMissingFile", {"upload", "S1", "/nonexistent/oamctl-test.txt"}, 5},
        ExitCase{"DownloadIntoMissingDir", {"download", "S1", "x.txt", "--dir", "/nonexistent/dir"}, 5},
        ExitCase{"DownloadUnknownFile", {"download", "S1", "never-there.txt", "--dir", "{dir}"}, 4},
        ExitCase{"AlarmsNoneInTime", {"alarms", "--peer", "127.0.2.250", "-n", "1", "--wait", "0.3"}, 6},
        ExitCase{"UdpRecvNoneInTime", {"udp", "recv", "--bind", "127.0.0.1", "-n", "1", "--wait", "0.2"}, 6}),
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
    int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    socklen_t len = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    RunResult s = Ctl({"udp", "send", "127.0.0.1", std::to_string(ntohs(a.sin_port)), "hello datagram", "--bind", "127.0.0.1"});
    EXPECT_EQ(s.exitCode, 0) << s.err;
    char buf[100] = {0};
    timeval tv{5, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
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
        ::sendto(fd, msg.data(), msg.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
    t.join();
    ::close(fd);
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
    RunResult r = simtest::Run(BinaryDir() + "/oamctl", args, 30000);
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
        oam_test::UdpRecorder probe("127.0.0.1", 0);  // a free port, released again
        ASSERT_TRUE(probe.ok());
        port = probe.port();
    }
    std::atomic<bool> flooded{false};
    RunResult r;
    std::thread t([&] {
        r = simtest::Run(BinaryDir() + "/oamctl",
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
        oam_test::UdpSender sender;
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
