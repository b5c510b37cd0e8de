// Soak: a bounded run (OAM_SOAK_SECONDS, 180 by default) of exchanges,
// queries, parameters, uploads and downloads on several channels and
// threads, and of alarms to two receivers, against oam-sim. Every
// operation's result is checked against the site this test gives the
// simulator; memory (resident set) and open descriptors must stay flat once
// the run has warmed up, and every descriptor must be back at the end.
//
// Off by default: registered with ctest only when configured with
// -DOAMSDK_SOAK=ON (scripts/test.sh does so with OAM_SOAK=1).
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "AlarmSocket.h"
#include "ClientSocket.h"
#include "Corbex.h"
#include "SimHarness.h"
#include "TempDir.h"
#include "TestSystem.h"

namespace oamtest {
namespace {

using Clock = std::chrono::steady_clock;

// The alarm peer's address: reserved for this suite, port 20000 under the
// udp20000 lock.
const char kPeerAddress[] = "127.0.3.1";
const int kWorkers = 4;          // one channel each
const int kSharedThreads = 2;    // and two threads sharing one more channel

// ---- the site -------------------------------------------------------------------

struct SitePtz {
    int id;
    std::string name;
};
struct SiteDevice {
    int id;
    std::string name;
    std::vector<SitePtz> ptz;
};
struct SiteStation {
    std::string id, name;
    int value;
    std::vector<SiteDevice> devices;
};

std::vector<SiteStation> Site() {
    std::vector<SiteStation> site;
    for (int s = 0; s < 5; ++s) {
        SiteStation st{"ST" + std::to_string(s + 1), "Station number " + std::to_string(s + 1), s % 2, {}};
        for (int d = 0; d <= s % 4; ++d) {
            SiteDevice dev{10 * (s + 1) + d, "Camera " + std::to_string(d) + " of " + st.id, {}};
            for (int p = 0; p < d % 3; ++p) dev.ptz.push_back(SitePtz{p + 1, "Head " + std::to_string(p)});
            st.devices.push_back(dev);
        }
        site.push_back(st);
    }
    return site;
}

// Parameters P0..P5 (one per thread, so that each reads back its own
// writes) on every station, 0..1000.
std::string SiteJson(const std::vector<SiteStation>& site) {
    std::ostringstream j;
    j << "{\"users\":[{\"user\":\"soak\",\"password\":\"soak-pw\"}],\"stations\":[";
    for (size_t s = 0; s < site.size(); ++s) {
        const SiteStation& st = site[s];
        j << (s ? "," : "") << "{\"id\":\"" << st.id << "\",\"name\":\"" << st.name << "\",\"value\":" << st.value
          << ",\"devices\":[";
        for (size_t d = 0; d < st.devices.size(); ++d) {
            const SiteDevice& dev = st.devices[d];
            j << (d ? "," : "") << "{\"id\":" << dev.id << ",\"name\":\"" << dev.name << "\",\"ptz\":[";
            for (size_t p = 0; p < dev.ptz.size(); ++p)
                j << (p ? "," : "") << "{\"id\":" << dev.ptz[p].id << ",\"name\":\"" << dev.ptz[p].name << "\"}";
            j << "]}";
        }
        j << "],\"parameters\":{";
        for (int p = 0; p < kWorkers + kSharedThreads; ++p)
            j << (p ? "," : "") << "\"P" << p << "\":{\"value\":0,\"min\":0,\"max\":1000}";
        j << "},\"controls\":{\"Zoom\":{\"value\":1,\"min\":1,\"max\":30}}}";
    }
    j << "]}";
    return j.str();
}

// ---- the process ------------------------------------------------------------------

long ResidentBytes() {
    long pages = 0, resident = 0;
    FILE* f = fopen("/proc/self/statm", "r");
    if (!f) return -1;
    if (fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = -1;
    fclose(f);
    return resident * sysconf(_SC_PAGESIZE);
}

// Failures seen by the threads, reported by the test at the end.
class Failures {
public:
    void Add(const std::string& what) {
        std::lock_guard<std::mutex> g(m_mutex);
        if (m_list.size() < 50) m_list.push_back(what);
        ++m_count;
    }
    int Count() {
        std::lock_guard<std::mutex> g(m_mutex);
        return m_count;
    }
    std::string Text() {
        std::lock_guard<std::mutex> g(m_mutex);
        std::string t;
        for (const std::string& s : m_list) t += "  " + s + "\n";
        return t;
    }

private:
    std::mutex m_mutex;
    std::vector<std::string> m_list;
    int m_count = 0;
};

struct Counters {
    std::atomic<long> exchanges{0}, queries{0}, uploads{0}, downloads{0}, alarms{0};
};

std::string Content(std::mt19937& rng, size_t n) {
    static const char* const words[] = {"station ", "contrast=", "ptz ", "\r\n", "value;", "alarm "};
    std::string s;
    s.reserve(n);
    while (s.size() < n) {
        if (rng() % 2)
            s += words[rng() % 6];
        else
            for (int i = 0; i < 12; ++i) s += static_cast<char>(rng());
    }
    s.resize(n);
    return s;
}

bool ReadFile(const std::string& path, std::string& out) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::ostringstream s;
    s << in.rdbuf();
    out = s.str();
    return true;
}

// ---- the channel work ---------------------------------------------------------------

class Work {
public:
    Work(unsigned short port, const std::vector<SiteStation>& site, const std::string& dir, Failures& failures,
         Counters& counters)
        : m_port(port), m_site(site), m_dir(dir), m_failures(failures), m_counters(counters) {}

    bool Connect(CClientSocket& c, const std::string& who) {
        if (c.Create(m_port, "127.0.0.1") != 1) {
            m_failures.Add(who + ": Create failed");
            return false;
        }
        CString reply;
        int rc = c.SendCommand("", "Login", "User=soak;Password=soak-pw;", reply);
        if (rc != 0) {
            m_failures.Add(who + ": Login gave " + std::to_string(rc) + " " + reply.str());
            return false;
        }
        return true;
    }

    // One randomly chosen operation; `slot` owns parameter P<slot> and the
    // files named after it.
    void Step(CClientSocket& c, int slot, std::mt19937& rng, bool files) {
        const std::string who = "thread " + std::to_string(slot);
        const SiteStation& st = m_site[rng() % m_site.size()];
        switch (rng() % (files ? 7 : 5)) {
        case 0: {  // the station list
            std::vector<STATION_STRUCT> list(m_site.size() + 2);
            int n = c.GetAllStation(list.data(), static_cast<int>(list.size()));
            ++m_counters.queries;
            if (n != static_cast<int>(m_site.size())) {
                m_failures.Add(who + ": GetAllStation gave " + std::to_string(n));
                break;
            }
            for (size_t i = 0; i < m_site.size(); ++i) {
                if (m_site[i].id != list[i].StationID || m_site[i].name != list[i].StationName ||
                    m_site[i].value != list[i].StationValue)
                    m_failures.Add(who + ": station " + std::to_string(i) + " read as " + list[i].StationID + "/" +
                                   list[i].StationName);
            }
            break;
        }
        case 1: {  // a station's devices
            std::unique_ptr<STATION_STRUCT> s(new STATION_STRUCT());
            strncpy(s->StationID, st.id.c_str(), sizeof s->StationID - 1);
            int n = c.GetDeviceInfo(s.get());
            ++m_counters.queries;
            if (n != static_cast<int>(st.devices.size()) || s->DeviceCount != n) {
                m_failures.Add(who + ": GetDeviceInfo " + st.id + " gave " + std::to_string(n));
                break;
            }
            for (int d = 0; d < n; ++d) {
                const WACDEVICE_STRUCT& got = s->Device[d];
                const SiteDevice& want = st.devices[static_cast<size_t>(d)];
                bool ok = got.DeviceID == want.id && want.name == got.DeviceName &&
                          got.PtzCount == static_cast<int>(want.ptz.size());
                for (size_t p = 0; ok && p < want.ptz.size(); ++p)
                    ok = got.PtzDevice[p].PtzID == want.ptz[p].id && want.ptz[p].name == got.PtzDevice[p].PtzName;
                if (!ok) m_failures.Add(who + ": device " + std::to_string(d) + " of " + st.id + " wrong");
            }
            break;
        }
        case 2:
        case 3: {  // set, then read back
            const std::string name = "P" + std::to_string(slot);
            int value = static_cast<int>(rng() % 1001);
            int rc = c.SetVpmParameterValue(st.id.c_str(), name.c_str(), value);
            int got = c.GetVpmParameterValue(st.id.c_str(), name.c_str());
            m_counters.exchanges += 2;
            if (rc != 0 || got != value)
                m_failures.Add(who + ": " + st.id + " " + name + " set " + std::to_string(value) + " (" +
                               std::to_string(rc) + "), read " + std::to_string(got));
            break;
        }
        case 4: {  // refusals come back as the server's codes
            CString reply;
            int rc = c.SendCommand(st.id.c_str(), "NoSuchCommand", "A=1;", reply);
            int range = c.SetVpmParameterValue(st.id.c_str(), ("P" + std::to_string(slot)).c_str(), 5000);
            m_counters.exchanges += 2;
            if (rc <= 0 || range <= 0 || reply.GetLength() == 0)
                m_failures.Add(who + ": refusals gave " + std::to_string(rc) + ", " + std::to_string(range));
            break;
        }
        default: {  // upload, then download the same file
            const std::string name = "soak-" + std::to_string(slot) + "-" + std::to_string(rng() % 4) + ".bin";
            const size_t size = rng() % 8 == 0 ? 0 : rng() % (256 << 10);
            const std::string content = Content(rng, size);
            const std::string path = m_dir + "/" + name;
            {
                std::ofstream out(path, std::ios::binary | std::ios::trunc);
                out.write(content.data(), static_cast<std::streamsize>(content.size()));
            }
            int up = c.SendFile(st.id.c_str(), name.c_str());
            ++m_counters.uploads;
            if (up != 0) {
                m_failures.Add(who + ": SendFile " + name + " (" + std::to_string(size) + " bytes) gave " +
                               std::to_string(up));
                break;
            }
            int down = c.ReceiveFile(st.id.c_str(), name.c_str());
            ++m_counters.downloads;
            std::string got;
            if (down != 0 || !ReadFile(path, got) || got != content)
                m_failures.Add(who + ": ReceiveFile " + name + " gave " + std::to_string(down) +
                               (down == 0 ? ", content differs" : ""));
            break;
        }
        }
    }

private:
    unsigned short m_port;
    const std::vector<SiteStation>& m_site;
    std::string m_dir;
    Failures& m_failures;
    Counters& m_counters;
};

// ---- the alarm receivers --------------------------------------------------------------

class AlarmReceiver {
public:
    AlarmReceiver(const std::string& oamId, const std::vector<SiteStation>& site, Failures& failures)
        : m_site(site), m_failures(failures), m_id(oamId) {
        m_sock.PeerList.Add(kPeerAddress);
        m_sock.OamId = oamId.c_str();
        m_sock.Callback = &AlarmReceiver::OnAlarm;
        m_sock.UserData = reinterpret_cast<LONG_PTR>(this);
        if (m_sock.Create(0, nullptr) != 1) {
            failures.Add(oamId + ": Create failed");
            return;
        }
        m_loop = std::thread([this] { m_sock.Receive(); });
    }
    ~AlarmReceiver() { Stop(); }
    void Stop() {
        if (!m_loop.joinable()) return;
        m_sock.Close();
        m_loop.join();
    }
    long Count() {
        std::lock_guard<std::mutex> g(m_mutex);
        return m_count;
    }
    int64_t LastId() {
        std::lock_guard<std::mutex> g(m_mutex);
        return m_last;
    }

private:
    static int OnAlarm(ALARM_STRUCT* a, LONG_PTR user) {
        reinterpret_cast<AlarmReceiver*>(user)->Check(*a);
        return 0;
    }
    // The peer numbers its alarms 1, 2, 3...; each goes to every receiver,
    // so a receiver sees consecutive numbers: none lost, none twice, in
    // order. The rest of the record follows from the number and the site.
    void Check(const ALARM_STRUCT& a) {
        std::lock_guard<std::mutex> g(m_mutex);
        ++m_count;
        if (m_last >= 0 && a.ID != m_last + 1)
            m_failures.Add(m_id + ": alarm " + std::to_string(a.ID) + " after " + std::to_string(m_last));
        m_last = a.ID;
        const SiteStation& st = m_site[static_cast<size_t>(a.ID - 1) % m_site.size()];
        bool ok = st.id == a.Text1 && (a.Type == 0 || a.Type == 1) && a.AlarmID == 100 + (a.ID - 1) % 4 &&
                  memchr(a.Text3, 0, sizeof a.Text3) != nullptr && strstr(a.Text3, st.name.c_str()) != nullptr;
        if (ok && a.Type == 1) {
            static const char* const objects[] = {"person", "vehicle", "bicycle"};
            ok = strcmp(a.ObjText, objects[a.ID % 3]) == 0;
        }
        if (!ok) m_failures.Add(m_id + ": alarm " + std::to_string(a.ID) + " decoded wrong: " + a.Text1 + " / " + a.Text3);
    }

    const std::vector<SiteStation>& m_site;
    Failures& m_failures;
    std::string m_id;
    CAlarmSocket m_sock;
    std::thread m_loop;
    std::mutex m_mutex;
    long m_count = 0;
    int64_t m_last = -1;
};

// ---- the run ----------------------------------------------------------------------------

struct Sample {
    double at;  // seconds since the start
    long rss;
    int fds;
};

long Median(std::vector<long> v) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

TEST(Soak, ChannelsFilesAndAlarmsStayCorrectAndFlat) {
    const char* env = getenv("OAM_SOAK_SECONDS");
    const int seconds = env && atoi(env) > 0 ? atoi(env) : 180;
    const double warmup = seconds / 4.0;
    const int fdsAtStart = OpenHandleCount();

    const std::vector<SiteStation> site = Site();
    const ModuleDir moduleDir("oamsdk-soak");
    ASSERT_TRUE(moduleDir.ok());
    const std::string& dir = moduleDir.path();
    const std::string config = dir + "/site.json";
    {
        std::ofstream out(config);
        out << SiteJson(site);
    }

    oamtest::SimOptions opt;
    opt.alarmBind = kPeerAddress;
    opt.stdinControl = true;
    opt.extraArgs = {"--config", config, "-q"};
    oamtest::SimProcess sim(opt);
    std::string error;
    ASSERT_TRUE(sim.Start(error)) << error;

    Failures failures;
    Counters counters;
    Work work(sim.Port(), site, dir, failures, counters);
    std::atomic<bool> stop{false};
    const Clock::time_point start = Clock::now();
    auto elapsed = [&] { return std::chrono::duration<double>(Clock::now() - start).count(); };

    // Alarms: both receivers registered (each has seen an alarm) before
    // the counted bursts begin.
    AlarmReceiver rxA("soak-a", site, failures), rxB("soak-b", site, failures);
    ASSERT_TRUE(oamtest::WaitFor(
        [&] {
            if (rxA.Count() > 0 && rxB.Count() > 0) return true;
            sim.Control("alarm 0");
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            return false;
        },
        20000))
        << "the receivers never heard from the peer: " << sim.Log();

    std::vector<std::thread> threads;
    for (int w = 0; w < kWorkers; ++w) {
        threads.emplace_back([&, w] {
            std::mt19937 rng(1000 + w);
            CClientSocket c;
            if (!work.Connect(c, "thread " + std::to_string(w))) return;
            while (!stop) work.Step(c, w, rng, true);
            c.Close();
        });
    }
    // Two threads on one channel: the lock keeps their exchanges apart.
    CClientSocket shared;
    ASSERT_TRUE(work.Connect(shared, "shared"));
    for (int t = 0; t < kSharedThreads; ++t) {
        threads.emplace_back([&, t] {
            std::mt19937 rng(2000 + t);
            while (!stop) work.Step(shared, kWorkers + t, rng, false);
        });
    }
    // Bursts of alarms from the peer, a few a second.
    long demanded = 0;
    std::thread alarms([&] {
        while (!stop) {
            if (sim.Control("alarm mixed x200")) demanded += 200;
            for (int i = 0; i < 10 && !stop; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    });

    std::vector<Sample> samples;
    while (elapsed() < seconds) {
        std::this_thread::sleep_for(std::chrono::seconds(1));
        samples.push_back(Sample{elapsed(), ResidentBytes(), OpenHandleCount()});
    }
    stop = true;
    for (std::thread& t : threads) t.join();
    alarms.join();
    shared.Close();

    // Every alarm demanded reaches both receivers (the peer may still be
    // sending the last burst).
    EXPECT_TRUE(oamtest::WaitFor(
        [&] { return rxA.Count() >= demanded && rxB.Count() >= demanded && rxA.LastId() == rxB.LastId(); }, 30000))
        << rxA.Count() << " and " << rxB.Count() << " of " << demanded;
    counters.alarms = rxA.Count() + rxB.Count();
    rxA.Stop();
    rxB.Stop();
    EXPECT_EQ(sim.Stop(), 0) << sim.Log();

    // Flat after the warm-up: descriptors never above the warm-up's
    // highest, memory not growing from the first steady samples to the last.
    std::vector<long> early, late;
    int fdWarm = 0, fdAfter = 0;
    for (const Sample& s : samples) {
        if (s.at <= warmup) fdWarm = std::max(fdWarm, s.fds);
        else fdAfter = std::max(fdAfter, s.fds);
    }
    for (const Sample& s : samples) {
        if (s.at > warmup && early.size() < 10) early.push_back(s.rss);
    }
    for (size_t i = samples.size() > 10 ? samples.size() - 10 : 0; i < samples.size(); ++i)
        late.push_back(samples[i].rss);
    const long rssEarly = Median(early), rssLate = Median(late);
    printf("soak: %d s, %ld exchanges, %ld queries, %ld uploads, %ld downloads, %ld alarms delivered (%ld demanded "
           "per receiver after registration)\n",
           seconds, counters.exchanges.load(), counters.queries.load(), counters.uploads.load(),
           counters.downloads.load(), counters.alarms.load(), demanded);
    printf("soak: descriptors %d at start, at most %d in the warm-up, at most %d after; resident %.1f MiB after the "
           "warm-up, %.1f MiB at the end\n",
           fdsAtStart, fdWarm, fdAfter, rssEarly / 1048576.0, rssLate / 1048576.0);

    EXPECT_EQ(failures.Count(), 0) << failures.Text();
    EXPECT_GT(counters.uploads.load(), 0);
    EXPECT_LE(fdAfter, fdWarm) << "descriptors grew after the warm-up";
#ifndef OAMSDK_SANITIZED
    // (A sanitizer's quarantine makes the resident set meaningless.)
    EXPECT_LE(rssLate - rssEarly, std::max(8L << 20, rssEarly / 20)) << "memory grew after the warm-up";
#endif
    EXPECT_EQ(OpenHandleCount(), fdsAtStart) << "descriptors left open at the end";
}

}  // namespace
}  // namespace oamtest
