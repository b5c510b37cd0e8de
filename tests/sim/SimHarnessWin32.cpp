// The end-to-end harness, Windows side (run under Wine). oam-sim is a
// Linux program, which a Windows program cannot wait for under Wine: the
// tool peer scripts/test.sh starts on the Linux side runs it instead
// (scripts/win-tool-peer.py, found through OAM_TOOL_PEER), one connection
// per simulator, which the peer stops when the connection ends. oamctl.exe
// is a Windows program and runs here as a child process.
#include "SimHarness.h"

#include "TestNet.h"
#include "TestSystem.h"

#include <stdlib.h>
#include <string.h>

#include <filesystem>

namespace oamtest {

namespace {

// A connection to the tool peer carrying one request (arguments one a
// line, ended by an empty line); -1 without the peer.
int PeerRequest(const std::vector<std::string>& lines) {
    const char* peer = getenv("OAM_TOOL_PEER");
    const char* colon = peer ? strrchr(peer, ':') : nullptr;
    if (!colon) return -1;
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<u_short>(atoi(colon + 1)));
    sa.sin_addr.s_addr = inet_addr(std::string(peer, colon).c_str());
    SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) return -1;
    if (::connect(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
        ::closesocket(s);
        return -1;
    }
    DWORD limit = 120000;
    ::setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&limit), sizeof limit);
    std::string request;
    for (const std::string& l : lines) request += l + "\n";
    request += "\n";
    int fd = static_cast<int>(s);
    for (size_t off = 0; off < request.size();) {
        int n = ::send(s, request.data() + off, static_cast<int>(request.size() - off), 0);
        if (n <= 0) {
            oamtest::net::Close(fd);
            return -1;
        }
        off += static_cast<size_t>(n);
    }
    return fd;
}

// Reads up to and without the next newline; false on close or time-out.
bool ReadLine(int fd, std::string& line) {
    line.clear();
    char c;
    while (::recv(static_cast<SOCKET>(fd), &c, 1, 0) == 1) {
        if (c == '\n') return true;
        line += c;
    }
    return false;
}

bool ReadExact(int fd, size_t n, std::string& out) {
    out.clear();
    char buf[4096];
    while (out.size() < n) {
        int got = ::recv(static_cast<SOCKET>(fd), buf, static_cast<int>(std::min(n - out.size(), sizeof buf)), 0);
        if (got <= 0) return false;
        out.append(buf, static_cast<size_t>(got));
    }
    return true;
}

// oam-sim, through the peer: exit status and both outputs.
RunResult RunSim(const std::vector<std::string>& args, int limitMs) {
    RunResult res;
    std::vector<std::string> lines{"@run", std::to_string(limitMs)};
    lines.insert(lines.end(), args.begin(), args.end());
    int fd = PeerRequest(lines);
    if (fd < 0) {
        res.err = "no tool peer (OAM_TOOL_PEER) to run oam-sim";
        return res;
    }
    std::string line;
    if (ReadLine(fd, line)) {
        int code = atoi(line.c_str());
        if (ReadLine(fd, line) && ReadExact(fd, strtoul(line.c_str(), nullptr, 10), res.out) && ReadLine(fd, line) &&
            ReadExact(fd, strtoul(line.c_str(), nullptr, 10), res.err))
            res.exitCode = code;
    }
    oamtest::net::Close(fd);
    return res;
}

// One argument as the C runtime's parser reads it back.
std::string Quote(const std::string& arg) {
    if (!arg.empty() && arg.find_first_of(" \t\"") == std::string::npos) return arg;
    std::string out = "\"";
    size_t slashes = 0;
    for (char c : arg) {
        if (c == '\\') {
            ++slashes;
            continue;
        }
        out.append(c == '"' ? slashes * 2 + 1 : slashes, '\\');
        slashes = 0;
        out += c;
    }
    out.append(slashes * 2, '\\');
    return out + "\"";
}

// The current environment with `overrides` ("NAME=value") put in.
std::string EnvironmentBlock(const std::vector<std::string>& overrides) {
    std::vector<std::string> vars;
    if (char* block = GetEnvironmentStringsA()) {
        for (const char* p = block; *p; p += strlen(p) + 1) vars.emplace_back(p);
        FreeEnvironmentStringsA(block);
    }
    for (const std::string& o : overrides) {
        const std::string name = o.substr(0, o.find('=') + 1);
        for (auto it = vars.begin(); it != vars.end();)
            it = _strnicmp(it->c_str(), name.c_str(), name.size()) == 0 ? vars.erase(it) : it + 1;
        vars.push_back(o);
    }
    std::string out;
    for (const std::string& v : vars) out += v + '\0';
    return out + '\0';
}

bool IsSimulator(const std::string& program) {
    const std::string name = std::filesystem::path(program).filename().string();
    return name == "oam-sim";
}

}  // namespace

std::string BinaryDir() {
    char path[MAX_PATH + 1];
    DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string p(path, n);
    size_t cut = p.find_last_of("\\/");
    return cut == std::string::npos ? std::string(".") : p.substr(0, cut);
}

bool SimProcess::Start(std::string& error) {
    std::string portFile;
    if (!Prepare('\\', portFile, error)) return false;
    std::vector<std::string> lines{"@sim", m_log, m_opt.stdinControl ? "1" : "0"};
    std::vector<std::string> args = Arguments(portFile);
    lines.insert(lines.end(), args.begin(), args.end());
    m_peer = PeerRequest(lines);
    std::string reply;
    if (m_peer < 0 || !ReadLine(m_peer, reply) || reply.rfind("pid ", 0) != 0) {
        error = "oam-sim could not be started through the tool peer (OAM_TOOL_PEER, scripts/test.sh)";
        if (m_peer >= 0) oamtest::net::Close(m_peer);
        m_peer = -1;
        return false;
    }
    m_pid = static_cast<pid_t>(atoi(reply.c_str() + 4));
    bool exited = false;
    bool up = WaitFor(
        [&] {
            std::string state;
            if (!Ask("poll", state) || state != "running") {
                exited = true;
                return true;
            }
            return Listening(portFile);
        },
        15000);
    if (!up || exited) {
        error = "oam-sim did not start: " + Log();
        Stop();
        return false;
    }
    return true;
}

bool SimProcess::Ask(const std::string& line, std::string& reply) {
    if (m_peer < 0) return false;
    std::string l = line + "\n";
    return ::send(static_cast<SOCKET>(m_peer), l.data(), static_cast<int>(l.size()), 0) == static_cast<int>(l.size()) &&
           ReadLine(m_peer, reply);
}

bool SimProcess::Control(const std::string& line) {
    std::string reply;
    return m_opt.stdinControl && Ask("control " + line, reply) && reply == "ok";
}

bool SimProcess::Signal(int sig) {
    std::string reply;
    return Ask("signal " + std::to_string(sig), reply) && reply == "ok";
}

int SimProcess::Stop() {
    if (m_peer < 0) return -1;
    std::string reply;
    int code = Ask("stop", reply) ? atoi(reply.c_str()) : -1;
    oamtest::net::Close(m_peer);
    m_peer = -1;
    m_pid = -1;
    return code;
}

RunResult Run(const std::string& program, const std::vector<std::string>& args, int limitMs,
              const std::vector<std::string>& env, const std::function<bool(const std::string& err)>& holdOut) {
    return RunWatched(program, args, limitMs, nullptr, env, holdOut);
}

RunResult RunWatched(const std::string& program, const std::vector<std::string>& args, int limitMs,
                     const std::function<bool(const RunResult&)>& interruptWhen, const std::vector<std::string>& env,
                     const std::function<bool(const std::string& err)>& holdOut) {
    if (IsSimulator(program)) return RunSim(args, limitMs);
    RunResult res;
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE outRead, outWrite, errRead, errWrite;
    if (!CreatePipe(&outRead, &outWrite, &inherit, 1 << 16)) return res;
    if (!CreatePipe(&errRead, &errWrite, &inherit, 1 << 16)) {
        CloseHandle(outRead);
        CloseHandle(outWrite);
        return res;
    }
    SetHandleInformation(outRead, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(errRead, HANDLE_FLAG_INHERIT, 0);
    HANDLE nul = CreateFileA("NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, OPEN_EXISTING, 0, nullptr);
    STARTUPINFOA si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = nul;
    si.hStdOutput = outWrite;
    si.hStdError = errWrite;
    std::string command = Quote(program);
    for (const std::string& a : args) command += " " + Quote(a);
    std::string block = env.empty() ? std::string() : EnvironmentBlock(env);
    PROCESS_INFORMATION pi{};
    // A group of its own, so that an interrupt reaches it alone.
    BOOL started = CreateProcessA(nullptr, &command[0], nullptr, nullptr, TRUE, CREATE_NEW_PROCESS_GROUP,
                                  env.empty() ? nullptr : &block[0], nullptr, &si, &pi);
    CloseHandle(outWrite);
    CloseHandle(errWrite);
    if (nul != INVALID_HANDLE_VALUE) CloseHandle(nul);
    if (!started) {
        res.err = "cannot start " + program + ": error " + std::to_string(GetLastError());
        CloseHandle(outRead);
        CloseHandle(errRead);
        return res;
    }
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
    bool outOpen = true, errOpen = true, interrupted = false;
    char buf[4096];
    while ((outOpen || errOpen) && std::chrono::steady_clock::now() < end) {
        if (interruptWhen && !interrupted && interruptWhen(res)) {
            GenerateConsoleCtrlEvent(CTRL_BREAK_EVENT, pi.dwProcessId);
            interrupted = true;
        }
        bool any = false;
        for (int i = 0; i < 2; ++i) {
            bool& open = i == 0 ? outOpen : errOpen;
            if (!open || (i == 0 && holdOut && holdOut(res.err))) continue;
            HANDLE h = i == 0 ? outRead : errRead;
            DWORD avail = 0, got = 0;
            if (!PeekNamedPipe(h, nullptr, 0, nullptr, &avail, nullptr)) {
                open = false;
                continue;
            }
            if (avail == 0) continue;
            if (!::ReadFile(h, buf, std::min<DWORD>(avail, sizeof buf), &got, nullptr) || got == 0) {
                open = false;
                continue;
            }
            (i == 0 ? res.out : res.err).append(buf, got);
            any = true;
        }
        if (!any) Sleep(10);
    }
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now()).count();
    if (WaitForSingleObject(pi.hProcess, static_cast<DWORD>(std::max<long long>(0, left))) != WAIT_OBJECT_0) {
        TerminateProcess(pi.hProcess, 1);
        WaitForSingleObject(pi.hProcess, INFINITE);
        res.exitCode = -1;
    } else {
        DWORD code = 0;
        GetExitCodeProcess(pi.hProcess, &code);
        res.exitCode = static_cast<int>(code);
    }
    CloseHandle(pi.hProcess);
    CloseHandle(pi.hThread);
    CloseHandle(outRead);
    CloseHandle(errRead);
    // Text written in text mode ends its lines with CR LF here; the tests
    // read lines as on Linux.
    for (std::string* text : {&res.out, &res.err}) {
        std::string plain;
        for (size_t i = 0; i < text->size(); ++i)
            if (!((*text)[i] == '\r' && i + 1 < text->size() && (*text)[i + 1] == '\n')) plain += (*text)[i];
        *text = std::move(plain);
    }
    return res;
}

}  // namespace oamtest
