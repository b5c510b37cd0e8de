// Alarm receiver: registration with the peers, the receive loop and delivery
// of alarm datagrams to the host (their grammar is codec/AlarmDatagram.h).
#include "AlarmSocket.h"

#include <string.h>

#include <atomic>

#include "alarm/RegistrationSchedule.h"
#include "codec/AlarmDatagram.h"
#include "platform/SocketCommon.h"

namespace oam {
namespace alarm {

namespace {
const Clock::duration kDefaultUnit = std::chrono::seconds(30);
std::atomic<int64_t> g_unitOverride{0};  // in Clock ticks; 0 = default
}  // namespace

Clock::duration KeepAliveUnit() {
    int64_t v = g_unitOverride.load(std::memory_order_relaxed);
    return v > 0 ? Clock::duration(v) : kDefaultUnit;
}

void SetKeepAliveUnitForTest(Clock::duration unit) {
    g_unitOverride.store(unit.count() > 0 ? static_cast<int64_t>(unit.count()) : 0, std::memory_order_relaxed);
}

}  // namespace alarm
}  // namespace oam

namespace {

const DWORD kPassMs = 30;
// Datagrams taken before the schedule is looked at again, so that a flood
// cannot starve the keep-alives.
const int kMaxPerPass = 256;

// Owns the loop's event object.
class LoopEvent {
public:
    LoopEvent() : m_event(win::WSACreateEvent()) {}
    ~LoopEvent() {
        if (m_event != WSA_INVALID_EVENT) win::WSACloseEvent(m_event);
    }
    LoopEvent(const LoopEvent&) = delete;
    LoopEvent& operator=(const LoopEvent&) = delete;

    // Waits up to ms for a datagram on s; false when it could not wait (no
    // socket, no event), so that the caller sleeps instead.
    bool Wait(SOCKET s, DWORD ms) {
        if (m_event == WSA_INVALID_EVENT || !oam::platform::IsHandle(s)) return false;
        if (s != m_selected) {
            if (win::WSAEventSelect(s, m_event, FD_READ | FD_CLOSE) != 0) {
                m_selected = 0;
                return false;
            }
            m_selected = s;
        }
        DWORD r = win::WSAWaitForMultipleEvents(1, &m_event, FALSE, ms, FALSE);
        if (r == WSA_WAIT_FAILED) return false;
        // Reset before draining: a datagram arriving after the last receive
        // of the pass signals the event again.
        win::WSAResetEvent(m_event);
        return true;
    }

private:
    WSAEVENT m_event;
    SOCKET m_selected = 0;
};

}  // namespace

CAlarmSocket::CAlarmSocket() : Length(0), Wnd(nullptr), Callback(nullptr), UserData(0), Socket(0) {
    memset(Buffer, 0, sizeof Buffer);
    memset(&Alarm, 0, sizeof Alarm);
}

// The socket is the host's to close (Close) before the object goes.
CAlarmSocket::~CAlarmSocket() {}

int CAlarmSocket::IsSocket() {
    return static_cast<int>(Socket.load());
}

int CAlarmSocket::Create(unsigned int port, const char* /*addr: always all interfaces*/) {
    if (Socket.load() != 0) return 0;

    // Its large receive buffer holds a burst of alarms while the host's
    // callback is busy.
    SOCKET s = oam::platform::OpenDatagramSocket(htonl(INADDR_ANY), port);
    Socket.store(s);
    return oam::platform::IsHandle(s) ? 1 : 0;
}

int CAlarmSocket::Close() {
    // Taking the handle out first makes the loop stop at its next look and
    // lets only one of two racing Close calls close it.
    SOCKET s = Socket.exchange(0);
    win::shutdown(s, SD_SEND);
    return win::closesocket(s);
}

int CAlarmSocket::GetPeerName(CString& address, unsigned int& port) {
    return oam::platform::GetPeerName(Socket.load(), address, port);
}

unsigned long CAlarmSocket::Name2Inet(const char* host) {
    return oam::platform::Name2Inet(host);
}

int CAlarmSocket::SendTo(const char* data, int length, const char* host, unsigned short port) {
    if (!host) return 0;
    // Resolved before the handle is read: a Close meanwhile is seen.
    sockaddr_in to = oam::platform::Endpoint(host, port);
    return win::sendto(Socket.load(), data, length, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
}

void CAlarmSocket::Receive() {
    using namespace oam::alarm;

    CString registration;
    registration.Format("OamId=%s;", OamId.GetString());
    const char* text = registration.GetString();
    const int length = registration.GetLength();
    const int keepAliveLength = 5;  // "OamId"

    for (int i = 0; i < PeerList.GetSize(); ++i) {
        for (int n = 0; n < 3; ++n) SendTo(text, length, PeerList[i], PEER_PORT);
    }

    RegistrationSchedule schedule(KeepAliveUnit());
    const Clock::time_point start = Clock::now();
    LoopEvent event;
    bool backlog = false;

    for (;;) {
        if (!backlog && !event.Wait(Socket.load(), kPassMs)) Sleep(kPassMs);
        backlog = false;

        PeerAction action = schedule.Due(Clock::now() - start);
        if (action != PeerAction::None) {
            for (int i = 0; i < PeerList.GetSize(); ++i) {
                if (action == PeerAction::Register) {
                    SendTo(text, length, PeerList[i], PEER_PORT);
                } else {
                    SendTo(text, keepAliveLength, PeerList[i], PEER_PORT);
                    SendTo(text, keepAliveLength, PeerList[i], PEER_PORT);
                }
            }
        }

        // Take every datagram waiting. The handle is read afresh for each
        // receive: after Close it is 0 or a stale handle that the layer
        // refuses, never a descriptor reused by someone else.
        bool closed = false;
        int taken = 0;
        for (;;) {
            Length = win::recv(Socket.load(), Buffer, BUFFER_SIZE, 0);
            if (Length > 0) {
                PreMessageProcess();
            } else if (Length < 0 && win::WSAGetLastError() != WSAEMSGSIZE) {
                // Nothing waiting, or no socket any more.
                closed = Socket.load() == 0;
                break;
            }
            // An empty or oversized datagram is dropped; look for the next.
            if (++taken == kMaxPerPass) {
                backlog = true;
                break;
            }
        }
        if (closed) break;
    }
}

int CAlarmSocket::AssembleCommand() {
    if (Length >= BUFFER_SIZE) return 0;
    Buffer[Length] = '\0';
    return 1;
}

// The record is decoded from the buffer in place; Message holds what no
// step of the decoding took, for the host's callback to see.
int CAlarmSocket::AnalyzeCommand() {
    size_t text = strnlen(Buffer, static_cast<size_t>(Length));
    size_t used = oam::codec::DecodeAlarm(Buffer, text, &Alarm);
    Message = CString(Buffer + used, static_cast<int>(text - used));
    return 1;
}

void CAlarmSocket::PreMessageProcess() {
    if (!AssembleCommand()) return;
    AnalyzeCommand();
    if (Callback) Callback(&Alarm, UserData);
    if (Wnd) SendMessageA(Wnd, WM_OAM_ALARM, 0, reinterpret_cast<LPARAM>(&Alarm));
    Message.Empty();
}
