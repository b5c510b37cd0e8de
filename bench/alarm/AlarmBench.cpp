// Alarm delivery: latency from a datagram sent to the host's callback
// entered, beside a plain blocking recv on a UDP socket measured in the same
// run, and the largest back-to-back burst delivered without loss.
//
// Targets: median latency at most twice the plain figure plus 50 us; a
// burst of 10,000 alarms delivered whole.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "AlarmSocket.h"
#include "UdpPeers.h"

namespace {

using Clock = std::chrono::steady_clock;

int64_t Now() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
}

struct Arrivals {
    std::atomic<int64_t> count{0};
    std::atomic<int64_t> last{0};  // when the latest one was seen, ns
    void Seen() {
        last.store(Now(), std::memory_order_relaxed);
        count.fetch_add(1, std::memory_order_release);
    }
};

int OnAlarm(ALARM_STRUCT*, LONG_PTR user) {
    reinterpret_cast<Arrivals*>(user)->Seen();
    return 0;
}

// A receiver running its loop on a thread of its own.
class RunningReceiver {
public:
    RunningReceiver() {
        sock.Callback = &OnAlarm;
        sock.UserData = reinterpret_cast<LONG_PTR>(&arrivals);
        ok = sock.Create(0, nullptr) == 1;
        sockaddr_in a{};
        int n = sizeof a;
        if (ok && win::getsockname(sock.Socket.load(), reinterpret_cast<sockaddr*>(&a), &n) == 0) port = ntohs(a.sin_port);
        if (ok) thread = std::thread([this] { sock.Receive(); });
    }
    ~RunningReceiver() {
        sock.Close();
        if (thread.joinable()) thread.join();
    }
    CAlarmSocket sock;
    Arrivals arrivals;
    bool ok = false;
    uint16_t port = 0;
    std::thread thread;
};

// A blocking recv loop on a plain socket, the reference.
class RunningPlain {
public:
    RunningPlain() : sock("127.0.0.1") {
        thread = std::thread([this] {
            char buffer[65536];
            while (!stop.load() && sock.Receive(buffer, sizeof buffer) > 0) arrivals.Seen();
        });
    }
    ~RunningPlain() {
        stop = true;
        sock.Unblock();
        thread.join();
    }
    oamtest::BlockingUdpSocket sock;
    Arrivals arrivals;
    std::atomic<bool> stop{false};
    std::thread thread;
};

const std::string kAlarm =
    "ID=17;Camera=Gate 1;DeviceID=3;Type=1;AlarmID=42;Zone=North;Detail=Person crossing line;Obj=Person;"
    "ObjWidth=40;ObjHeight=90;ObjColor=255;ObjPosX=120;ObjPosY=200;ObjSpeed=7;ObjDir=1.5;ObjRoi=2;";

// One datagram, then wait for it to be seen; gives the latency in ns or -1.
int64_t OneTrip(oamtest::UdpSender& sender, uint16_t port, Arrivals& arrivals) {
    int64_t before = arrivals.count.load(std::memory_order_acquire);
    int64_t sent = Now();
    sender.SendTo("127.0.0.1", port, kAlarm);
    int64_t deadline = sent + 2000000000LL;
    while (arrivals.count.load(std::memory_order_acquire) == before) {
        if (Now() > deadline) return -1;
        std::this_thread::yield();
    }
    return arrivals.last.load(std::memory_order_relaxed) - sent;
}

double Percentile(std::vector<int64_t> v, double p) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    size_t i = static_cast<size_t>(p * static_cast<double>(v.size() - 1));
    return static_cast<double>(v[i]) / 1000.0;
}

void BM_AlarmLatency(benchmark::State& state) {
    const int samples = static_cast<int>(state.range(0));
    RunningReceiver receiver;
    RunningPlain plain;
    oamtest::UdpSender sender;
    if (!receiver.ok || !plain.sock.ok() || !sender.ok()) {
        state.SkipWithError("cannot bind loopback sockets");
        return;
    }
    std::vector<int64_t> alarm, raw;
    int lost = 0;
    for (auto _ : state) {
        for (int i = 0; i < samples; ++i) {
            // Alarms arrive one at a time here: let each receiver settle
            // into its wait before the next datagram.
            std::this_thread::sleep_for(std::chrono::microseconds(200));
            int64_t r = OneTrip(sender, plain.sock.port(), plain.arrivals);
            std::this_thread::sleep_for(std::chrono::microseconds(200));
            int64_t a = OneTrip(sender, receiver.port, receiver.arrivals);
            if (r < 0 || a < 0) {
                ++lost;
                continue;
            }
            raw.push_back(r);
            alarm.push_back(a);
        }
    }
    double alarmMedian = Percentile(alarm, 0.5), rawMedian = Percentile(raw, 0.5);
    state.counters["alarm_median_us"] = alarmMedian;
    state.counters["alarm_p99_us"] = Percentile(alarm, 0.99);
    state.counters["raw_median_us"] = rawMedian;
    state.counters["raw_p99_us"] = Percentile(raw, 0.99);
    state.counters["target_median_us"] = 2 * rawMedian + 50;
    state.counters["lost"] = lost;
    std::printf("alarm latency: median %.1f us, p99 %.1f us; plain recv: median %.1f us, p99 %.1f us; "
                "target median <= %.1f us: %s\n",
                alarmMedian, Percentile(alarm, 0.99), rawMedian, Percentile(raw, 0.99), 2 * rawMedian + 50,
                alarmMedian <= 2 * rawMedian + 50 ? "met" : "MISSED");
}
BENCHMARK(BM_AlarmLatency)->Arg(2000)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

int64_t g_largestWhole = 0;

// N alarms sent back to back; counts how many reach the callback.
void BM_AlarmBurst(benchmark::State& state) {
    const int64_t n = state.range(0);
    int64_t delivered = 0;
    for (auto _ : state) {
        RunningReceiver receiver;
        oamtest::UdpSender sender;
        if (!receiver.ok || !sender.ok()) {
            state.SkipWithError("cannot bind loopback sockets");
            return;
        }
        for (int64_t i = 0; i < n; ++i) sender.SendTo("127.0.0.1", receiver.port, kAlarm);
        // Done when all arrived, or nothing more came for half a second.
        int64_t seen = -1;
        auto quiet = Clock::now();
        while ((delivered = receiver.arrivals.count.load()) < n) {
            if (delivered != seen) {
                seen = delivered;
                quiet = Clock::now();
            } else if (Clock::now() - quiet > std::chrono::milliseconds(500)) {
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
    state.counters["sent"] = static_cast<double>(n);
    state.counters["delivered"] = static_cast<double>(delivered);
    state.counters["lost"] = static_cast<double>(n - delivered);
    if (delivered == n) g_largestWhole = std::max(g_largestWhole, n);
    std::printf("burst of %lld: %lld delivered, %lld lost (largest whole so far %lld; target: 10000 whole)\n",
                static_cast<long long>(n), static_cast<long long>(delivered), static_cast<long long>(n - delivered),
                static_cast<long long>(g_largestWhole));
}
BENCHMARK(BM_AlarmBurst)
    ->Arg(10000)
    ->Arg(20000)
    ->Arg(30000)
    ->Arg(40000)
    ->Arg(80000)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
