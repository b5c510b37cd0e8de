// Progress reports of a file transfer to the host's hook: at the start and
// end of each phase and in between at most every 64 KiB or 100 ms.
#pragma once

#include <stdint.h>

#include <chrono>

#include "ClientSocket.h"
#include "channel/ChannelOptions.h"

namespace oam {
namespace channel {

class TransferProgress {
public:
    explicit TransferProgress(const CClientSocket* channel) : m_channel(channel) {
        ChannelOptions o;
        GetOptions(channel, &o);
        m_hook = o.progress;
        m_user = o.progressUser;
    }

    bool Active() const { return m_hook != nullptr; }
    bool Cancelled() const { return m_cancelled; }

    // Each gives true when the host has asked to cancel.
    bool Begin(int phase, uint64_t total) {
        m_phase = phase;
        m_total = total;
        m_done = 0;
        return Report(true);
    }
    bool Step(uint64_t done) {
        m_done = done;
        return Report(false);
    }
    bool End() {
        m_done = m_total;
        return Report(true);
    }

private:
    static constexpr uint64_t kStepBytes = 64 * 1024;
    static constexpr int kStepMs = 100;

    bool Report(bool force) {
        if (!m_hook || m_cancelled) return m_cancelled;
        auto now = std::chrono::steady_clock::now();
        if (!force && m_done - m_reported < kStepBytes && now - m_at < std::chrono::milliseconds(kStepMs)) return false;
        m_reported = m_done;
        m_at = now;
        if (m_hook(reinterpret_cast<LONG_PTR>(m_channel), static_cast<long long>(m_done),
                   static_cast<long long>(m_total), m_phase, m_user) != 0)
            m_cancelled = true;
        return m_cancelled;
    }

    const CClientSocket* m_channel;
    OAM_PROGRESS_HOOK m_hook = nullptr;
    LONG_PTR m_user = 0;
    int m_phase = 0;
    uint64_t m_total = 0, m_done = 0, m_reported = 0;
    std::chrono::steady_clock::time_point m_at{};
    bool m_cancelled = false;
};

}  // namespace channel
}  // namespace oam
