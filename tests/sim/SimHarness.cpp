#include "SimHarness.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace oamtest {

namespace {

std::vector<char*> Argv(const std::string& program, const std::vector<std::string>& args) {
    std::vector<char*> v;
    v.push_back(const_cast<char*>(program.c_str()));
    for (const std::string& a : args) v.push_back(const_cast<char*>(a.c_str()));
    v.push_back(nullptr);
    return v;
}

// Waits for the child, at most `ms`; true when it has exited.
bool WaitChild(pid_t pid, int ms, int& status) {
    return WaitFor(
        [&] {
            pid_t r = ::waitpid(pid, &status, WNOHANG);
            return r == pid || (r < 0 && errno == ECHILD);
        },
        ms);
}

int ExitOf(int status) {
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

std::string BinaryDir() {
    const char* d = getenv("OAMSDK_TEST_BINARY_DIR");
    return std::string(d && *d ? d : ".") + "/bin";
}

bool SimProcess::Start(std::string& error) {
    std::string portFile;
    if (!Prepare('/', portFile, error)) return false;
    std::vector<std::string> args = Arguments(portFile);
    std::string program = BinaryDir() + "/oam-sim";

    int in[2] = {-1, -1};
    if (m_opt.stdinControl && ::pipe2(in, O_CLOEXEC) != 0) {
        error = "pipe failed";
        return false;
    }
    int logFd = ::open(m_log.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    auto argv = Argv(program, args);
    pid_t pid = ::fork();
    if (pid == 0) {
        if (in[0] >= 0)
            ::dup2(in[0], 0);
        else
            ::dup2(::open("/dev/null", O_RDONLY), 0);
        ::dup2(logFd, 2);
        ::dup2(logFd, 1);
        ::execv(program.c_str(), argv.data());
        _exit(127);
    }
    ::close(logFd);
    if (in[0] >= 0) ::close(in[0]);
    m_stdin = in[1];
    if (pid < 0) {
        error = "fork failed";
        return false;
    }
    m_pid = pid;
    int status = 0;
    bool up = WaitFor(
        [&] {
            if (::waitpid(m_pid, &status, WNOHANG) == m_pid) {
                m_pid = -1;
                return true;
            }
            return Listening(portFile);
        },
        15000);
    if (!up || m_pid < 0) {
        error = "oam-sim did not start: " + Log();
        return false;
    }
    return true;
}

bool SimProcess::Control(const std::string& line) {
    if (m_stdin < 0) return false;
    std::string l = line + "\n";
    return ::write(m_stdin, l.data(), l.size()) == static_cast<ssize_t>(l.size());
}

bool SimProcess::Signal(int sig) {
    return m_pid > 0 && ::kill(m_pid, sig) == 0;
}

int SimProcess::Stop() {
    if (m_stdin >= 0) {
        ::close(m_stdin);
        m_stdin = -1;
    }
    if (m_pid <= 0) return -1;
    int status = 0;
    ::kill(m_pid, SIGTERM);
    if (!WaitChild(m_pid, 10000, status)) {
        ::kill(m_pid, SIGKILL);
        ::waitpid(m_pid, &status, 0);
        m_pid = -1;
        return -1;
    }
    m_pid = -1;
    return ExitOf(status);
}

RunResult Run(const std::string& program, const std::vector<std::string>& args, int limitMs,
              const std::vector<std::string>& env, const std::function<bool(const std::string& err)>& holdOut) {
    return RunWatched(program, args, limitMs, nullptr, env, holdOut);
}

RunResult RunWatched(const std::string& program, const std::vector<std::string>& args, int limitMs,
                     const std::function<bool(const RunResult&)>& interruptWhen, const std::vector<std::string>& env,
                     const std::function<bool(const std::string& err)>& holdOut) {
    RunResult res;
    bool interrupted = false;
    int out[2], err[2];
    if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) return res;
    auto argv = Argv(program, args);
    std::vector<std::string> envCopy = env;
    pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(::open("/dev/null", O_RDONLY), 0);
        ::dup2(out[1], 1);
        ::dup2(err[1], 2);
        for (const std::string& e : envCopy) ::putenv(const_cast<char*>(e.c_str()));
        ::execv(program.c_str(), argv.data());
        _exit(127);
    }
    ::close(out[1]);
    ::close(err[1]);
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
    bool outOpen = true, errOpen = true;
    char buf[4096];
    while ((outOpen || errOpen) && std::chrono::steady_clock::now() < end) {
        if (interruptWhen && !interrupted && interruptWhen(res)) {
            ::kill(pid, SIGINT);
            interrupted = true;
        }
        bool readOut = outOpen && !(holdOut && holdOut(res.err));
        pollfd p[2] = {{readOut ? out[0] : -1, POLLIN, 0}, {errOpen ? err[0] : -1, POLLIN, 0}};
        if (::poll(p, 2, 50) <= 0) continue;
        for (int i = 0; i < 2; ++i) {
            if (!(p[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            ssize_t n = ::read(p[i].fd, buf, sizeof buf);
            if (n <= 0) {
                (i == 0 ? outOpen : errOpen) = false;
                continue;
            }
            (i == 0 ? res.out : res.err).append(buf, static_cast<size_t>(n));
        }
    }
    int status = 0;
    int left = static_cast<int>(
        std::max<long long>(0, std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now()).count()));
    if (!WaitChild(pid, left, status)) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, &status, 0);
        res.exitCode = -1;
    } else {
        res.exitCode = ExitOf(status);
    }
    ::close(out[0]);
    ::close(err[0]);
    return res;
}

}  // namespace oamtest
