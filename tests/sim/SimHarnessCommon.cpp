// The parts of the end-to-end harness that are the same whether oam-sim
// runs as a child process (POSIX, SimHarness.cpp) or in the tool peer
// (Windows, SimHarnessWin32.cpp).
#include "SimHarness.h"

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "Loopback.h"

namespace oamtest {

std::string ReadWholeFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

bool CanConnect(unsigned short port) {
    int fd = ConnectTcp(port);
    if (fd < 0) return false;
    net::Close(fd);
    return true;
}

SimProcess::SimProcess(SimOptions options) : m_opt(std::move(options)) {}

SimProcess::~SimProcess() {
    Stop();
    if (!m_dir.empty()) {
        std::error_code ec;
        std::filesystem::remove_all(m_dir, ec);
    }
}

std::vector<std::string> SimProcess::Arguments(const std::string& portFile) const {
    std::vector<std::string> args{"--bind", "127.0.0.1", "--port", std::to_string(m_opt.port), "--port-file", portFile,
                                  "--storage", m_storage};
    if (m_opt.alarmBind.empty()) {
        args.push_back("--no-alarms");
    } else {
        args.push_back("--alarm-bind");
        args.push_back(m_opt.alarmBind);
    }
    if (m_opt.stdinControl) args.push_back("--stdin");
    args.insert(args.end(), m_opt.extraArgs.begin(), m_opt.extraArgs.end());
    return args;
}

bool SimProcess::Prepare(char sep, std::string& portFile, std::string& error) {
    m_dir = MakeTempDir("oamsim-test");
    if (m_dir.empty()) {
        error = "no temporary directory";
        return false;
    }
    m_storage = m_dir + sep + "storage";
    m_log = m_dir + sep + "sim.log";
    portFile = m_dir + sep + "port";
    return true;
}

bool SimProcess::Listening(const std::string& portFile) {
    std::string p = ReadWholeFile(portFile);
    if (p.empty() || p.back() != '\n') return false;
    m_port = static_cast<unsigned short>(std::atoi(p.c_str()));
    return m_port != 0 && CanConnect(m_port);
}

std::string SimProcess::Log() const {
    std::string l = ReadWholeFile(m_log);
    return l.size() > 4000 ? l.substr(l.size() - 4000) : l;
}

RawClient::~RawClient() {
    if (m_fd >= 0) net::Close(m_fd);
}

bool RawClient::Connect(unsigned short port, const char* host) {
    m_fd = static_cast<int>(::socket(AF_INET, SOCK_STREAM | net::kCloexec, 0));
    if (m_fd < 0) return false;
    sockaddr_in a = Loopback(port, host);
    return ::connect(m_fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
}

bool RawClient::Send(const std::string& bytes) {
    size_t off = 0;
    while (off < bytes.size()) {
        long n = ::send(m_fd, bytes.data() + off, static_cast<int>(bytes.size() - off), net::kNoSignal);
        if (n <= 0) return false;
        off += static_cast<size_t>(n);
    }
    return true;
}

std::string RawClient::RecvOnce(int ms) {
    pollfd p{};
    p.fd = m_fd;
    p.events = POLLIN;
    if (net::Poll(&p, 1, ms) <= 0) return std::string();
    char buf[65536];
    long n = ::recv(m_fd, buf, sizeof buf, 0);
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

std::string RawClient::RecvAll(int quietMs, size_t total) {
    std::string out;
    while (out.size() < total) {
        std::string part = RecvOnce(quietMs);
        if (part.empty()) break;
        out += part;
    }
    return out;
}

bool RawClient::ClosedByPeer(int ms) {
    pollfd p{};
    p.fd = m_fd;
    p.events = POLLIN;
    if (net::Poll(&p, 1, ms) <= 0) return false;
    char c;
    return ::recv(m_fd, &c, 1, MSG_PEEK) == 0;
}

}  // namespace oamtest
