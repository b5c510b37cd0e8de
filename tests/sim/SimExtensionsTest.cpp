// The opt-in host conveniences against oam-sim: chosen time-outs and
// keep-alive on the channel, progress and cancel of file transfers, and the
// reconnecting session across a simulator that is stopped and restarted on
// the same port.
#include <gtest/gtest.h>

#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <random>
#include <regex>
#include <sstream>
#include <thread>

#include "ChannelFixture.h"
#include "FakeServer.h"
#include "SimHarness.h"
#include "oamsdk.h"
#include "oamsdk_c.h"
#include "TestNet.h"
#include "TestSystem.h"

using namespace oamtest;

namespace {

const char* kLogin = "User=admin;Password=admin;";

std::string ReadFile(const std::string& p) {
    std::ifstream in(p, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void WriteFile(const std::string& p, const std::string& content) {
    std::ofstream out(p, std::ios::binary);
    out << content;
}

std::string RandomBytes(size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    std::string s(n, '\0');
    for (char& c : s) c = static_cast<char>(rng());
    return s;
}

// A listener of its own on 127.0.0.1:port that never accepts. With
// `fill`, its queue is filled first so that a further connect hangs
// (Linux drops the SYN), else a connect completes and nothing ever replies.
class DeadServer {
public:
    DeadServer(unsigned short port, bool fill) {
        m_fd = static_cast<int>(::socket(AF_INET, SOCK_STREAM | oamtest::net::kCloexec, 0));
        int one = 1;
        ::setsockopt(m_fd, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&one), sizeof one);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        m_ok = ::bind(m_fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 && ::listen(m_fd, fill ? 0 : 8) == 0;
        a.sin_port = htons(Port());
        for (int i = 0; fill && m_ok && i < 4; ++i) {
            int c = static_cast<int>(::socket(AF_INET, SOCK_STREAM | oamtest::net::kCloexec, 0));
            oamtest::net::SetNonBlocking(c);
            ::connect(c, reinterpret_cast<sockaddr*>(&a), sizeof a);
            m_fillers.push_back(c);
        }
        if (fill) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ~DeadServer() {
        for (int c : m_fillers) oamtest::net::Close(c);
        if (m_fd >= 0) oamtest::net::Close(m_fd);
    }
    bool Ok() const { return m_ok; }
    unsigned short Port() const {
        sockaddr_in a{};
        socklen_t l = sizeof a;
        ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&a), &l);
        return ntohs(a.sin_port);
    }

private:
    int m_fd = -1;
    bool m_ok = false;
    std::vector<int> m_fillers;
};

// -1 when the option cannot be read. Windows gives some boolean options
// as a single byte: the rest of the value stays zero.
int IntOption(SOCKET s, int level, int name) {
    int v = 0;
    int len = sizeof v;
    if (win::getsockopt(s, level, name, reinterpret_cast<char*>(&v), &len) != 0) return -1;
    return v;
}

// ---- time-outs and keep-alive -----------------------------------------

struct OptionCase {
    const char* name;
    int (*apply)(CClientSocket&);
    int expected;
};

const OptionCase kOptionCases[] = {
    {"CommandZero", [](CClientSocket& c) { return c.SetCommandTimeout(0); }, OAM_OPTION_BAD_VALUE},
    {"CommandNegative", [](CClientSocket& c) { return c.SetCommandTimeout(-1); }, OAM_OPTION_BAD_VALUE},
    {"CommandTooLong", [](CClientSocket& c) { return c.SetCommandTimeout(86400001); }, OAM_OPTION_BAD_VALUE},
    {"ConnectZero", [](CClientSocket& c) { return c.SetConnectTimeout(0); }, OAM_OPTION_BAD_VALUE},
    {"ConnectNegative", [](CClientSocket& c) { return c.SetConnectTimeout(-250); }, OAM_OPTION_BAD_VALUE},
    {"KeepIdleZero", [](CClientSocket& c) { return c.SetKeepAlive(0, 1, 1); }, OAM_OPTION_BAD_VALUE},
    {"KeepIntervalNegative", [](CClientSocket& c) { return c.SetKeepAlive(5, -1, 3); }, OAM_OPTION_BAD_VALUE},
    {"KeepCountZero", [](CClientSocket& c) { return c.SetKeepAlive(5, 1, 0); }, OAM_OPTION_BAD_VALUE},
    {"KeepCountTooLarge", [](CClientSocket& c) { return c.SetKeepAlive(5, 1, 128); }, OAM_OPTION_BAD_VALUE},
    {"CommandOne", [](CClientSocket& c) { return c.SetCommandTimeout(1); }, OAM_OPTION_OK},
    {"ConnectDay", [](CClientSocket& c) { return c.SetConnectTimeout(86400000); }, OAM_OPTION_OK},
    {"KeepAlive", [](CClientSocket& c) { return c.SetKeepAlive(7, 2, 4); }, OAM_OPTION_OK},
};

class ChannelOptions : public ::testing::TestWithParam<OptionCase> {};

// A rejected value changes nothing: the channel keeps the designed 15 s
// and no keep-alive.
TEST_P(ChannelOptions, ZeroNegativeAndOutOfRangeAreRejected) {
    SimProcess sim;
    std::string err;
    ASSERT_TRUE(sim.Start(err)) << err;
    auto chan = std::make_unique<CClientSocket>();
    EXPECT_EQ(GetParam().apply(*chan), GetParam().expected);
    ASSERT_TRUE(chan->Create(sim.Port(), "127.0.0.1"));
    if (GetParam().expected != OAM_OPTION_OK) {
        EXPECT_EQ(IntOption(chan->GetSocket(), SOL_SOCKET, SO_RCVTIMEO), 15000);
        EXPECT_EQ(IntOption(chan->GetSocket(), SOL_SOCKET, SO_KEEPALIVE), 0);
        EXPECT_EQ(chan->SendCommand("", "Login", kLogin), 0);
    }
}

INSTANTIATE_TEST_SUITE_P(Values, ChannelOptions, ::testing::ValuesIn(kOptionCases),
                         [](const ::testing::TestParamInfo<OptionCase>& i) { return std::string(i.param.name); });

TEST(ChannelOptionsApplied, ToTheHeldConnectionAndToEveryLaterCreate) {
    SimProcess sim;
    std::string err;
    ASSERT_TRUE(sim.Start(err)) << err;
    auto chan = std::make_unique<CClientSocket>();
    ASSERT_TRUE(chan->Create(sim.Port(), "127.0.0.1"));
    EXPECT_EQ(chan->SetCommandTimeout(2500), OAM_OPTION_OK);
    // Wine takes the timing but not the count, and the setter says so.
    EXPECT_EQ(chan->SetKeepAlive(9, 3, 5), oamtest::UnderWine() ? OAM_OPTION_FAILED : OAM_OPTION_OK);
    for (int round = 0; round < 2; ++round) {
        SOCKET s = chan->GetSocket();
        EXPECT_EQ(IntOption(s, SOL_SOCKET, SO_RCVTIMEO), 2500) << round;
        EXPECT_EQ(IntOption(s, SOL_SOCKET, SO_SNDTIMEO), 2500) << round;
        EXPECT_EQ(IntOption(s, SOL_SOCKET, SO_KEEPALIVE), 1) << round;
        // Wine cannot read the three back (WSAENOPROTOOPT); the library
        // sets them through SIO_KEEPALIVE_VALS there, which has no reading.
        if (!oamtest::UnderWine()) {
            EXPECT_EQ(IntOption(s, IPPROTO_TCP, TCP_KEEPIDLE), 9) << round;
            EXPECT_EQ(IntOption(s, IPPROTO_TCP, TCP_KEEPINTVL), 3) << round;
            EXPECT_EQ(IntOption(s, IPPROTO_TCP, TCP_KEEPCNT), 5) << round;
        }
        EXPECT_EQ(chan->SendCommand("", "Login", kLogin), 0);
        chan->Close();
        ASSERT_TRUE(chan->Create(sim.Port(), "127.0.0.1"));
    }
    EXPECT_EQ(chan->DisableKeepAlive(), OAM_OPTION_OK);
    EXPECT_EQ(IntOption(chan->GetSocket(), SOL_SOCKET, SO_KEEPALIVE), 0);
}

// The command time-out bounds a reply that never comes, and the connect
// time-out a connect that is never answered.
TEST(ChannelTimeouts, BoundTheWaitForASilentServer) {
    for (bool fill : {false, true}) {
        DeadServer dead(0, fill);
        ASSERT_TRUE(dead.Ok());
        auto chan = std::make_unique<CClientSocket>();
        ASSERT_EQ(chan->SetConnectTimeout(300), OAM_OPTION_OK);
        ASSERT_EQ(chan->SetCommandTimeout(300), OAM_OPTION_OK);
        auto start = std::chrono::steady_clock::now();
        bool created = chan->Create(dead.Port(), "127.0.0.1") != 0;
        DWORD error = GetLastError();
        if (fill) {
            EXPECT_FALSE(created);
            EXPECT_EQ(error, static_cast<DWORD>(WSAETIMEDOUT));
        } else {
            ASSERT_TRUE(created);
            EXPECT_EQ(chan->SendCommand("", "Login", kLogin), -1);
        }
        // Far below the designed 15 s or the system's connect time-out.
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10)) << fill;
    }
}

// ---- progress and cancel ------------------------------------------------

struct Call {
    long long done, total;
    int phase;
};

struct Recorder {
    std::vector<Call> calls;
    int cancelPhase = -1;       // cancel on the first call of this phase...
    long long cancelAfter = 0;  // ...once done has reached this
    static int Hook(LONG_PTR, long long done, long long total, int phase, LONG_PTR user) {
        auto* r = reinterpret_cast<Recorder*>(user);
        r->calls.push_back({done, total, phase});
        return phase == r->cancelPhase && done >= r->cancelAfter ? 1 : 0;
    }
};

int g_breaks = 0;
void CountBreak(LONG_PTR, LONG_PTR) { ++g_breaks; }

class SimTransfer : public ::testing::Test {
protected:
    void SetUp() override {
        std::string err;
        ASSERT_TRUE(sim.Start(err)) << err;
        dir = MakeTempDir("oamsim-test");
        oamtest::SetEnv("OAMSDK_MODULE_DIR", dir.c_str());
        chan = std::make_unique<CClientSocket>();
        g_breaks = 0;
        chan->SetWnd(nullptr, &CountBreak, 0);
        ASSERT_TRUE(chan->Create(sim.Port(), "127.0.0.1"));
        ASSERT_EQ(chan->SetCommandTimeout(5000), OAM_OPTION_OK);
        ASSERT_EQ(chan->SendCommand("", "Login", kLogin), 0);
    }
    void TearDown() override {
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }
    // Names in the module directory other than `keep`.
    std::vector<std::string> Leftovers(const std::string& keep = "") {
        std::vector<std::string> out;
        for (auto& e : std::filesystem::directory_iterator(dir))
            if (e.path().filename() != keep) out.push_back(e.path().filename().string());
        return out;
    }
    // Phases in order, each from 0 to its total with done never falling.
    static void ExpectWellFormed(const std::vector<Call>& calls, std::vector<int> phases) {
        std::vector<int> seen;
        for (size_t i = 0; i < calls.size(); ++i) {
            const Call& c = calls[i];
            if (seen.empty() || seen.back() != c.phase) {
                seen.push_back(c.phase);
                EXPECT_EQ(c.done, 0) << i;
            } else {
                EXPECT_GE(c.done, calls[i - 1].done) << i;
                EXPECT_EQ(c.total, calls[i - 1].total) << i;
            }
            EXPECT_LE(c.done, c.total) << i;
            if (i + 1 == calls.size() || calls[i + 1].phase != c.phase) {
                EXPECT_EQ(c.done, c.total) << i;
            }
        }
        EXPECT_EQ(seen, phases);
    }

    SimProcess sim;
    std::string dir;
    std::unique_ptr<CClientSocket> chan;
};

TEST_F(SimTransfer, ProgressFollowsEveryPhaseOfARoundTrip) {
    const std::string content = RandomBytes(600 * 1024, 7);  // incompressible: the archive is as large
    WriteFile(dir + "/big.bin", content);
    Recorder up;
    chan->SetProgressHook(&Recorder::Hook, reinterpret_cast<LONG_PTR>(&up));
    ASSERT_EQ(chan->SendFile("S1", "big.bin"), 0);
    EXPECT_EQ(ReadFile(sim.StorageDir() + "/S1/big.bin"), content);
    ExpectWellFormed(up.calls, {OAM_PHASE_PACKING, OAM_PHASE_SENDING});
    EXPECT_EQ(up.calls.front().total, static_cast<long long>(content.size()));
    EXPECT_GT(up.calls.back().total, static_cast<long long>(content.size()));  // the archive
    // More than the start and the end, never more than one per 64 KiB piece.
    EXPECT_GT(up.calls.size(), 4u);
    EXPECT_LE(up.calls.size(), 2 * (content.size() / 65536 + 3));

    std::filesystem::remove(dir + "/big.bin");
    Recorder down;
    chan->SetProgressHook(&Recorder::Hook, reinterpret_cast<LONG_PTR>(&down));
    ASSERT_EQ(chan->ReceiveFile("S1", "big.bin"), 0);
    EXPECT_EQ(ReadFile(dir + "/big.bin"), content);
    ExpectWellFormed(down.calls, {OAM_PHASE_RECEIVING, OAM_PHASE_UNPACKING});
    EXPECT_EQ(down.calls.back().total, static_cast<long long>(content.size()));

    // Without the hook again: no calls, the designed transfer.
    chan->SetProgressHook(nullptr, 0);
    const size_t calls = down.calls.size();
    ASSERT_EQ(chan->ReceiveFile("S1", "big.bin"), 0);
    EXPECT_EQ(down.calls.size(), calls);
    EXPECT_EQ(g_breaks, 0);
}

struct CancelCase {
    const char* name;
    bool upload;
    int phase;
    long long after;
    bool linkEnds;  // the connection is closed (the transfer was on the wire)
    int result = OAM_TRANSFER_CANCELLED;
};

class SimCancel : public SimTransfer, public ::testing::WithParamInterface<CancelCase> {};

TEST_P(SimCancel, StopsWithTheDocumentedResultAndLeavesNoFile) {
    const CancelCase& c = GetParam();
    const std::string content = RandomBytes(900 * 1024, 11);
    const std::string name = "cancel.bin";
    if (!c.upload) {
        WriteFile(dir + "/" + name, content);
        ASSERT_EQ(chan->SendFile("S2", name.c_str()), 0);
        // An older copy of the requested name is not what survives a cancel.
        WriteFile(dir + "/" + name, "old copy");
    } else {
        WriteFile(dir + "/" + name, content);
    }
    Recorder r;
    r.cancelPhase = c.phase;
    r.cancelAfter = c.after;
    chan->SetProgressHook(&Recorder::Hook, reinterpret_cast<LONG_PTR>(&r));
    int rc = c.upload ? chan->SendFile("S2", name.c_str()) : chan->ReceiveFile("S2", name.c_str());
    EXPECT_EQ(rc, c.result);
    EXPECT_EQ(OamLastResultOrigin(), c.result == 0 ? OAM_ORIGIN_SERVER : OAM_ORIGIN_LIBRARY);
    ASSERT_FALSE(r.calls.empty());
    EXPECT_EQ(r.calls.back().phase, c.phase);  // stopped at once: no call after the cancelling one
    if (c.result == 0) {
        // Too late to cancel: the server had every byte, and stored them.
        EXPECT_EQ(r.calls.back().done, r.calls.back().total);
        EXPECT_EQ(ReadFile(sim.StorageDir() + "/S2/" + name), content);
    } else if (c.upload) {
        EXPECT_TRUE(Leftovers(name).empty());
        // Nothing stored under the name on the server either.
        EXPECT_FALSE(std::filesystem::exists(sim.StorageDir() + "/S2/" + name));
    } else {
        EXPECT_TRUE(Leftovers().empty()) << (Leftovers().empty() ? "" : Leftovers()[0]);
    }
    chan->SetProgressHook(nullptr, 0);
    if (c.linkEnds) {
        EXPECT_EQ(chan->GetSocket(), 0u);
        EXPECT_EQ(g_breaks, 1);
        ASSERT_TRUE(chan->Create(sim.Port(), "127.0.0.1"));
        ASSERT_EQ(chan->SendCommand("", "Login", kLogin), 0);
    } else {
        EXPECT_EQ(g_breaks, 0);
    }
    // The channel (or its new connection) is in step with the server.
    EXPECT_GE(chan->GetAllStation(nullptr, 0), 1);
    if (!c.upload) {
        ASSERT_EQ(chan->ReceiveFile("S2", name.c_str()), 0);
        EXPECT_EQ(ReadFile(dir + "/" + name), content);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Phases, SimCancel,
    ::testing::Values(CancelCase{"UploadAtPackingStart", true, OAM_PHASE_PACKING, 0, false},
                      CancelCase{"UploadWhilePacking", true, OAM_PHASE_PACKING, 200000, false},
                      CancelCase{"UploadWhileSending", true, OAM_PHASE_SENDING, 300000, true},
                      // Only the final report (done == total) gets this far.
                      CancelCase{"UploadAtTheLastByte", true, OAM_PHASE_SENDING, 900 * 1024 + 1, false, 0},
                      CancelCase{"DownloadWhileReceiving", false, OAM_PHASE_RECEIVING, 1, true},
                      CancelCase{"DownloadAtUnpackingStart", false, OAM_PHASE_UNPACKING, 0, false},
                      CancelCase{"DownloadAtTheEnd", false, OAM_PHASE_UNPACKING, 900 * 1024, false}),
    [](const ::testing::TestParamInfo<CancelCase>& i) { return std::string(i.param.name); });

// ---- the reconnecting session -------------------------------------------

struct Events {
    std::mutex mutex;
    std::vector<OAM_SESSION_EVENT> list;
    std::vector<std::string> texts;
    std::vector<std::thread::id> threads;
    std::vector<std::chrono::steady_clock::time_point> at;
    static void Hook(LONG_PTR, const OAM_SESSION_EVENT* e, LONG_PTR user) {
        auto* ev = reinterpret_cast<Events*>(user);
        std::lock_guard<std::mutex> l(ev->mutex);
        ev->list.push_back(*e);
        ev->texts.push_back(e->Text);
        ev->threads.push_back(std::this_thread::get_id());
        ev->at.push_back(std::chrono::steady_clock::now());
    }
    int Count(int state) {
        std::lock_guard<std::mutex> l(mutex);
        int n = 0;
        for (auto& e : list) n += e.State == state;
        return n;
    }
    OAM_SESSION_EVENT Last(int state) {
        std::lock_guard<std::mutex> l(mutex);
        for (size_t i = list.size(); i > 0; --i)
            if (list[i - 1].State == state) return list[i - 1];
        return OAM_SESSION_EVENT{-1, -1, 0, 0, 0, ""};
    }
    bool WaitFor(int state, int count, int ms) {
        return oamtest::WaitFor([&] { return Count(state) >= count; }, ms);
    }
};

std::unique_ptr<COamSession> MakeSession(unsigned short port, Events& ev, bool background, int initialMs) {
    auto s = std::make_unique<COamSession>();
    s->SetServer("127.0.0.1", port);
    s->SetLogin(kLogin);
    s->SetCallback(&Events::Hook, reinterpret_cast<LONG_PTR>(&ev));
    s->SetAutoReconnect(background ? TRUE : FALSE);
    EXPECT_EQ(s->SetBackoff(initialMs, initialMs * 4, 20, 0), OAM_OPTION_OK);
    EXPECT_EQ(s->Channel().SetCommandTimeout(3000), OAM_OPTION_OK);
    return s;
}

TEST(SessionSettings, RejectsABackoffOutOfRange) {
    COamSession s;
    EXPECT_EQ(s.SetBackoff(0, 100, 0, 0), OAM_OPTION_BAD_VALUE);
    EXPECT_EQ(s.SetBackoff(200, 100, 0, 0), OAM_OPTION_BAD_VALUE);
    EXPECT_EQ(s.SetBackoff(100, 200, 101, 0), OAM_OPTION_BAD_VALUE);
    EXPECT_EQ(s.SetBackoff(100, 200, 10, -1), OAM_OPTION_BAD_VALUE);
    // Not open: commands fail at once, nothing is reported.
    CString reply;
    EXPECT_EQ(s.SendCommand("", "Get", "AllStation=;", reply), OAM_SESSION_LINK_DOWN);
    EXPECT_EQ(OamLastResultOrigin(), OAM_ORIGIN_LIBRARY);
    EXPECT_EQ(s.State(), OAM_SESSION_CLOSED);
}

// A reply of another session means the link carries replies meant for
// other commands: the session rebuilds it, in the default mode (the stale
// reply was refused) and in strict mode (it was thrown away), and the next
// command runs on the new connection.
class SessionDesync : public ::testing::TestWithParam<bool> {};

TEST_P(SessionDesync, AReplyOfAnotherSessionRebuildsTheLink) {
    const bool strict = GetParam();
    // The second request of the first connection gets the log-in's reply
    // again; everything else its own.
    oamtest::FakeServer server([](const std::string& req, int conn, int index) {
        int session = oamtest::SessionOf(req);
        if (conn == 0 && index == 1)
            return oamtest::Action::reply("SESSIONID=" + std::to_string(session - 1) + ";RETURNCODE=0;User=admin;");
        return oamtest::Action::reply("SESSIONID=" + std::to_string(session) + ";RETURNCODE=0;AllStation=S1[UzE=]1;");
    });
    Events ev;
    auto s = MakeSession(server.port(), ev, false, 50);
    ASSERT_EQ(s->Channel().SetCommandTimeout(500), OAM_OPTION_OK);
    s->Channel().SetStrictSession(strict ? TRUE : FALSE);
    ASSERT_EQ(s->Open(), 0);
    CString reply;
    int first = s->SendCommand("", "Get", "AllStation=;", reply);
    // Never the log-in's reply as this command's answer.
    EXPECT_EQ(first, strict ? -1 : OAM_SESSION_DESYNCHRONISED);
    EXPECT_TRUE(reply.IsEmpty());
    ASSERT_EQ(ev.Count(OAM_SESSION_LOST), 1);
    EXPECT_EQ(ev.Last(OAM_SESSION_LOST).Cause, OAM_CAUSE_DESYNCHRONISED);
    // The next command after the back-off runs on a new connection.
    ASSERT_TRUE(oamtest::WaitFor(
        [&] { return s->SendCommand("", "Get", "AllStation=;", reply) == 0; }, 5000));
    EXPECT_EQ(reply.str(), "AllStation=S1[UzE=]1;");
    EXPECT_GE(server.connections(), 2);
    EXPECT_EQ(ev.Count(OAM_SESSION_RESTORED), 1);
}

INSTANTIATE_TEST_SUITE_P(Modes, SessionDesync, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& i) { return i.param ? "strict" : "designed"; });

// Stop and restart oam-sim on the same port, in both modes.
class SessionRestart : public ::testing::TestWithParam<bool> {};

TEST_P(SessionRestart, ReportsTheLossReconnectsAndNeverResends) {
    const bool background = GetParam();
    const int step = 200;
    Events ev;
    auto sim = std::make_unique<SimProcess>();
    std::string err;
    ASSERT_TRUE(sim->Start(err)) << err;
    const unsigned short port = sim->Port();
    auto s = MakeSession(port, ev, background, step);
    ASSERT_EQ(s->Open(), 0);
    EXPECT_EQ(OamLastResultOrigin(), OAM_ORIGIN_SERVER);  // the log-in's answer
    EXPECT_EQ(s->Open(), OAM_SESSION_BUSY);
    EXPECT_EQ(OamLastResultOrigin(), OAM_ORIGIN_LIBRARY);
    EXPECT_EQ(ev.Count(OAM_SESSION_CONNECTED), 1);
    ASSERT_GE(s->GetAllStation(nullptr, 0), 1);

    ASSERT_EQ(sim->Stop(), 0);
    if (background) {
        // Found by the session's own look at the idle link.
        ASSERT_TRUE(ev.WaitFor(OAM_SESSION_LOST, 1, 5000));
    } else {
        // The command that finds the link gone returns as the channel gives it...
        EXPECT_EQ(s->GetAllStation(nullptr, 0), -1);
        ASSERT_EQ(ev.Count(OAM_SESSION_LOST), 1);
    }
    EXPECT_EQ(ev.Last(OAM_SESSION_LOST).Cause, OAM_CAUSE_CONNECTION_GONE);
    // ...and the next ones fail at once while it is down.
    CString reply;
    EXPECT_EQ(s->SendCommand("S1", "Set", "Contrast=41;", reply), OAM_SESSION_LINK_DOWN);
    EXPECT_FALSE(s->IsConnected());

    // Attempts against the stopped server fail and back off.
    if (background) {
        ASSERT_TRUE(ev.WaitFor(OAM_SESSION_RECONNECTING, 2, 10000));
        EXPECT_EQ(ev.Last(OAM_SESSION_LOST).Cause, OAM_CAUSE_CONNECT_FAILED);
        EXPECT_EQ(ev.Last(OAM_SESSION_LOST).Code, WSAECONNREFUSED);
    }

    SimOptions again;
    again.port = port;
    sim = std::make_unique<SimProcess>(again);
    ASSERT_TRUE(sim->Start(err)) << err;
    auto back = std::chrono::steady_clock::now();
    if (background) {
        ASSERT_TRUE(ev.WaitFor(OAM_SESSION_RESTORED, 1, 15000));
    } else {
        // The foreground session reconnects on a command once its wait is over.
        ASSERT_TRUE(WaitFor([&] { return s->GetAllStation(nullptr, 0) >= 1; }, 15000));
        ASSERT_EQ(ev.Count(OAM_SESSION_RESTORED), 1);
    }
    {
        std::lock_guard<std::mutex> l(ev.mutex);
        auto ms = [](std::chrono::steady_clock::duration d) {
            return static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(d).count());
        };
        // The successful attempt, and the back-off step that was in force before it.
        size_t restored = ev.list.size() - 1, attempt = restored;
        while (attempt > 0 && ev.list[attempt].State != OAM_SESSION_RECONNECTING) --attempt;
        int stepInForce = step;
        for (size_t i = attempt; i > 0; --i)
            if (ev.list[i - 1].State == OAM_SESSION_LOST) {
                stepInForce = ev.list[i - 1].DelayMs;
                break;
            }
        std::printf("[ measure ] restored %lld ms after oam-sim accepted again; back-off wait in force %d ms; "
                    "connect and log-in %lld ms\n",
                    ms(ev.at[restored] - back), stepInForce, ms(ev.at[restored] - ev.at[attempt]));
        // The callback's thread: the session's own, or the command's.
        EXPECT_EQ(ev.threads.back() != std::this_thread::get_id(), background);
    }
    EXPECT_TRUE(s->IsConnected());
    EXPECT_EQ(s->State(), OAM_SESSION_RESTORED);
    int value = 0;
    EXPECT_EQ(s->GetVpmParameterValue("S1", "Contrast", &value), 0);
    // The refused-while-down Set never reached the new server.
    EXPECT_NE(value, 41);
    EXPECT_EQ(sim->Log().find("Contrast=41"), std::string::npos);

    // A fresh Open is a connection, not a restore, whatever came before.
    s->Close();
    ASSERT_EQ(s->Open(), 0);
    EXPECT_EQ(s->State(), OAM_SESSION_CONNECTED);
    {
        std::lock_guard<std::mutex> l(ev.mutex);
        EXPECT_EQ(ev.list.back().State, OAM_SESSION_CONNECTED);
    }

    s.reset();
    EXPECT_EQ(ev.Last(OAM_SESSION_CLOSED).Cause, OAM_CAUSE_HOST);
}

INSTANTIATE_TEST_SUITE_P(Modes, SessionRestart, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& i) {
                             return std::string(i.param ? "Background" : "OnNextCommand");
                         });

TEST(SessionRestartRefused, ALogInRefusedAfterRestartIsReportedNotRetried) {
    Events ev;
    auto sim = std::make_unique<SimProcess>();
    std::string err;
    ASSERT_TRUE(sim->Start(err)) << err;
    const unsigned short port = sim->Port();
    auto s = MakeSession(port, ev, true, 50);
    ASSERT_EQ(s->Open(), 0);
    ASSERT_EQ(sim->Stop(), 0);

    // The restarted server knows other users.
    std::string dir = MakeTempDir("oamsim-test");
    std::string site = ReadFile(BinaryDir() + "/oam-sim-default-config.json");
    site = std::regex_replace(site, std::regex("\"password\": \"admin\""), "\"password\": \"changed\"");
    WriteFile(dir + "/site.json", site);
    SimOptions again;
    again.port = port;
    again.extraArgs = {"--config", dir + "/site.json"};
    sim = std::make_unique<SimProcess>(again);
    ASSERT_TRUE(sim->Start(err)) << err;

    ASSERT_TRUE(ev.WaitFor(OAM_SESSION_GIVEN_UP, 1, 15000));
    OAM_SESSION_EVENT g = ev.Last(OAM_SESSION_GIVEN_UP);
    EXPECT_EQ(g.Cause, OAM_CAUSE_LOGIN_REFUSED);
    EXPECT_EQ(g.Code, 8);
    int attempts = ev.Count(OAM_SESSION_RECONNECTING);
    // Many back-off steps later: no further attempt.
    std::this_thread::sleep_for(std::chrono::milliseconds(600));
    EXPECT_EQ(ev.Count(OAM_SESSION_RECONNECTING), attempts);
    EXPECT_EQ(s->State(), OAM_SESSION_GIVEN_UP);
    CString reply;
    EXPECT_EQ(s->SendCommand("", "Get", "AllStation=;", reply), OAM_SESSION_LINK_DOWN);
    // Open again is the host's call; the idle link is watched again.
    s->SetLogin("User=admin;Password=changed;");
    EXPECT_EQ(s->Open(), 0);
    EXPECT_GE(s->GetAllStation(nullptr, 0), 1);
    int lost = ev.Count(OAM_SESSION_LOST);
    ASSERT_EQ(sim->Stop(), 0);
    EXPECT_TRUE(ev.WaitFor(OAM_SESSION_LOST, lost + 1, 5000));
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
}

// Destroyed while its thread is stuck in a reconnect: in a connect that is
// never answered, or in a log-in that gets no reply.
class SessionDestroy : public ::testing::TestWithParam<bool> {};

TEST_P(SessionDestroy, DuringAReconnectStopsPromptly) {
    const bool connectHangs = GetParam();
    Events ev;
    auto sim = std::make_unique<SimProcess>();
    std::string err;
    ASSERT_TRUE(sim->Start(err)) << err;
    const unsigned short port = sim->Port();
    auto s = MakeSession(port, ev, true, 20);
    ASSERT_EQ(s->Channel().SetCommandTimeout(60000), OAM_OPTION_OK);  // longer than any bounded wait here
    ASSERT_EQ(s->Open(), 0);
    ASSERT_EQ(sim->Stop(), 0);
    ASSERT_TRUE(ev.WaitFor(OAM_SESSION_LOST, 1, 5000));
    DeadServer dead(port, connectHangs);
    ASSERT_TRUE(dead.Ok());
    // An attempt that stays under way: stuck in the connect or the log-in.
    ASSERT_TRUE(WaitFor(
        [&] {
            if (s->State() != OAM_SESSION_RECONNECTING) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            return s->State() == OAM_SESSION_RECONNECTING;
        },
        10000));

    std::atomic<bool> gone{false};
    std::thread destroyer([&] {
        s.reset();
        gone = true;
    });
    bool prompt = WaitFor([&] { return gone.load(); }, 10000);
    destroyer.join();
    EXPECT_TRUE(prompt);
    EXPECT_EQ(ev.Last(OAM_SESSION_CLOSED).Cause, OAM_CAUSE_HOST);
    // Nothing was reported once the session was gone.
    std::lock_guard<std::mutex> l(ev.mutex);
    EXPECT_EQ(ev.list.back().State, OAM_SESSION_CLOSED);
}

INSTANTIATE_TEST_SUITE_P(Where, SessionDestroy, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& i) {
                             return std::string(i.param ? "InTheConnect" : "InTheLogIn");
                         });

// Several host threads on one session while the server goes away and
// comes back: every result is the server's or a documented failure.
TEST(SessionThreads, CommandsFromSeveralThreadsAcrossARestart) {
    Events ev;
    auto sim = std::make_unique<SimProcess>();
    std::string err;
    ASSERT_TRUE(sim->Start(err)) << err;
    const unsigned short port = sim->Port();
    auto s = MakeSession(port, ev, true, 50);
    ASSERT_EQ(s->Open(), 0);
    std::atomic<bool> stop{false};
    std::atomic<int> good{0}, bad{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 3; ++t)
        threads.emplace_back([&] {
            while (!stop) {
                int n = s->GetAllStation(nullptr, 0);
                if (n >= 1)
                    ++good;
                else if (n != -1 && n != OAM_SESSION_LINK_DOWN)
                    ++bad;
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
            }
        });
    ASSERT_TRUE(WaitFor([&] { return good.load() > 20; }, 10000));
    ASSERT_EQ(sim->Stop(), 0);
    ASSERT_TRUE(ev.WaitFor(OAM_SESSION_LOST, 1, 5000));
    SimOptions again;
    again.port = port;
    sim = std::make_unique<SimProcess>(again);
    ASSERT_TRUE(sim->Start(err)) << err;
    ASSERT_TRUE(ev.WaitFor(OAM_SESSION_RESTORED, 1, 15000));
    int at = good.load();
    EXPECT_TRUE(WaitFor([&] { return good.load() > at + 20; }, 10000));
    stop = true;
    for (auto& t : threads) t.join();
    EXPECT_EQ(bad.load(), 0);
}

// ---- the session's answers: never another command's, never a hang --------

// The first command after the log-in is answered late, with `late`, so that
// its reply comes while the next command waits; every other request gets
// its own reply with `own`.
FakeServer::Responder LateFirstReply(const std::string& late, const std::string& own, int lateMs) {
    return [=](const std::string& req, int conn, int index) {
        int session = SessionOf(req);
        if (conn == 0 && index == 1) return Action::replyAfter(lateMs, oamtest::Reply(session, 0, late));
        return Action::reply(oamtest::Reply(session, 0, own));
    };
}

// The late reply comes half a time-out after the first command gave up, so
// that the next one is waiting, with room either side for a slow machine.
const int kShortTimeoutMs = 800, kLateMs = 1200;

// What the session's commands give back, filled beforehand: a command that
// fails leaves it as it was (the reply string empty).
struct Outputs {
    CString reply{"before"};
    int value = 7;
    STATION_STRUCT st[2];
    Outputs() {
        memset(st, 0x5a, sizeof st);
        strcpy(st[0].StationID, "S1");
    }
    bool Untouched() const {
        return (reply.IsEmpty() || reply.str() == "before") && value == 7 && memcmp(st, Outputs().st, sizeof st) == 0 &&
               !std::filesystem::exists(std::string(getenv("OAMSDK_MODULE_DIR")) + "/f.bin");
    }
};

struct ForeignCase {
    const char* name;
    const char* late;  // the timed-out command's answer
    const char* own;   // the answer of every other one
    int (*run)(COamSession& s, Outputs& o);
};

const char* const kEmptyFile = "FileName=f.bin;FileLen=0;MD5=d41d8cd98f00b204e9800998ecf8427e;";

const ForeignCase kForeignCases[] = {
    {"SendCommand", "Contrast=111;", "Contrast=222;",
     [](COamSession& s, Outputs& o) { return s.SendCommand("S1", "Get", "Contrast=;", o.reply); }},
    {"GetVpmParameterValue", "Contrast=111;", "Contrast=222;",
     [](COamSession& s, Outputs& o) { return s.GetVpmParameterValue("S1", "Contrast", &o.value); }},
    {"GetAllStation", "AllStation=S1[UzE=]1;", "AllStation=S2[UzI=]1;",
     [](COamSession& s, Outputs& o) { return s.GetAllStation(o.st, 2); }},
    {"GetDeviceInfo", "StationTopo=1[RDE=]<>;", "StationTopo=2[RDI=]<>;",
     [](COamSession& s, Outputs& o) { return s.GetDeviceInfo(o.st); }},
    {"SetVpmParameterValue", "", "", [](COamSession& s, Outputs&) { return s.SetVpmParameterValue("S1", "C", 5); }},
    {"SetVpmCtrlValue", "", "", [](COamSession& s, Outputs&) { return s.SetVpmCtrlValue("S1", "Zoom", 1); }},
    {"SendFile", "", "", [](COamSession& s, Outputs&) { return s.SendFile("S1", "up.bin"); }},
    {"ReceiveFile", kEmptyFile, kEmptyFile, [](COamSession& s, Outputs&) { return s.ReceiveFile("S1", "f.bin"); }},
};

class SessionForeignReply : public ::testing::TestWithParam<ForeignCase> {
protected:
    void SetUp() override {
        dir = MakeTempDir("oamsim-test");
        oamtest::SetEnv("OAMSDK_MODULE_DIR", dir.c_str());
        WriteFile(dir + "/up.bin", "upload me");
    }
    void TearDown() override {
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }
    std::string dir;
};

// Command A times out and its reply comes while command B waits: B never
// takes it as its own answer. It fails with the session's result, gives
// nothing of that reply, and the link is rebuilt.
TEST_P(SessionForeignReply, IsNeverTheNextCommandsAnswer) {
    const ForeignCase& c = GetParam();
    FakeServer server(LateFirstReply(c.late, c.own, kLateMs));
    Events ev;
    auto s = MakeSession(server.port(), ev, false, 50);
    ASSERT_EQ(s->Channel().SetCommandTimeout(kShortTimeoutMs), OAM_OPTION_OK);
    ASSERT_EQ(s->Open(), 0);
    Outputs a, b;
    EXPECT_NE(c.run(*s, a), 0);  // A: no reply in time
    EXPECT_EQ(OamLastResultOrigin(), OAM_ORIGIN_LIBRARY);
    EXPECT_EQ(ev.Count(OAM_SESSION_LOST), 0);
    EXPECT_EQ(c.run(*s, b), OAM_SESSION_DESYNCHRONISED);  // B
    EXPECT_EQ(OamLastResultOrigin(), OAM_ORIGIN_LIBRARY);
    EXPECT_TRUE(b.Untouched());
    ASSERT_EQ(ev.Count(OAM_SESSION_LOST), 1);
    EXPECT_EQ(ev.Last(OAM_SESSION_LOST).Cause, OAM_CAUSE_DESYNCHRONISED);
    EXPECT_FALSE(s->IsConnected());
}

INSTANTIATE_TEST_SUITE_P(Commands, SessionForeignReply, ::testing::ValuesIn(kForeignCases),
                         [](const ::testing::TestParamInfo<ForeignCase>& i) { return std::string(i.param.name); });

// The C functions give the same.
TEST(SessionForeignReplyC, CommandAndParameterGiveDesynchronised) {
    for (bool command : {true, false}) {
        SCOPED_TRACE(command ? "oam_session_command" : "oam_session_get_parameter");
        FakeServer server(LateFirstReply("Contrast=111;", "Contrast=222;", kLateMs));
        oam_session* s = oam_session_new();
        ASSERT_NE(s, nullptr);
        oam_session_set_server(s, "127.0.0.1", server.port());
        oam_session_set_login(s, kLogin);
        ASSERT_EQ(oam_session_set_command_timeout(s, kShortTimeoutMs), 0);
        ASSERT_EQ(oam_session_open(s), 0);
        char reply[64];
        size_t length = 99;
        int32_t value = 7;
        auto run = [&] {
            strcpy(reply, "before");
            return command ? oam_session_command(s, "S1", "Get", "Contrast=;", reply, sizeof reply, &length)
                           : oam_session_get_parameter(s, "S1", "Contrast", &value);
        };
        EXPECT_NE(run(), 0);
        EXPECT_EQ(run(), OAM_DESYNCHRONISED);
        EXPECT_EQ(oam_last_result_origin(), OAM_RESULT_LIBRARY);
        if (command) {
            EXPECT_STREQ(reply, "");
            EXPECT_EQ(length, 0u);
        } else {
            EXPECT_EQ(value, 7);
        }
        EXPECT_EQ(oam_session_state(s), OAM_STATE_LOST);
        oam_session_delete(s);
    }
}

// A server that does not echo SESSIONID is one the protocol allows: its
// replies are nobody else's, and the session stays up.
TEST(SessionNoEcho, RepliesWithoutASessionIdKeepTheLink) {
    FakeServer server([](const std::string&, int, int) { return Action::reply("RETURNCODE=0;AllStation=S1[UzE=]1;"); });
    Events ev;
    auto s = MakeSession(server.port(), ev, false, 50);
    ASSERT_EQ(s->Open(), 0);
    for (int i = 0; i < 20; ++i) {
        EXPECT_EQ(s->GetAllStation(nullptr, 0), 1) << i;
        EXPECT_FALSE(s->Channel().LastReplySessionMatched()) << i;
        EXPECT_FALSE(s->Channel().LastReplySessionMismatched()) << i;
    }
    EXPECT_EQ(ev.Count(OAM_SESSION_LOST), 0);
    EXPECT_TRUE(s->IsConnected());
    EXPECT_EQ(server.connections(), 1);
}

// On a fresh connection there is no other command: the log-in's reply is
// its answer whatever number it carries.
TEST(SessionNoEcho, ALogInReplyOfAnotherNumberIsTheLogInsOwn) {
    FakeServer server([](const std::string& req, int, int index) {
        return Action::reply(oamtest::Reply(index == 0 ? 9999 : SessionOf(req), 0));
    });
    Events ev;
    auto s = MakeSession(server.port(), ev, false, 50);
    EXPECT_EQ(s->Open(), 0);
    EXPECT_EQ(s->GetAllStation(nullptr, 0), 0);
    EXPECT_EQ(ev.Count(OAM_SESSION_LOST), 0);
}

// What a progress hook may do through the session, on the transfer's own
// thread: a command fails at once (during an upload), Close returns at once
// and the transfer fails (during a download). Never a hang.
struct HookCall {
    COamSession* session = nullptr;
    bool close = false;
    int phase = 0;
    bool done = false;
    int result = 0, origin = 0;
    std::chrono::steady_clock::duration took{};
    static int Hook(LONG_PTR, long long, long long, int phase, LONG_PTR user) {
        auto* h = reinterpret_cast<HookCall*>(user);
        if (h->done || phase != h->phase) return 0;
        h->done = true;
        auto start = std::chrono::steady_clock::now();
        if (h->close) {
            h->session->Close();
        } else {
            CString reply;
            h->result = h->session->SendCommand("", "Get", "AllStation=;", reply);
            h->origin = OamLastResultOrigin();
        }
        h->took = std::chrono::steady_clock::now() - start;
        return 0;
    }
};

class SessionHook : public ::testing::TestWithParam<bool> {};

TEST_P(SessionHook, MayCallTheSessionWithoutAHang) {
    const struct {
        bool upload, close;
    } c = {!GetParam(), GetParam()};
    SimProcess sim;
    std::string err;
    ASSERT_TRUE(sim.Start(err)) << err;
    std::string dir = MakeTempDir("oamsim-test");
    oamtest::SetEnv("OAMSDK_MODULE_DIR", dir.c_str());
    const std::string content = RandomBytes(300 * 1024, 5);
    WriteFile(dir + "/h.bin", content);
    Events ev;
    auto s = MakeSession(sim.Port(), ev, false, 50);
    ASSERT_EQ(s->Open(), 0);
    if (!c.upload) {
        ASSERT_EQ(s->SendFile("S1", "h.bin"), 0);
    }
    HookCall h;
    h.session = s.get();
    h.close = c.close;
    h.phase = c.upload ? OAM_PHASE_SENDING : OAM_PHASE_RECEIVING;
    s->Channel().SetProgressHook(&HookCall::Hook, reinterpret_cast<LONG_PTR>(&h));
    int rc = -100;
    Within(20000, [&] { rc = c.upload ? s->SendFile("S1", "h.bin") : s->ReceiveFile("S1", "h.bin"); },
           "a transfer whose hook calls the session");
    ASSERT_TRUE(h.done);
    EXPECT_LT(h.took, std::chrono::seconds(2));
    if (c.close) {
        EXPECT_NE(rc, 0);
        EXPECT_EQ(s->State(), OAM_SESSION_CLOSED);
        EXPECT_EQ(s->Channel().GetSocket(), 0u);  // closed when the transfer returned
        EXPECT_EQ(ev.Count(OAM_SESSION_CLOSED), 1);
        EXPECT_EQ(ev.Count(OAM_SESSION_LOST), 0);
        s->Channel().SetProgressHook(nullptr, 0);
        ASSERT_EQ(s->Open(), 0);
    } else {
        EXPECT_EQ(h.result, OAM_SESSION_BUSY);
        EXPECT_EQ(h.origin, OAM_ORIGIN_LIBRARY);
        EXPECT_EQ(rc, 0);
        EXPECT_EQ(ReadFile(c.upload ? sim.StorageDir() + "/S1/h.bin" : dir + "/h.bin"), content);
    }
    EXPECT_GE(s->GetAllStation(nullptr, 0), 1);
    s.reset();
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
}

INSTANTIATE_TEST_SUITE_P(Calls, SessionHook, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& i) {
                             return std::string(i.param ? "CloseWhileDownloading" : "CommandWhileUploading");
                         });

// Close (or the destructor) on another thread wakes a command or transfer
// that waits on a silent server, and returns within a second, not after
// the command time-out.
enum class Waiting { Command, Download, Upload };

struct WakeCase {
    const char* name;
    Waiting waiting;
    bool destroy;
};

class SessionCloseWakes : public ::testing::TestWithParam<WakeCase> {};

TEST_P(SessionCloseWakes, ACommandInFlight) {
    const WakeCase& c = GetParam();
    std::string dir = MakeTempDir("oamsim-test");
    oamtest::SetEnv("OAMSDK_MODULE_DIR", dir.c_str());
    WriteFile(dir + "/up.bin", "upload me");
    // The log-in is answered; then the download's announcement, or the
    // upload's go-ahead; then nothing.
    FakeServer server([](const std::string& req, int, int index) {
        if (index == 0 || (index == 1 && req.find("CMD=FileSet;") != std::string::npos))
            return Action::reply(oamtest::Reply(SessionOf(req), 0));
        if (index == 1 && req.find("CMD=FileGet;") != std::string::npos)
            return Action::reply(oamtest::Reply(SessionOf(req), 0, "FileName=f;FileLen=5000;MD5=x;"));
        return Action::none();
    });
    Events ev;
    auto s = MakeSession(server.port(), ev, false, 50);
    ASSERT_EQ(s->Channel().SetCommandTimeout(8000), OAM_OPTION_OK);
    ASSERT_EQ(s->Open(), 0);
    std::atomic<int> rc{-100};
    std::thread t([&] {
        CString reply;
        switch (c.waiting) {
        case Waiting::Command: rc = s->SendCommand("", "Get", "AllStation=;", reply); break;
        case Waiting::Download: rc = s->ReceiveFile("S1", "f.bin"); break;
        case Waiting::Upload: rc = s->SendFile("S1", "up.bin"); break;
        }
    });
    // The request (for the upload: the archive after the pause) has gone out.
    ASSERT_TRUE(server.waitRequests(c.waiting == Waiting::Upload ? 3 : 2, 10000));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    auto start = std::chrono::steady_clock::now();
    if (c.destroy)
        s.reset();
    else
        s->Close();
    auto took = std::chrono::steady_clock::now() - start;
    t.join();
    EXPECT_LT(took, std::chrono::seconds(3));  // the promise is one second; far from the 8 s time-out
    EXPECT_NE(rc.load(), 0);
    EXPECT_EQ(ev.Last(OAM_SESSION_CLOSED).Cause, OAM_CAUSE_HOST);
    EXPECT_EQ(ev.Count(OAM_SESSION_LOST), 0);
    if (s) {
        EXPECT_EQ(s->State(), OAM_SESSION_CLOSED);
    }
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
}

INSTANTIATE_TEST_SUITE_P(Waits, SessionCloseWakes,
                         ::testing::Values(WakeCase{"Command", Waiting::Command, false},
                                           WakeCase{"Download", Waiting::Download, false},
                                           WakeCase{"Upload", Waiting::Upload, false},
                                           WakeCase{"CommandDestroyed", Waiting::Command, true}),
                         [](const ::testing::TestParamInfo<WakeCase>& i) { return std::string(i.param.name); });

// Close lands anywhere in an Open against a server that never answers the
// log-in, also just as the connect completes: the log-in that follows is
// never left to run out its time-out.
TEST(SessionCloseRace, DuringTheConnectOfAnOpen) {
    FakeServer server;  // accepts and reads, answers nothing
    std::mt19937 rng(21);
    for (int i = 0; i < 150; ++i) {
        SCOPED_TRACE(i);
        COamSession s;
        s.SetServer("127.0.0.1", server.port());
        s.SetLogin(kLogin);
        ASSERT_EQ(s.Channel().SetCommandTimeout(5000), OAM_OPTION_OK);
        std::thread opener([&] { s.Open(); });
        // Once the Open is under way, somewhere in its connect or log-in.
        auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (s.State() != OAM_SESSION_RECONNECTING && std::chrono::steady_clock::now() < limit)
            std::this_thread::yield();
        ASSERT_EQ(s.State(), OAM_SESSION_RECONNECTING);
        auto pause = std::chrono::microseconds(rng() % 300);
        for (auto until = std::chrono::steady_clock::now() + pause; std::chrono::steady_clock::now() < until;) {
        }
        auto start = std::chrono::steady_clock::now();
        s.Close();
        auto took = std::chrono::steady_clock::now() - start;
        opener.join();
        ASSERT_LT(took, std::chrono::seconds(2));
        EXPECT_EQ(s.State(), OAM_SESSION_CLOSED);
    }
}

}  // namespace
