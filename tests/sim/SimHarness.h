// Runs the built oam-sim and oamctl as child processes for the end-to-end
// tests: a simulator on an ephemeral loopback port with its own storage,
// and a bounded run of a command with its output captured. On Windows
// (under Wine) oam-sim, a Linux program, runs in the tool peer the test
// script starts (SimHarnessWin32.cpp); paths are Windows paths there.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

#include "TestSystem.h"  // MakeTempDir

namespace oamtest {

std::string BinaryDir();  // the build's bin/

struct SimOptions {
    std::vector<std::string> extraArgs;
    std::string alarmBind;  // empty: --no-alarms
    bool stdinControl = false;
    unsigned short port = 0;  // 0: an ephemeral one; else this one (a restart on the same port)
};

class SimProcess {
public:
    explicit SimProcess(SimOptions options = {});
    ~SimProcess();
    SimProcess(const SimProcess&) = delete;
    SimProcess& operator=(const SimProcess&) = delete;

    // Starts the simulator and waits (bounded) until it accepts
    // connections. False with the log's tail in `error` otherwise.
    bool Start(std::string& error);
    unsigned short Port() const { return m_port; }
    const std::string& StorageDir() const { return m_storage; }
    std::string Log() const;
    // Writes a control line to its stdin (needs stdinControl).
    bool Control(const std::string& line);
    // Sends it the signal (SIGTERM, SIGINT, ...); true when it was sent.
    bool Signal(int sig);
    // Sends SIGTERM and waits (bounded) for the exit; gives the exit status
    // (0..255), or -1 if it had to be killed or died by a signal.
    int Stop();
    bool Running() const { return m_pid > 0; }
    pid_t Pid() const { return m_pid; }

private:
    // Windows: one line to the peer that runs the simulator, one back.
    bool Ask(const std::string& line, std::string& reply);
    // oam-sim's command line after the program name, for a start that
    // writes its port to portFile.
    std::vector<std::string> Arguments(const std::string& portFile) const;
    // A fresh directory for storage, log and port file (paths joined with
    // sep); false with the reason in error when none could be made.
    bool Prepare(char sep, std::string& portFile, std::string& error);
    // Whether the port file is complete and its port takes a connection
    // (m_port is set from it).
    bool Listening(const std::string& portFile);

    SimOptions m_opt;
    std::string m_dir, m_storage, m_log;
    pid_t m_pid = -1;
    int m_stdin = -1;
    int m_peer = -1;  // Windows: the connection to the peer running it
    unsigned short m_port = 0;
};

struct RunResult {
    int exitCode = -1;  // -1: killed after the time limit or by a signal
    std::string out, err;
};

// Runs a program with arguments, no stdin, for at most `limitMs`. While
// holdOut (given the standard error so far) returns true, the standard
// output is not read: once the pipe is full, the program's writes block,
// as behind a consumer that cannot keep up.
RunResult Run(const std::string& program, const std::vector<std::string>& args, int limitMs = 30000,
              const std::vector<std::string>& env = {},
              const std::function<bool(const std::string& err)>& holdOut = nullptr);
// The same, asking `interruptWhen` with the output so far after each read
// (and at least every 50 ms); once it says so, the program gets SIGINT.
// While `holdOut` says so (given stderr so far), stdout is left unread, so
// the program's writes to it block once the pipe is full.
RunResult RunWatched(const std::string& program, const std::vector<std::string>& args, int limitMs,
                     const std::function<bool(const RunResult&)>& interruptWhen,
                     const std::vector<std::string>& env = {},
                     const std::function<bool(const std::string& err)>& holdOut = nullptr);

// A plain TCP client for byte-level checks.
class RawClient {
public:
    RawClient() = default;
    ~RawClient();
    bool Connect(unsigned short port, const char* host = "127.0.0.1");
    bool Send(const std::string& bytes);
    // One receive, waiting up to `ms`; empty on time-out or close.
    std::string RecvOnce(int ms = 5000);
    // Everything that arrives until `ms` pass without data (or `total` bytes).
    std::string RecvAll(int quietMs, size_t total = SIZE_MAX);
    // True when the peer has closed (reads EOF within `ms`).
    bool ClosedByPeer(int ms);
    int Fd() const { return m_fd; }

private:
    int m_fd = -1;
};

// A whole file's bytes (empty when it cannot be read).
std::string ReadWholeFile(const std::string& path);
// Whether 127.0.0.1:port takes a connection.
bool CanConnect(unsigned short port);

// Waits until `pred` holds, polling every few milliseconds, at most `ms`.
template <class Pred>
bool WaitFor(Pred pred, int ms);

}  // namespace oamtest

#include <chrono>
#include <thread>

template <class Pred>
bool oamtest::WaitFor(Pred pred, int ms) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < end) {
        if (pred()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return pred();
}
