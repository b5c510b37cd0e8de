// One command exchange through the Python package (ctypes over the C
// interface) beside the same exchange from C++ (CClientSocket::SendCommand),
// both against one loopback responder, and the exchange awaited through
// oamsdk.aio beside the package's synchronous one. The Python side is a
// child process that runs a round of exchanges whenever asked; rounds of all
// three alternate so that their ratios are measured under the same load.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>

#include "ClientSocket.h"
#include "Loopback.h"
#include "WireText.h"

namespace {

const size_t kMessageBytes = 60;
const int kRoundExchanges = 1000;
const int kRounds = 30;

// Answers every request on every connection it accepts, a thread each.
class Responder {
public:
    Responder() {
        m_listen = oamtest::ListenTcp(&m_port, 4);
        m_accept = std::thread([this] { AcceptLoop(); });
    }
    ~Responder() {
        m_stop = true;
        shutdown(m_listen, SHUT_RDWR);
        m_accept.join();
        for (int fd : m_fds) shutdown(fd, SHUT_RDWR);
        for (std::thread& t : m_threads) t.join();
        for (int fd : m_fds) close(fd);
        close(m_listen);
    }
    unsigned short port() const { return m_port; }

private:
    void AcceptLoop() {
        while (!m_stop && m_fds.size() < 3) {
            int fd = accept(m_listen, nullptr, nullptr);
            if (fd < 0) return;
            m_fds.push_back(fd);
            m_threads.emplace_back([fd] {
                char buf[4096];
                for (;;) {
                    ssize_t n = recv(fd, buf, sizeof buf, 0);
                    if (n <= 0) return;
                    std::string reply = oamtest::PaddedReply(buf, static_cast<size_t>(n), kMessageBytes);
                    if (send(fd, reply.data(), reply.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(reply.size()))
                        return;
                }
            });
        }
    }
    int m_listen;
    uint16_t m_port = 0;
    std::atomic<bool> m_stop{false};
    std::thread m_accept;
    std::vector<int> m_fds;
    std::vector<std::thread> m_threads;
};

// The Python child: rounds are asked for on its stdin, results read from
// its stdout.
class PythonSide {
public:
    bool Start(unsigned short port) {
        int in[2], out[2];
        if (pipe(in) != 0 || pipe(out) != 0) return false;
        m_pid = fork();
        if (m_pid == 0) {
            dup2(in[0], 0);
            dup2(out[1], 1);
            close(in[1]);
            close(out[0]);
            setenv("OAMSDK_LIBRARY", OAM_LIBRARY, 1);
            setenv("PYTHONPATH", OAM_PYTHON_PACKAGE, 1);
            setenv("PYTHONDONTWRITEBYTECODE", "1", 1);
            std::string p = std::to_string(port);
            execl(OAM_PYTHON, OAM_PYTHON, OAM_PYTHON_SCRIPT, p.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        close(in[0]);
        close(out[1]);
        m_to = in[1];
        m_from = fdopen(out[0], "r");
        return m_pid > 0 && m_from;
    }
    // Mean microseconds of one exchange over n, or a negative value;
    // awaited: through oamsdk.aio.
    double Round(int n, long& failures, bool awaited = false) {
        std::string line = (awaited ? "a" : "") + std::to_string(n) + "\n";
        if (write(m_to, line.data(), line.size()) != static_cast<ssize_t>(line.size())) return -1;
        char buf[128];
        if (!fgets(buf, sizeof buf, m_from)) return -1;
        double us = -1;
        long f = 0;
        if (sscanf(buf, "%lf %ld", &us, &f) != 2) return -1;
        failures += f;
        return us;
    }
    ~PythonSide() {
        if (m_to >= 0) close(m_to);
        if (m_from) fclose(m_from);
        if (m_pid > 0) {
            int status;
            waitpid(m_pid, &status, 0);
        }
    }

private:
    pid_t m_pid = -1;
    int m_to = -1;
    FILE* m_from = nullptr;
};

void BM_PythonVsCpp(benchmark::State& state) {
    Responder responder;
    CClientSocket channel;
    if (!channel.Create(responder.port(), "127.0.0.1")) {
        state.SkipWithError("channel did not connect");
        return;
    }
    PythonSide python;
    if (!python.Start(responder.port())) {
        state.SkipWithError("python did not start");
        return;
    }
    const CString station("7"), command("Bench"), params("Pad=xxxxxxxxxxxxxxxxx;");
    CString reply;
    long failures = 0;

    auto cppRound = [&](int n) {
        auto t0 = std::chrono::steady_clock::now();
        for (int i = 0; i < n; ++i)
            if (channel.SendCommand(station, command, params, reply) != 0) ++failures;
        return std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - t0).count() / n;
    };

    // Warm up both (and the Python import and first calls).
    cppRound(kRoundExchanges);
    if (python.Round(kRoundExchanges, failures) < 0 || python.Round(kRoundExchanges, failures, true) < 0) {
        state.SkipWithError("python round failed");
        return;
    }
    std::vector<double> cpp, py, aio;
    for (auto _ : state) {
        for (int r = 0; r < kRounds; ++r) {
            cpp.push_back(cppRound(kRoundExchanges));
            double p = python.Round(kRoundExchanges, failures);
            if (p < 0) {
                state.SkipWithError("python round failed");
                return;
            }
            py.push_back(p);
            double a = python.Round(kRoundExchanges, failures, true);
            if (a < 0) {
                state.SkipWithError("python awaited round failed");
                return;
            }
            aio.push_back(a);
        }
    }
    channel.Close();
    // The best round of each: the least disturbed by the rest of the machine.
    double c = *std::min_element(cpp.begin(), cpp.end());
    double p = *std::min_element(py.begin(), py.end());
    double a = *std::min_element(aio.begin(), aio.end());
    state.counters["python_us"] = p;
    state.counters["aio_us"] = a;
    state.counters["aio_ratio"] = a / p;
    state.counters["cpp_us"] = c;
    state.counters["ratio"] = p / c;
    state.counters["failures"] = static_cast<double>(failures);
    std::printf("one exchange: Python %.2f us, C++ %.2f us, ratio %.3f (target <= 2)\n", p, c, p / c);
    std::printf("one exchange awaited (oamsdk.aio): %.2f us, Python %.2f us, ratio %.3f (target <= 2)\n", a, p, a / p);
}

BENCHMARK(BM_PythonVsCpp)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
