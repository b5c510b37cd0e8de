#include "Ctl.h"

#include <strings.h>

#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>

#include "oamsdk.h"

namespace oamctl {

std::atomic<bool> g_interrupted{false};

namespace {
BOOL WINAPI OnInterrupt(DWORD) {
    g_interrupted = true;
    return TRUE;
}
}  // namespace

// Ctrl-C (SIGINT) and SIGTERM, or the console closing, end a watch.
void InstallInterruptHandler() {
    SetConsoleCtrlHandler(&OnInterrupt, TRUE);
}

Trace& Trace::Get() {
    static Trace t;
    return t;
}

void Trace::Install(bool echo) {
    m_echo = echo;
    CFunction::SetSinkHook(CFunction::SinkR, &Trace::Hook, this);
    CFunction::SetSinkHook(CFunction::SinkD, &Trace::Hook, this);
}

void Trace::Hook(int sink, const char* line, void* user) {
    auto* t = static_cast<Trace*>(user);
    std::string text = line ? line : "";
    // The library logs a failure right after the call that failed: its
    // error is still the thread's.
    Error error{static_cast<unsigned long>(win::WSAGetLastError()), CFunction::GetLastErrorString().str()};
    {
        std::lock_guard<std::mutex> lock(t->m_mutex);
        // Bounded: a long alarm session must not grow without end.
        if (t->m_lines.size() > 10000) {
            size_t drop = t->m_lines.size() - 5000;
            t->m_lines.erase(t->m_lines.begin(), t->m_lines.begin() + static_cast<std::ptrdiff_t>(drop));
            t->m_mark = t->m_mark > drop ? t->m_mark - drop : 0;
        }
        t->m_lines.push_back(Line{text, error});
    }
    if (t->m_echo) std::fprintf(stderr, "oamctl: [%s] %s\n", sink == CFunction::SinkR ? "R" : "D", text.c_str());
}

void Trace::Mark() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_mark = m_lines.size();
}

std::vector<std::string> Trace::Since() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<std::string> out;
    for (size_t i = m_mark; i < m_lines.size(); ++i) out.push_back(m_lines[i].text);
    return out;
}

const Trace::Line* Trace::Find(const std::string& key, size_t& at) const {
    for (size_t i = m_lines.size(); i > m_mark; --i) {
        at = m_lines[i - 1].text.find(key);
        if (at != std::string::npos) return &m_lines[i - 1];
    }
    return nullptr;
}

std::optional<std::string> Trace::Last(const std::string& key) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    size_t at = 0;
    const Line* l = Find(key, at);
    if (!l) return std::nullopt;
    return l->text.substr(at + key.size());
}

std::optional<Trace::Error> Trace::LastError(const std::string& key) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    size_t at = 0;
    const Line* l = Find(key, at);
    if (!l) return std::nullopt;
    return l->error;
}

void PrintJson(const nlohmann::json& j) {
    std::cout << j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) << std::endl;
}

std::string PadRight(const std::string& s, size_t width) {
    return s.size() >= width ? s : s + std::string(width - s.size(), ' ');
}

void PrintTable(const std::vector<std::vector<std::string>>& rows) {
    std::vector<size_t> width;
    for (const auto& r : rows)
        for (size_t i = 0; i < r.size(); ++i) {
            if (width.size() <= i) width.push_back(0);
            width[i] = std::max(width[i], r[i].size());
        }
    for (size_t k = 0; k < rows.size(); ++k) {
        std::string line;
        for (size_t i = 0; i < rows[k].size(); ++i)
            line += (i + 1 < rows[k].size() ? PadRight(rows[k][i], width[i]) + "  " : rows[k][i]);
        std::cout << line << "\n";
        if (k == 0) {
            std::string rule;
            for (size_t i = 0; i < width.size(); ++i) rule += std::string(width[i], '-') + (i + 1 < width.size() ? "  " : "");
            std::cout << rule << "\n";
        }
    }
    std::cout.flush();
}

namespace {
std::vector<std::pair<std::string, std::string>> Pairs(const std::string& reply) {
    std::vector<std::pair<std::string, std::string>> out;
    COamCommand codec;
    CString text(reply.c_str()), name, value;
    while (out.size() < 10000 && codec.PopNameValue(text, name, value, 1) == 0)
        out.emplace_back(name.str(), value.str());
    return out;
}
}  // namespace

std::optional<std::string> PairValue(const std::string& reply, const std::string& name) {
    for (auto& [n, v] : Pairs(reply))
        if (strcasecmp(n.c_str(), name.c_str()) == 0) return v;
    return std::nullopt;
}

nlohmann::json PairsToJson(const std::string& reply) {
    nlohmann::json j = nlohmann::json::object();
    for (auto& [n, v] : Pairs(reply)) j[n] = v;
    return j;
}

std::string ReasonOf(const std::string& reply) {
    auto r = PairValue(reply, "Reason");
    if (r && !r->empty()) return *r;
    return reply.empty() ? std::string("no reason given") : reply;
}

std::string Md5OfFile(const std::string& path, uint64_t& size) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    std::string data = ss.str();
    size = data.size();
    CMD5 md5;
    CString digest;
    md5.DigestBinary(reinterpret_cast<const unsigned char*>(data.data()), static_cast<unsigned>(data.size()), digest);
    return digest.str();
}

}  // namespace oamctl
