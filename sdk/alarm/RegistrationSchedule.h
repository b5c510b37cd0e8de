// When the alarm receiver refreshes its registration with the peers. Time
// is cut into ticks of one unit (30 s): every tick sends two keep-alives,
// except every fourth (2 min), which sends the full registration instead.
// The first pass registers at once. Driven by elapsed time, so a busy
// receive loop sends neither more nor less often than an idle one.
#pragma once

#include <chrono>
#include <cstdint>

namespace oam {
namespace alarm {

using Clock = std::chrono::steady_clock;

enum class PeerAction { None, KeepAlive, Register };

class RegistrationSchedule {
public:
    static const int64_t kTicksPerRegistration = 4;

    explicit RegistrationSchedule(Clock::duration unit) : m_unit(unit.count() > 0 ? unit : Clock::duration(1)) {}

    // What to send on a pass made `elapsed` after the loop started. Ticks
    // missed while the host's callback held the loop are not made up; a
    // registration that fell due among them is sent instead of keep-alives.
    PeerAction Due(Clock::duration elapsed) {
        int64_t tick = elapsed.count() < 0 ? 0 : elapsed / m_unit;
        if (m_last < 0) {
            m_last = tick;
            return PeerAction::Register;
        }
        if (tick <= m_last) return PeerAction::None;
        bool registration = tick / kTicksPerRegistration != m_last / kTicksPerRegistration;
        m_last = tick;
        return registration ? PeerAction::Register : PeerAction::KeepAlive;
    }

private:
    Clock::duration m_unit;
    int64_t m_last = -1;
};

// The tick unit of every receive loop started from now on: 30 s, unless a
// test has shortened it (zero restores the default). Not exported.
Clock::duration KeepAliveUnit();
void SetKeepAliveUnitForTest(Clock::duration unit);

}  // namespace alarm
}  // namespace oam
