// The alarm peer: takes registrations ("OamId=<id>;") and keep-alives
// ("OamId") on UDP, remembers the receivers and sends them alarm
// datagrams. Runs on the main thread only.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include <netinet/in.h>

#include "SimConfig.h"

namespace oamsim {

struct PeerOptions {
    std::string bindAddress = "127.0.0.1";
    uint16_t port = 20000;
    int receiverTtlSec = 150;  // keep-alives come every ~30 s, registrations every ~2 min
    int maxReceivers = 256;
};

struct Receiver {
    sockaddr_in addr{};
    std::string oamId;
    std::chrono::steady_clock::time_point lastSeen;
    uint64_t alarmsSent = 0;
};

class AlarmPeer {
public:
    AlarmPeer(const SimConfig& config, PeerOptions options);
    ~AlarmPeer();
    AlarmPeer(const AlarmPeer&) = delete;
    AlarmPeer& operator=(const AlarmPeer&) = delete;

    bool Start(std::string& err);
    int Fd() const { return m_fd; }
    uint16_t Port() const { return m_port; }

    // Handles the datagrams waiting on the socket.
    void OnReadable();
    // Forgets receivers not heard from within the time to live.
    void Expire();
    // Sends one alarm of `type` (0 or 1) to every receiver; gives how many
    // receivers it went to.
    size_t SendAlarm(int type);

    const std::vector<Receiver>& Receivers() const { return m_receivers; }
    std::string Describe() const;

    // The datagram for alarm number `seq` (1, 2, ...), in the receiver's
    // positional order; exposed for tests.
    static std::string FormatAlarm(const SimConfig& config, uint64_t seq, int type);

private:
    Receiver* Find(const sockaddr_in& a);

    const SimConfig& m_config;
    PeerOptions m_opt;
    int m_fd = -1;
    uint16_t m_port = 0;
    std::vector<Receiver> m_receivers;
    uint64_t m_seq = 0;
    uint64_t m_ignored = 0;
};

std::string AddressText(const sockaddr_in& a);

}  // namespace oamsim
