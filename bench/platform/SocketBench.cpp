// Cost of the socket layer per call, beside the same POSIX calls in the
// same run: a 64-byte echo round trip over loopback TCP, and a receive on an
// empty non-blocking UDP socket (the alarm loop's idle pass, all overhead).
// The layer adds a handle check and a reference count per call; the round
// trip should stay within a few per cent of the raw one.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>

#include <benchmark/benchmark.h>

#include "Loopback.h"
#include "oam_win.h"

namespace {

const int kMsg = 64;

// Echoes every message back on each accepted connection until it closes.
class Echo {
public:
    Echo() {
        lfd_ = oamtest::ListenTcp(&port_, 4);
        thread_ = std::thread([this] {
            for (int i = 0; i < 2; ++i) {
                int c = ::accept(lfd_, nullptr, nullptr);
                if (c < 0) return;
                int one = 1;
                ::setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
                workers_[i] = std::thread([c] {
                    char buf[kMsg];
                    ssize_t n;
                    while ((n = ::recv(c, buf, sizeof buf, MSG_WAITALL)) > 0) ::send(c, buf, static_cast<size_t>(n), MSG_NOSIGNAL);
                    ::close(c);
                });
            }
        });
    }
    ~Echo() {
        ::shutdown(lfd_, SHUT_RDWR);
        thread_.join();
        for (auto& w : workers_)
            if (w.joinable()) w.join();
        ::close(lfd_);
    }
    uint16_t port() const { return port_; }

private:
    int lfd_;
    uint16_t port_;
    std::thread thread_;
    std::thread workers_[2];
};

Echo& TheEcho() {
    static Echo* e = new Echo;  // lives for the whole run
    return *e;
}

SOCKET LayerClient() {
    SOCKET s = win::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in a = oamtest::Loopback(TheEcho().port());
    win::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
    int one = 1;
    win::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
    return s;
}

int RawClient() {
    int fd = oamtest::ConnectTcp(TheEcho().port());
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
}

SOCKET g_layer = 0;
int g_raw = -1;

void LayerTrip(char* buf) {
    win::send(g_layer, buf, kMsg, 0);
    int got = 0;
    while (got < kMsg) got += win::recv(g_layer, buf + got, kMsg - got, 0);
}

void RawTrip(char* buf) {
    ::send(g_raw, buf, kMsg, MSG_NOSIGNAL);
    int got = 0;
    while (got < kMsg) got += static_cast<int>(::recv(g_raw, buf + got, static_cast<size_t>(kMsg - got), 0));
}

void BM_RoundTripLayer(benchmark::State& state) {
    char buf[kMsg] = {1};
    for (auto _ : state) LayerTrip(buf);
}
BENCHMARK(BM_RoundTripLayer);

void BM_RoundTripRaw(benchmark::State& state) {
    char buf[kMsg] = {1};
    for (auto _ : state) RawTrip(buf);
}
BENCHMARK(BM_RoundTripRaw);

void BM_EmptyReceiveLayer(benchmark::State& state) {
    SOCKET s = win::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    sockaddr_in a = oamtest::Loopback(0);
    win::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
    unsigned long on = 1;
    win::ioctlsocket(s, WIN_FIONBIO, &on);
    char buf[64];
    for (auto _ : state) benchmark::DoNotOptimize(win::recv(s, buf, sizeof buf, 0));
    win::closesocket(s);
}
BENCHMARK(BM_EmptyReceiveLayer);

void BM_EmptyReceiveRaw(benchmark::State& state) {
    int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0);
    sockaddr_in a = oamtest::Loopback(0);
    ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    char buf[64];
    for (auto _ : state) benchmark::DoNotOptimize(::recv(fd, buf, sizeof buf, 0));
    ::close(fd);
}
BENCHMARK(BM_EmptyReceiveRaw);

// Best of interleaved rounds, so both sides see the same machine state.
void PrintRatio() {
    using Clock = std::chrono::steady_clock;
    char buf[kMsg] = {1};
    const int n = 20000;
    double layer = 1e30, raw = 1e30;
    for (int round = 0; round < 5; ++round) {
        auto t0 = Clock::now();
        for (int i = 0; i < n; ++i) LayerTrip(buf);
        auto t1 = Clock::now();
        for (int i = 0; i < n; ++i) RawTrip(buf);
        auto t2 = Clock::now();
        layer = std::min(layer, std::chrono::duration<double, std::micro>(t1 - t0).count() / n);
        raw = std::min(raw, std::chrono::duration<double, std::micro>(t2 - t1).count() / n);
    }
    std::printf("64-byte round trip: layer %.2f us, raw POSIX %.2f us, time ratio %.3f\n", layer, raw, layer / raw);
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    g_layer = LayerClient();
    g_raw = RawClient();
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    PrintRatio();
    win::closesocket(g_layer);
    ::close(g_raw);
    return 0;
}
