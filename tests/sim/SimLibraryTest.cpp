// The library against oam-sim over loopback: log-in, the station and
// device queries, parameters, file round trips and concurrent channels,
// every value checked against the simulator's site file.
#include <gtest/gtest.h>

#include <stdlib.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <random>
#include <sstream>
#include <thread>

#include "SimConfig.h"
#include "SimHarness.h"
#include "oamsdk.h"
#include "TestSystem.h"

using namespace oamtest;

namespace {

oamsim::SimConfig Site() {
    return oamsim::LoadConfig(BinaryDir() + "/oam-sim-default-config.json");
}

// Every RLog line while a test runs: a session mismatch shows up here.
struct RLogCapture {
    std::mutex mutex;
    std::vector<std::string> lines;
    static void Hook(int, const char* line, void* user) {
        auto* c = static_cast<RLogCapture*>(user);
        std::lock_guard<std::mutex> lock(c->mutex);
        c->lines.push_back(line);
    }
    RLogCapture() { CFunction::SetSinkHook(CFunction::SinkR, &Hook, this); }
    ~RLogCapture() { CFunction::SetSinkHook(CFunction::SinkR, nullptr, nullptr); }
    bool Contains(const std::string& s) {
        std::lock_guard<std::mutex> lock(mutex);
        for (auto& l : lines)
            if (l.find(s) != std::string::npos) return true;
        return false;
    }
};

std::unique_ptr<CClientSocket> Connect(unsigned short port) {
    auto c = std::make_unique<CClientSocket>();
    if (!c->Create(port, "127.0.0.1")) return nullptr;
    DWORD ms = 5000;  // a lost reply fails the test quickly
    win::setsockopt(c->GetSocket(), SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&ms), sizeof ms);
    return c;
}

class SimLibrary : public ::testing::Test {
protected:
    void SetUp() override {
        std::string err;
        ASSERT_TRUE(sim.Start(err)) << err;
        chan = Connect(sim.Port());
        ASSERT_TRUE(chan);
    }
    void Login() { ASSERT_EQ(chan->SendCommand("", "Login", "User=admin;Password=admin;"), 0); }

    RLogCapture rlog;
    SimProcess sim;
    std::unique_ptr<CClientSocket> chan;
    oamsim::SimConfig site = Site();
};

struct LoginCase {
    const char* params;
    bool accepted;
};

void PrintTo(const LoginCase& c, std::ostream* os) {
    *os << c.params;
}

class SimLogin : public SimLibrary, public ::testing::WithParamInterface<LoginCase> {};

TEST_P(SimLogin, AcceptsOnlyConfiguredCredentials) {
    CString reply;
    int r = chan->SendCommand("", "Login", GetParam().params, reply);
    if (GetParam().accepted) {
        EXPECT_EQ(r, 0) << reply.GetString();
        EXPECT_GE(chan->GetAllStation(nullptr, 0), 1);
    } else {
        EXPECT_GT(r, 0);
        EXPECT_NE(std::string(reply.GetString()).find("Reason="), std::string::npos);
        // Refused: queries stay refused (a positive result is the code).
        CString r2;
        EXPECT_GT(chan->SendCommand("", "Get", "AllStation=;", r2), 0);
    }
    EXPECT_FALSE(rlog.Contains("Ret Session error"));
}

INSTANTIATE_TEST_SUITE_P(Credentials, SimLogin,
                         ::testing::Values(LoginCase{"User=admin;Password=admin;", true},
                                           LoginCase{"User=operator;Password=op-2024;", true},
                                           LoginCase{"user = admin ; password = admin ;", true},
                                           LoginCase{"User=admin;Password=Admin;", false},
                                           LoginCase{"User=ghost;Password=admin;", false},
                                           LoginCase{"", false}));

TEST_F(SimLibrary, StationListMatchesTheSite) {
    Login();
    int n = chan->GetAllStation(nullptr, 0);
    ASSERT_EQ(n, static_cast<int>(site.stations.size()));
    std::vector<STATION_STRUCT> list(static_cast<size_t>(n));
    ASSERT_EQ(chan->GetAllStation(list.data(), n), n);
    for (int i = 0; i < n; ++i) {
        EXPECT_EQ(std::string(list[i].StationID), site.stations[i].id);
        EXPECT_EQ(std::string(list[i].StationName), site.stations[i].name);
        EXPECT_EQ(list[i].StationValue, site.stations[i].value);
    }
    // A smaller maximum fills only that many.
    std::vector<STATION_STRUCT> two(2);
    EXPECT_EQ(chan->GetAllStation(two.data(), 1), 1);
    EXPECT_EQ(std::string(two[0].StationID), site.stations[0].id);
    EXPECT_FALSE(rlog.Contains("Ret Session error"));
}

TEST_F(SimLibrary, DeviceTreesMatchTheSite) {
    Login();
    for (const oamsim::Station& s : site.stations) {
        auto st = std::make_unique<STATION_STRUCT>();
        std::memset(st.get(), 0, sizeof *st);
        std::strncpy(st->StationID, s.id.c_str(), sizeof st->StationID - 1);
        int n = chan->GetDeviceInfo(st.get());
        ASSERT_EQ(n, static_cast<int>(std::min<size_t>(s.devices.size(), 16))) << s.id;
        ASSERT_EQ(st->DeviceCount, n);
        for (int d = 0; d < n; ++d) {
            const oamsim::Device& want = s.devices[static_cast<size_t>(d)];
            EXPECT_EQ(st->Device[d].DeviceID, want.id);
            EXPECT_EQ(std::string(st->Device[d].DeviceName), want.name);
            ASSERT_EQ(st->Device[d].PtzCount, static_cast<int>(std::min<size_t>(want.ptz.size(), 5)));
            for (int p = 0; p < st->Device[d].PtzCount; ++p) {
                EXPECT_EQ(st->Device[d].PtzDevice[p].PtzID, want.ptz[static_cast<size_t>(p)].id);
                EXPECT_EQ(std::string(st->Device[d].PtzDevice[p].PtzName), want.ptz[static_cast<size_t>(p)].name);
            }
        }
    }
    // An unknown station is the server's refusal: its code, nothing written.
    auto st = std::make_unique<STATION_STRUCT>();
    std::memset(st.get(), 0, sizeof *st);
    st->DeviceCount = 42;
    std::strcpy(st->StationID, "NOPE");
    EXPECT_GT(chan->GetDeviceInfo(st.get()), 0);
    EXPECT_EQ(st->DeviceCount, 42);
}

TEST_F(SimLibrary, ParametersReadSetAndControl) {
    Login();
    for (const oamsim::Station& s : site.stations) {
        for (const auto& [name, setting] : s.parameters) {
            EXPECT_EQ(chan->GetVpmParameterValue(s.id.c_str(), name.c_str()), setting.value) << s.id << " " << name;
            int next = setting.value == setting.max ? setting.min : setting.value + 1;
            EXPECT_EQ(chan->SetVpmParameterValue(s.id.c_str(), name.c_str(), next), 0);
            EXPECT_EQ(chan->GetVpmParameterValue(s.id.c_str(), name.c_str()), next);
            if (setting.max < INT32_MAX) {
                EXPECT_GT(chan->SetVpmParameterValue(s.id.c_str(), name.c_str(), setting.max + 1), 0);
                EXPECT_EQ(chan->GetVpmParameterValue(s.id.c_str(), name.c_str()), next) << "refused set changed it";
            }
        }
        for (const auto& [name, setting] : s.controls) {
            EXPECT_EQ(chan->SetVpmCtrlValue(s.id.c_str(), name.c_str(), setting.min == INT32_MIN ? 1 : setting.min), 0);
            EXPECT_GT(chan->SetVpmParameterValue(s.id.c_str(), name.c_str(), 0), 0) << "a control is no parameter";
        }
    }
    // Refusals: -1 for a read, the server's code for set and control.
    EXPECT_EQ(chan->GetVpmParameterValue("S1", "NoSuchParameter"), -1);
    int unknown = chan->SetVpmParameterValue("S1", "NoSuchParameter", 1);
    EXPECT_GT(unknown, 0);
    EXPECT_EQ(chan->SetVpmCtrlValue("S1", "NoSuchControl", 1), unknown);
    EXPECT_GT(chan->SetVpmParameterValue("NOPE", "Contrast", 1), 0);
    EXPECT_NE(chan->SetVpmParameterValue("NOPE", "Contrast", 1), unknown);
    EXPECT_FALSE(rlog.Contains("Ret Session error"));
}

// Uploads and downloads of files of many shapes, through the module
// directory.
struct FileCase {
    const char* name;
    size_t size;
    int kind;  // 0 text, 1 random, 2 zeros
};

void PrintTo(const FileCase& c, std::ostream* os) {
    *os << c.name;
}

class SimFiles : public SimLibrary, public ::testing::WithParamInterface<FileCase> {
protected:
    void SetUp() override {
        SimLibrary::SetUp();
        dir = MakeTempDir("oamsim-test");
        oamtest::SetEnv("OAMSDK_MODULE_DIR", dir.c_str());
    }
    void TearDown() override {
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }
    static std::string Read(const std::string& p) {
        std::ifstream in(p, std::ios::binary);
        std::ostringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }
    std::string dir;
};

TEST_P(SimFiles, RoundTripThroughTheServer) {
    Login();
    const FileCase& c = GetParam();
    std::string content(c.size, '\0');
    std::mt19937 rng(static_cast<unsigned>(c.size));
    for (size_t i = 0; i < c.size; ++i)
        content[i] = c.kind == 0 ? "config line\n"[i % 12] : c.kind == 1 ? static_cast<char>(rng()) : '\0';
    std::string file = std::string(c.name) + ".dat";
    {
        std::ofstream out(dir + "/" + file, std::ios::binary);
        out << content;
    }
    ASSERT_EQ(chan->SendFile("S2", file.c_str()), 0);
    // What the server stored is the file itself.
    EXPECT_EQ(Read(sim.StorageDir() + "/S2/" + file), content);
    std::filesystem::remove(dir + "/" + file);
    ASSERT_EQ(chan->ReceiveFile("S2", file.c_str()), 0);
    EXPECT_EQ(Read(dir + "/" + file), content);
    // Files are kept per station.
    EXPECT_EQ(chan->ReceiveFile("S1", file.c_str()), 7);
    EXPECT_FALSE(rlog.Contains("Ret Session error"));
}

INSTANTIATE_TEST_SUITE_P(Shapes, SimFiles,
                         ::testing::Values(FileCase{"Empty", 0, 0}, FileCase{"OneByte", 1, 1}, FileCase{"Text", 5000, 0},
                                           FileCase{"RandomSmall", 700, 1}, FileCase{"Random200k", 200000, 1},
                                           FileCase{"Zeros1M", 1 << 20, 2}),
                         [](const ::testing::TestParamInfo<FileCase>& i) { return std::string(i.param.name); });

TEST_F(SimLibrary, DownloadOfAnUnknownFileIsRefusedWithSeven) {
    Login();
    std::string dir = MakeTempDir("oamsim-test");
    oamtest::SetEnv("OAMSDK_MODULE_DIR", dir.c_str());
    EXPECT_EQ(chan->ReceiveFile("S1", "never-uploaded.txt"), 7);
    EXPECT_FALSE(std::filesystem::exists(dir + "/never-uploaded.txt"));
    // The channel goes on working after the refusal.
    EXPECT_EQ(chan->GetAllStation(nullptr, 0), static_cast<int>(site.stations.size()));
    std::filesystem::remove_all(dir);
}

TEST_F(SimLibrary, SeveralChannelsInThreadsKeepTheirOwnSessions) {
    constexpr int kThreads = 4, kRounds = 25;
    std::atomic<int> good{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            auto c = Connect(sim.Port());
            if (!c || c->SendCommand("", "Login", "User=admin;Password=admin;") != 0) return;
            // Each thread owns one station's parameter so values cannot collide.
            const char* station = t % 2 ? "S1" : "S2";
            const char* name = t < 2 ? "Brightness" : "Contrast";
            for (int i = 0; i < kRounds; ++i) {
                int v = (t * 7 + i) % 100;
                if (c->SetVpmParameterValue(station, name, v) == 0 && c->GetVpmParameterValue(station, name) == v) ++good;
            }
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(good.load(), kThreads * kRounds);
    EXPECT_FALSE(rlog.Contains("Ret Session error"));
}

TEST_F(SimLibrary, ServerStoppingIsATransportFailureNotARefusal) {
    Login();
    ASSERT_EQ(sim.Stop(), 0);
    CString reply;
    EXPECT_EQ(chan->SendCommand("S1", "Get", "Contrast=;", reply), -1);
    EXPECT_TRUE(reply.IsEmpty());
}

}  // namespace
