// CClientSocket's opt-in settings: chosen time-outs, TCP keep-alive, the
// upload's deflate level and the transfer progress hook. A channel that never sets them has no entry here
// and takes the designed paths untouched.
#include "channel/ChannelOptions.h"

#include <string.h>

#include <mutex>
#include <unordered_map>

#include "Corbex.h"
#include "PlatformSockets.h"
#include "codec/MemoryArchive.h"

namespace oam {
namespace channel {

namespace {

const int kMaxTimeoutMs = 86400000;

std::mutex g_mutex;
std::unordered_map<const CClientSocket*, ChannelOptions>& Table() {
    static auto* t = new std::unordered_map<const CClientSocket*, ChannelOptions>;  // outlives static destructors
    return *t;
}

std::unordered_map<const CClientSocket*, ExchangeState>& States() {
    static auto* t = new std::unordered_map<const CClientSocket*, ExchangeState>;  // outlives static destructors
    return *t;
}

template <class F>
void Update(const CClientSocket* channel, F change) {
    std::lock_guard<std::mutex> lock(g_mutex);
    change(Table()[channel]);
}

int SetTimeouts(SOCKET s, int ms) {
    DWORD v = static_cast<DWORD>(ms);
    if (win::setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&v), sizeof v) != 0 ||
        win::setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&v), sizeof v) != 0)
        return OAM_OPTION_FAILED;
    return OAM_OPTION_OK;
}

int SetKeepAliveOn(SOCKET s, const ChannelOptions& o) {
    int on = o.keepAlive ? 1 : 0;
    if (win::setsockopt(s, SOL_SOCKET, SO_KEEPALIVE, reinterpret_cast<const char*>(&on), sizeof on) != 0)
        return OAM_OPTION_FAILED;
    if (!o.keepAlive) return OAM_OPTION_OK;
    if (oam::platform::SetTcpKeepAliveTimes(s, o.keepIdle, o.keepInterval, o.keepCount) != 0)
        return OAM_OPTION_FAILED;
    return OAM_OPTION_OK;
}

// Waits for a non-blocking connect on an event, beside the abort event.
int ConnectAndWait(SOCKET s, const sockaddr_in& sa, int timeoutMs, WSAEVENT abort) {
    WSAEVENT ev = win::WSACreateEvent();
    if (ev == WSA_INVALID_EVENT) return SOCKET_ERROR;
    int result = SOCKET_ERROR;
    DWORD error = 0;
    if (win::WSAEventSelect(s, ev, FD_CONNECT) != 0) {
        error = GetLastError();
    } else if (win::connect(s, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) == 0) {
        result = 0;
    } else if ((error = GetLastError()) == WSAEWOULDBLOCK) {
        WSAEVENT events[2] = {ev, abort};
        DWORD n = abort != WSA_INVALID_EVENT ? 2 : 1;
        DWORD w = win::WSAWaitForMultipleEvents(n, events, FALSE, timeoutMs > 0 ? timeoutMs : WSA_INFINITE, FALSE);
        if (w == WSA_WAIT_EVENT_0) {
            int soError = 0;
            int len = sizeof soError;
            if (win::getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&soError), &len) != 0)
                error = GetLastError();
            else if (soError != 0)
                error = static_cast<DWORD>(soError);
            else
                result = 0;
        } else if (w == WSA_WAIT_TIMEOUT) {
            error = WSAETIMEDOUT;
        } else {
            error = w == WSA_WAIT_EVENT_0 + 1 ? WSAEINTR : GetLastError();
        }
    }
    win::WSAEventSelect(s, ev, 0);
    win::WSACloseEvent(ev);
    if (result != 0) SetLastError(error ? error : WSAECONNREFUSED);
    return result;
}

}  // namespace

bool GetOptions(const CClientSocket* channel, ChannelOptions* out) {
    std::lock_guard<std::mutex> lock(g_mutex);
    auto it = Table().find(channel);
    if (it == Table().end()) {
        *out = ChannelOptions();
        return false;
    }
    *out = it->second;
    return true;
}

void SetAbortEvent(const CClientSocket* channel, WSAEVENT ev) {
    Update(channel, [&](ChannelOptions& o) { o.abortEvent = ev; });
}

void SetRefuseForeignReplies(const CClientSocket* channel, bool refuse) {
    Update(channel, [&](ChannelOptions& o) { o.refuseForeignReplies = refuse; });
}

int SetUploadLevel(const CClientSocket* channel, int level) {
    if (!MemoryZipWriter::ValidLevel(level)) return OAM_OPTION_BAD_VALUE;
    Update(channel, [&](ChannelOptions& o) { o.uploadLevel = level; });
    return OAM_OPTION_OK;
}

bool RefusedForeignReply(const CClientSocket* channel) {
    if (!channel->LastReplySessionMismatched()) return false;  // the usual case: no look-up
    ChannelOptions o;
    return GetOptions(channel, &o) && o.refuseForeignReplies;
}

void PauseBeforeArchive(const CClientSocket* channel, DWORD ms) {
    ChannelOptions o;
    if (!GetOptions(channel, &o) || o.abortEvent == WSA_INVALID_EVENT) {
        Sleep(ms);
        return;
    }
    win::WSAWaitForMultipleEvents(1, &o.abortEvent, FALSE, ms, FALSE);
}

void ForgetOptions(const CClientSocket* channel) {
    std::lock_guard<std::mutex> lock(g_mutex);
    Table().erase(channel);
}

ExchangeState& StateOf(const CClientSocket* channel) {
    std::lock_guard<std::mutex> lock(g_mutex);
    return States()[channel];  // nodes keep their place when the table grows
}

void ForgetState(const CClientSocket* channel) {
    std::lock_guard<std::mutex> lock(g_mutex);
    States().erase(channel);
}

int ConnectChannel(const CClientSocket* channel, SOCKET s, const sockaddr_in& sa) {
    ChannelOptions o;
    if (!GetOptions(channel, &o) || (o.connectTimeoutMs <= 0 && o.abortEvent == WSA_INVALID_EVENT))
        return win::connect(s, reinterpret_cast<const sockaddr*>(&sa), sizeof sa);
    return ConnectAndWait(s, sa, o.connectTimeoutMs, o.abortEvent);
}

void ApplyOptions(const CClientSocket* channel, SOCKET s) {
    ChannelOptions o;
    if (!GetOptions(channel, &o)) return;
    if (o.commandTimeoutMs > 0 && SetTimeouts(s, o.commandTimeoutMs) != OAM_OPTION_OK)
        CFunction::RLog("Set Command Timeout Error:%d", o.commandTimeoutMs);
    if (o.keepAlive && SetKeepAliveOn(s, o) != OAM_OPTION_OK)
        CFunction::RLog("Set Keep-alive Error:%s", CFunction::GetLastErrorString().GetString());
}

}  // namespace channel
}  // namespace oam

using oam::channel::ChannelOptions;

BOOL CClientSocket::LastReplySessionMatched() const {
    return oam::channel::StateOf(this).m_bReplySessionMatched > 0;
}

BOOL CClientSocket::LastReplySessionMismatched() const {
    return oam::channel::StateOf(this).m_bReplySessionMatched < 0;
}

void CClientSocket::SetStrictSession(BOOL strict) { oam::channel::StateOf(this).m_bStrictSession = strict ? 1 : 0; }

BOOL CClientSocket::GetStrictSession() const { return oam::channel::StateOf(this).m_bStrictSession != 0; }

int CClientSocket::SetCommandTimeout(int milliseconds) {
    if (milliseconds <= 0 || milliseconds > oam::channel::kMaxTimeoutMs) return OAM_OPTION_BAD_VALUE;
    oam::channel::Update(this, [&](ChannelOptions& o) { o.commandTimeoutMs = milliseconds; });
    return m_hSocket != 0 ? oam::channel::SetTimeouts(m_hSocket, milliseconds) : OAM_OPTION_OK;
}

int CClientSocket::SetConnectTimeout(int milliseconds) {
    if (milliseconds <= 0 || milliseconds > oam::channel::kMaxTimeoutMs) return OAM_OPTION_BAD_VALUE;
    oam::channel::Update(this, [&](ChannelOptions& o) { o.connectTimeoutMs = milliseconds; });
    return OAM_OPTION_OK;
}

int CClientSocket::SetKeepAlive(int idleSeconds, int intervalSeconds, int count) {
    if (idleSeconds < 1 || idleSeconds > 32767 || intervalSeconds < 1 || intervalSeconds > 32767 || count < 1 ||
        count > 127)
        return OAM_OPTION_BAD_VALUE;
    ChannelOptions now;
    oam::channel::Update(this, [&](ChannelOptions& o) {
        o.keepAlive = true;
        o.keepIdle = idleSeconds;
        o.keepInterval = intervalSeconds;
        o.keepCount = count;
        now = o;
    });
    return m_hSocket != 0 ? oam::channel::SetKeepAliveOn(m_hSocket, now) : OAM_OPTION_OK;
}

int CClientSocket::DisableKeepAlive() {
    ChannelOptions now;
    oam::channel::Update(this, [&](ChannelOptions& o) {
        o.keepAlive = false;
        now = o;
    });
    return m_hSocket != 0 ? oam::channel::SetKeepAliveOn(m_hSocket, now) : OAM_OPTION_OK;
}

int CClientSocket::SetUploadLevel(int level) { return oam::channel::SetUploadLevel(this, level); }

void CClientSocket::SetProgressHook(OAM_PROGRESS_HOOK hook, LONG_PTR userData) {
    oam::channel::Update(this, [&](ChannelOptions& o) {
        o.progress = hook;
        o.progressUser = userData;
    });
}
