// One command exchange against a loopback responder, beside a raw blocking
// send+recv round trip of the same bytes, measured alternately in the same
// loop with the same thread placement so that their ratio means something.
//
// Arg 0: client and responder pinned to one CPU; arg 1: to two different CPUs.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <pthread.h>
#include <sched.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include <benchmark/benchmark.h>

#include "ClientSocket.h"
#include "Loopback.h"
#include "WireText.h"

namespace {

const size_t kMessageBytes = 60;

void Pin(pthread_t t, int cpu) {
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    pthread_setaffinity_np(t, sizeof set, &set);
}

int CpuCount() {
    cpu_set_t set;
    CPU_ZERO(&set);
    sched_getaffinity(0, sizeof set, &set);
    return CPU_COUNT(&set);
}

// Accepts two connections (the channel's, then the raw one) and answers
// them in strict turn, as the benchmark loop alternates.
class Responder {
public:
    Responder() {
        m_listen = oamtest::ListenTcp(&m_port, 4);
    }
    ~Responder() {
        if (m_thread.joinable()) m_thread.join();
        close(m_listen);
    }
    unsigned short port() const { return m_port; }
    // Call after both clients have connected (the backlog holds them).
    void start(int cpu) {
        m_thread = std::thread([this] { run(); });
        Pin(m_thread.native_handle(), cpu);
    }

private:
    void run() {
        int fds[2];
        for (int& fd : fds) fd = accept(m_listen, nullptr, nullptr);
        char buf[4096];
        for (unsigned turn = 0;; ++turn) {
            int fd = fds[turn & 1];
            ssize_t n = recv(fd, buf, sizeof buf, 0);
            if (n <= 0) break;
            std::string reply = oamtest::PaddedReply(buf, static_cast<size_t>(n), kMessageBytes);
            if (send(fd, reply.data(), reply.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(reply.size())) break;
        }
        for (int fd : fds) close(fd);
    }
    int m_listen;
    uint16_t m_port = 0;
    std::thread m_thread;
};

// A plain socket set up as the channel sets up its own.
int RawClient(unsigned short port) {
    int fd = oamtest::ConnectTcp(port);
    if (fd < 0) return -1;
    timeval tv{15, 0};
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    int size = 655360;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
    return fd;
}

void BM_ExchangeVsRaw(benchmark::State& state) {
    const bool split = state.range(0) == 1;
    if (split && CpuCount() < 2) {
        state.SkipWithError("needs two CPUs");
        return;
    }
    pthread_t self = pthread_self();
    cpu_set_t saved;
    pthread_getaffinity_np(self, sizeof saved, &saved);
    Pin(self, 0);

    Responder responder;
    CClientSocket channel;
    if (!channel.Create(responder.port(), "127.0.0.1")) {
        state.SkipWithError("channel did not connect");
        return;
    }
    int raw = RawClient(responder.port());
    responder.start(split ? 1 : 0);

    // Requests of 60 bytes once the counter has five digits; the raw request
    // is one such request.
    const CString station("7"), command("Bench");
    const CString params("Pad=xxxxxxxxxxxxxxxxx;");
    std::string rawRequest = "SESSIONID=12345;STATIONID=7;CMD=Bench;Pad=xxxxxxxxxxxxxxxxx;";
    char buf[4096];
    CString reply;

    // Warm up, and bring the counter to five digits.
    for (int i = 0; i < 10000; ++i) {
        channel.SendCommand(station, command, params, reply);
        send(raw, rawRequest.data(), rawRequest.size(), MSG_NOSIGNAL);
        recv(raw, buf, sizeof buf, 0);
    }

    typedef std::chrono::steady_clock Clock;
    Clock::duration lib{}, plain{};
    int64_t failures = 0;
    for (auto _ : state) {
        auto t0 = Clock::now();
        if (channel.SendCommand(station, command, params, reply) != 0) ++failures;
        auto t1 = Clock::now();
        send(raw, rawRequest.data(), rawRequest.size(), MSG_NOSIGNAL);
        if (recv(raw, buf, sizeof buf, 0) != static_cast<ssize_t>(kMessageBytes)) ++failures;
        auto t2 = Clock::now();
        lib += t1 - t0;
        plain += t2 - t1;
    }
    channel.Close();
    close(raw);
    pthread_setaffinity_np(self, sizeof saved, &saved);

    double n = static_cast<double>(state.iterations());
    double libUs = std::chrono::duration<double, std::micro>(lib).count() / n;
    double rawUs = std::chrono::duration<double, std::micro>(plain).count() / n;
    state.counters["exchange_us"] = libUs;
    state.counters["raw_us"] = rawUs;
    state.counters["ratio"] = libUs / rawUs;
    state.counters["failures"] = static_cast<double>(failures);
    std::printf("%s: exchange %.2f us, raw round trip %.2f us, ratio %.3f (target <= 1.25)\n",
                split ? "two CPUs" : "one CPU", libUs, rawUs, libUs / rawUs);
}

BENCHMARK(BM_ExchangeVsRaw)->Arg(0)->Arg(1)->MinTime(2.0)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
