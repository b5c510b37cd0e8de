#include "AlarmPeer.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "Log.h"
#include "Wire.h"

namespace oamsim {

namespace {

using Clock = std::chrono::steady_clock;

bool SameAddr(const sockaddr_in& a, const sockaddr_in& b) {
    return a.sin_addr.s_addr == b.sin_addr.s_addr && a.sin_port == b.sin_port;
}

// Texts of an alarm must fit the receiver's fields: 35 bytes for Text1,
// Text2 and ObjText, 127 for Text3.
std::string Fit(const std::string& s, size_t max) {
    return SafeValue(s.size() > max ? s.substr(0, max) : s);
}

}  // namespace

std::string AddressText(const sockaddr_in& a) {
    char buf[INET_ADDRSTRLEN] = "?";
    inet_ntop(AF_INET, &a.sin_addr, buf, sizeof buf);
    return std::string(buf) + ":" + std::to_string(ntohs(a.sin_port));
}

AlarmPeer::AlarmPeer(const SimConfig& config, PeerOptions options) : m_config(config), m_opt(std::move(options)) {}

AlarmPeer::~AlarmPeer() {
    if (m_fd >= 0) ::close(m_fd);
}

bool AlarmPeer::Start(std::string& err) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(m_opt.port);
    if (inet_pton(AF_INET, m_opt.bindAddress.c_str(), &a.sin_addr) != 1) {
        err = "bad alarm bind address " + m_opt.bindAddress;
        return false;
    }
    m_fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (m_fd < 0) {
        err = std::string("socket: ") + strerror(errno);
        return false;
    }
    if (::bind(m_fd, reinterpret_cast<sockaddr*>(&a), sizeof a) < 0) {
        err = "cannot bind UDP " + m_opt.bindAddress + ":" + std::to_string(m_opt.port) + ": " + strerror(errno);
        return false;
    }
    socklen_t len = sizeof a;
    ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&a), &len);
    m_port = ntohs(a.sin_port);
    return true;
}

Receiver* AlarmPeer::Find(const sockaddr_in& a) {
    for (Receiver& r : m_receivers)
        if (SameAddr(r.addr, a)) return &r;
    return nullptr;
}

void AlarmPeer::OnReadable() {
    char buf[65536];
    // Bounded, so that a flood cannot starve the rest of the loop.
    for (int i = 0; i < 256; ++i) {
        sockaddr_in from{};
        socklen_t len = sizeof from;
        ssize_t n = ::recvfrom(m_fd, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &len);
        if (n < 0) {
            if (errno == EINTR) continue;
            return;  // EAGAIN, or an ICMP error from an earlier send
        }
        std::string d(buf, static_cast<size_t>(n));
        std::string who = AddressText(from);
        auto now = Clock::now();
        bool registration = d.size() > 6 && d.compare(0, 6, "OamId=") == 0;
        bool keepAlive = d == "OamId";
        if (!registration && !keepAlive) {
            if (++m_ignored <= 20 || m_ignored % 1000 == 0)
                LogEvent("ignored datagram from " + who + " (" + std::to_string(n) + " bytes: " + Excerpt(d, 40) + ")");
            continue;
        }
        std::string id;
        if (registration) {
            auto pairs = ParsePairs(d);
            if (!pairs || pairs->size() != 1 || !EqualsNoCase((*pairs)[0].name, "OamId")) {
                LogEvent("ignored malformed registration from " + who + ": " + Excerpt(d, 60));
                continue;
            }
            id = (*pairs)[0].value.substr(0, 64);
        }
        Receiver* r = Find(from);
        if (!r) {
            if (static_cast<int>(m_receivers.size()) >= m_opt.maxReceivers) {
                LogEvent("ignored receiver " + who + ": " + std::to_string(m_opt.maxReceivers) + " already known");
                continue;
            }
            Receiver fresh;
            fresh.addr = from;
            fresh.oamId = id;
            fresh.lastSeen = now;
            m_receivers.push_back(fresh);
            LogEvent(std::string(registration ? "registered" : "keep-alive from unregistered") + " receiver " + who +
                     (registration ? " OamId=" + Excerpt(id, 64) : std::string()));
            continue;
        }
        r->lastSeen = now;
        if (registration) {
            if (r->oamId != id) LogEvent("receiver " + who + " now OamId=" + Excerpt(id, 64));
            r->oamId = id;
            LogDetail("re-registration from " + who);
        } else {
            LogDetail("keep-alive from " + who);
        }
    }
}

void AlarmPeer::Expire() {
    auto now = Clock::now();
    for (auto it = m_receivers.begin(); it != m_receivers.end();) {
        if (now - it->lastSeen > std::chrono::seconds(m_opt.receiverTtlSec)) {
            LogEvent("forgot receiver " + AddressText(it->addr) + " (silent for " + std::to_string(m_opt.receiverTtlSec) +
                     " s)");
            it = m_receivers.erase(it);
        } else {
            ++it;
        }
    }
}

std::string AlarmPeer::FormatAlarm(const SimConfig& config, uint64_t seq, int type) {
    // Walk the site so that successive alarms come from different stations
    // and devices.
    std::string stationId = "S0", stationName = "site";
    int32_t deviceId = 0;
    std::string deviceName = "device";
    if (!config.stations.empty()) {
        const Station& st = config.stations[(seq - 1) % config.stations.size()];
        stationId = st.id;
        stationName = st.name;
        if (!st.devices.empty()) {
            const Device& d = st.devices[((seq - 1) / config.stations.size()) % st.devices.size()];
            deviceId = d.id;
            deviceName = d.name;
        }
    }
    static const char* const kKinds[] = {"Motion detected", "Video loss", "Tamper", "Line crossing"};
    const char* kind = kKinds[(seq - 1) % 4];
    std::time_t now = std::time(nullptr);
    std::tm tmv;
    localtime_r(&now, &tmv);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &tmv);

    std::string d;
    d += "ID=" + std::to_string(seq % 2000000000) + ";";
    d += "Text1=" + Fit(stationId, 35) + ";";
    d += "DeviceID=" + std::to_string(deviceId) + ";";
    d += "Type=" + std::to_string(type) + ";";
    d += "AlarmID=" + std::to_string(100 + (seq - 1) % 4) + ";";
    d += "Text2=" + Fit(stamp, 35) + ";";
    d += "Text3=" + Fit(std::string(kind) + " on " + deviceName + " at " + stationName, 127) + ";";
    if (type == 1) {
        static const char* const kObjects[] = {"person", "vehicle", "bicycle"};
        unsigned k = static_cast<unsigned>(seq % 3);
        char dir[32];
        std::snprintf(dir, sizeof dir, "%.1f", static_cast<double>((seq * 37) % 360) + 0.5);
        d += std::string("ObjText=") + kObjects[k] + ";";
        d += "ObjWidth=" + std::to_string(40 + k * 60) + ";";
        d += "ObjHeight=" + std::to_string(120 - k * 30) + ";";
        d += "ObjColor=" + std::to_string(0x00FF0000u >> (8 * k)) + ";";
        d += "ObjPosX=" + std::to_string((seq * 53) % 1920) + ";";
        d += "ObjPosY=" + std::to_string((seq * 29) % 1080) + ";";
        d += "ObjSpeed=" + std::to_string(3 + seq % 40) + ";";
        d += std::string("ObjDir=") + dir + ";";
        d += "ObjRoi=" + std::to_string(1 + seq % 4) + ";";
    }
    return d;
}

size_t AlarmPeer::SendAlarm(int type) {
    if (m_receivers.empty()) return 0;
    std::string d = FormatAlarm(m_config, ++m_seq, type);
    size_t sent = 0;
    for (Receiver& r : m_receivers) {
        ssize_t n = ::sendto(m_fd, d.data(), d.size(), 0, reinterpret_cast<const sockaddr*>(&r.addr), sizeof r.addr);
        if (n == static_cast<ssize_t>(d.size())) {
            ++sent;
            ++r.alarmsSent;
        }
    }
    LogEvent("alarm " + std::to_string(m_seq) + " (type " + std::to_string(type) + ") sent to " + std::to_string(sent) +
             " receiver" + (sent == 1 ? "" : "s"));
    LogDetail("alarm datagram: " + d);
    return sent;
}

std::string AlarmPeer::Describe() const {
    if (m_receivers.empty()) return "no receivers registered";
    std::string out = std::to_string(m_receivers.size()) + " receiver(s):";
    auto now = Clock::now();
    for (const Receiver& r : m_receivers) {
        auto age = std::chrono::duration_cast<std::chrono::seconds>(now - r.lastSeen).count();
        out += " " + AddressText(r.addr) + " OamId=" + r.oamId + " seen " + std::to_string(age) + "s ago, " +
               std::to_string(r.alarmsSent) + " alarms;";
    }
    return out;
}

}  // namespace oamsim
