#include "Progress.h"

#include <unistd.h>

#include <cmath>
#include <cstdio>

namespace oamctl {

void ApplyTimeouts(const GlobalOptions& g, CClientSocket& channel) {
    // The option parser has checked the ranges; the library checks again.
    if (g.timeoutMs > 0 && channel.SetCommandTimeout(g.timeoutMs) == OAM_OPTION_BAD_VALUE)
        throw Failure{kExitUsage, "--timeout-ms must be 1..86400000", std::nullopt};
    if (g.connectTimeoutMs > 0 && channel.SetConnectTimeout(g.connectTimeoutMs) == OAM_OPTION_BAD_VALUE)
        throw Failure{kExitUsage, "--connect-timeout-ms must be 1..86400000", std::nullopt};
}

namespace {

const char* PhaseName(int phase) {
    switch (phase) {
    case OAM_PHASE_PACKING:
        return "packing";
    case OAM_PHASE_SENDING:
        return "sending";
    case OAM_PHASE_RECEIVING:
        return "receiving";
    case OAM_PHASE_UNPACKING:
        return "unpacking";
    default:
        return "?";
    }
}

}  // namespace

ProgressBar::ProgressBar(const GlobalOptions& g, std::string what) : m_what(std::move(what)) {
    if (g.quiet) return;
    if (g.json)
        m_mode = g.progress ? kJson : kNone;
    else if (g.progress || ::isatty(2))
        m_mode = kBar;
}

void ProgressBar::Attach(CClientSocket& channel) {
    if (m_mode == kNone) return;
    m_channel = &channel;
    InstallInterruptHandler();
    channel.SetProgressHook(&ProgressBar::Hook, reinterpret_cast<LONG_PTR>(this));
}

void ProgressBar::Finish() {
    if (m_channel) m_channel->SetProgressHook(nullptr, 0);
    m_channel = nullptr;
    if (m_lineOpen) std::fputc('\n', stderr);
    m_lineOpen = false;
}

std::string ProgressBar::Bytes(double n) {
    static const char* units[] = {"B", "KiB", "MiB", "GiB", "TiB"};
    int u = 0;
    while (n >= 1024 && u < 4) {
        n /= 1024;
        ++u;
    }
    char buf[32];
    if (u == 0)
        std::snprintf(buf, sizeof buf, "%.0f %s", n, units[u]);
    else
        std::snprintf(buf, sizeof buf, "%.1f %s", n, units[u]);
    return buf;
}

std::string ProgressBar::Duration(double seconds) {
    if (!std::isfinite(seconds) || seconds < 0) return "--:--";
    long s = std::lround(seconds);
    char buf[32];
    if (s >= 3600)
        std::snprintf(buf, sizeof buf, "%ld:%02ld:%02ld", s / 3600, s / 60 % 60, s % 60);
    else
        std::snprintf(buf, sizeof buf, "%ld:%02ld", s / 60, s % 60);
    return buf;
}

int ProgressBar::Hook(LONG_PTR, long long done, long long total, int phase, LONG_PTR user) {
    reinterpret_cast<ProgressBar*>(user)->Show(done, total, phase);
    // Ctrl-C during a transfer stops it cleanly (no partial file).
    return g_interrupted ? 1 : 0;
}

void ProgressBar::Show(long long done, long long total, int phase) {
    auto now = std::chrono::steady_clock::now();
    if (phase != m_phase) {
        m_phase = phase;
        m_phaseStart = now;
    }
    double secs = std::chrono::duration<double>(now - m_phaseStart).count();
    double rate = secs > 0 ? static_cast<double>(done) / secs : 0;
    double left = rate > 0 ? static_cast<double>(total - done) / rate : -1;
    if (done >= total) left = 0;
    if (m_mode == kJson) {
        nlohmann::json j{{"event", "progress"}, {"what", m_what}, {"phase", PhaseName(phase)}, {"done", done},
                         {"total", total}};
        j["rate"] = std::llround(rate);
        if (left >= 0) j["eta_s"] = std::round(left * 10) / 10;
        PrintJson(j);
        return;
    }
    const int width = 24;
    int filled = total > 0 ? static_cast<int>(static_cast<double>(done) * width / static_cast<double>(total)) : width;
    std::string bar(static_cast<size_t>(filled), '#');
    bar.resize(width, '.');
    int pct = total > 0 ? static_cast<int>(static_cast<double>(done) * 100 / static_cast<double>(total)) : 100;
    std::fprintf(stderr, "\r%s %-9s [%s] %3d%% %s / %s  %s/s  %s left\033[K", m_what.c_str(), PhaseName(phase),
                 bar.c_str(), pct, Bytes(static_cast<double>(done)).c_str(), Bytes(static_cast<double>(total)).c_str(),
                 Bytes(rate).c_str(), Duration(left).c_str());
    std::fflush(stderr);
    m_lineOpen = true;
}

}  // namespace oamctl
