// CClientSocket: one request, one reply.
#include <string.h>
#include <strings.h>

#include <string>

#include <chrono>

#include "ClientSocket.h"
#include "Corbex.h"
#include "OamCommand.h"
#include "OamSession.h"
#include "channel/ChannelInternal.h"
#include "channel/ChannelOptions.h"
#include "codec/Reply.h"

using oam::channel::LockGuard;
using oam::channel::MaskSecrets;
using oam::channel::NextSession;
using oam::channel::SetResultOrigin;

namespace oam {
namespace channel {

namespace {
bool MentionsPassword(const char* s) {
    for (; *s; ++s)
        if (strncasecmp(s, "password", 8) == 0) return true;
    return false;
}
}  // namespace

CString MaskSecrets(const CString& text) {
    if (!MentionsPassword(text.GetString())) return text;  // the usual case: no copy to edit
    std::string s = text.str();
    size_t pos = 0;
    while (pos < s.size()) {
        size_t end = s.find(';', pos);
        if (end == std::string::npos) end = s.size();
        size_t eq = s.find('=', pos);
        if (eq != std::string::npos && eq < end) {
            size_t a = pos, b = eq;
            while (a < b && (s[a] == ' ' || s[a] == '\t')) ++a;
            while (b > a && (s[b - 1] == ' ' || s[b - 1] == '\t')) --b;
            if (b - a == 8 && strncasecmp(s.c_str() + a, "Password", 8) == 0) {
                s.replace(eq + 1, end - eq - 1, "***");
                end = eq + 4;
            }
        }
        pos = end + 1;
    }
    return CString(s);
}

}  // namespace channel
}  // namespace oam

namespace {

typedef void (*LogFn)(const char* format, ...);

bool MayHoldSecret(const char* p, size_t n) {
    for (size_t i = 0; i + 8 <= n; ++i)
        if ((p[i] | 0x20) == 'p' && strncasecmp(p + i, "password", 8) == 0) return true;
    return false;
}

// Traces a text read in place (no terminator), masked as MaskSecrets does;
// format has one "%s".
void Trace(LogFn log, const char* format, const char* p, size_t n) {
    if (MayHoldSecret(p, n)) {
        log(format, MaskSecrets(CString(p, static_cast<int>(n))).GetString());
        return;
    }
    std::string f(format);
    f.replace(f.find("%s"), 2, "%.*s");
    log(f.c_str(), static_cast<int>(n), p);
}

}  // namespace

namespace {

// Strict mode reads on past a stale reply, but only within what is left of
// the receive time-out that the first read started with: each further read
// gets the rest as its own time-out, and the socket's own is put back at
// the end of the exchange.
class StrictDeadline {
public:
    StrictDeadline(SOCKET s, bool strict) : m_socket(s) {
        if (strict) m_start = std::chrono::steady_clock::now();
    }
    ~StrictDeadline() {
        if (m_narrowed)
            win::setsockopt(m_socket, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&m_timeoutMs),
                            sizeof m_timeoutMs);
    }
    StrictDeadline(const StrictDeadline&) = delete;
    StrictDeadline& operator=(const StrictDeadline&) = delete;

    // False when the time-out has run out.
    bool Narrow() {
        if (!m_known) {
            int len = sizeof m_timeoutMs;
            if (win::getsockopt(m_socket, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<char*>(&m_timeoutMs), &len) != 0)
                return false;
            m_known = true;
        }
        if (m_timeoutMs == 0) return true;  // no time-out: neither has the next read
        auto spent = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - m_start);
        if (spent.count() >= static_cast<long long>(m_timeoutMs)) return false;
        DWORD left = m_timeoutMs - static_cast<DWORD>(spent.count());
        m_narrowed = true;
        return win::setsockopt(m_socket, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&left), sizeof left) == 0;
    }

private:
    SOCKET m_socket;
    bool m_known = false;
    bool m_narrowed = false;
    DWORD m_timeoutMs = 0;
    std::chrono::steady_clock::time_point m_start;
};

}  // namespace

int CClientSocket::SendCommand(CString station, CString command, CString params) {
    CString reply;
    return SendCommand(station, command, params, reply);
}

int CClientSocket::SendCommand(CString station, CString command, CString params, CString& reply) {
    LockGuard lock(&m_csLock);
    return SendCommandEx(station, command, params, reply);
}

int CClientSocket::SendCommandEx(CString station, CString command, CString params, CString& reply) {
    oam::channel::ExchangeState& ex = oam::channel::StateOf(this);
    reply.Empty();
    ex.m_nReplyFrom = ex.m_nRestFrom = ex.m_nReplyTo = 0;  // no reply yet
    ex.m_bReplySessionMatched = 0;
    ClearSocketBufferedData();

    CString request;
    if (command.CompareNoCase("Login") == 0)
        request.Format("%s=%d;%s=%s;%s", "SESSIONID", m_nSession, "CMD", command.GetString(), params.GetString());
    else
        request.Format("%s=%d;%s=%s;%s=%s;%s", "SESSIONID", m_nSession, "STATIONID", station.GetString(), "CMD",
                       command.GetString(), params.GetString());
    CFunction::DLog("Send Command:%s", MaskSecrets(request).GetString());

    if (win::send(m_hSocket, request.GetString(), request.GetLength(), 0) == SOCKET_ERROR) {
        DWORD code = GetLastError();
        CString text = CFunction::GetLastErrorString();
        CFunction::DLog("Socket Error:%d,%s", static_cast<int>(code), text.GetString());
        if (oam::channel::IsLinkBreakError(code)) NotifyLinkBreak("CClientSocket::SendCommandEx", false);
        SetResultOrigin(OAM_ORIGIN_LIBRARY);
        return -1;
    }

    StrictDeadline deadline(m_hSocket, ex.m_bStrictSession != 0);
    for (;;) {
        m_nRecvLen = win::recv(m_hSocket, m_RecvBuf, RECV_BUFFER_SIZE, 0);
        if (m_nRecvLen <= 0) break;
        AssembleCommand();
        if (ex.m_bStrictSession && !TakeReplyFor(m_nSession)) {
            Trace(CFunction::RLog, "Stale reply discarded:%s", m_RecvBuf + ex.m_nReplyFrom,
                  static_cast<size_t>(ex.m_nReplyTo - ex.m_nReplyFrom));
            // Only a reply that carried another number is another's.
            if (ex.replyHadSession) ex.m_bReplySessionMatched = -1;
            if (deadline.Narrow()) continue;
            m_nRecvLen = SOCKET_ERROR;  // nothing left of the time-out
            break;
        }
        int code = m_nReplyCode;
        // A reply without the pair is nobody else's: a server need not echo it.
        ex.m_bReplySessionMatched = !ex.replyHadSession ? 0 : m_nReplySession == m_nSession ? 1 : -1;
        if (code != 0)
            Trace(CFunction::DLog, "Command return failed:%s", m_RecvBuf + ex.m_nRestFrom,
                  static_cast<size_t>(ex.m_nReplyTo - ex.m_nRestFrom));
        else if (m_nReplySession != m_nSession)
            CFunction::RLog("Ret Session error,Need:%d ret:%d", m_nSession, m_nReplySession);
        m_nSession = NextSession(m_nSession);
        if (oam::channel::RefusedForeignReply(this)) {
            // A session's channel: nothing of another command's reply is
            // given as this one's answer, not even by the callers that read
            // the reply where it lies.
            Trace(CFunction::RLog, "Stale reply discarded:%s", m_RecvBuf + ex.m_nReplyFrom,
                  static_cast<size_t>(ex.m_nReplyTo - ex.m_nReplyFrom));
            ex.m_nReplyFrom = ex.m_nRestFrom = ex.m_nReplyTo = 0;
            SetResultOrigin(OAM_ORIGIN_LIBRARY);
            return OAM_SESSION_DESYNCHRONISED;
        }
        reply = ReplyRest();
        // Without a RETURNCODE the -1 is the library's: no usable reply.
        SetResultOrigin(ex.replyHadCode ? OAM_ORIGIN_SERVER : OAM_ORIGIN_LIBRARY);
        return code;
    }
    if (m_nRecvLen < 0) {
        CFunction::RLog("Command timeout:%s", MaskSecrets(request).GetString());
    } else {
        CString text = CFunction::GetLastErrorString();
        CFunction::RLog("Socket Error,received data len =0.Msg=%s", text.GetString());
    }
    ex.m_nReplyFrom = ex.m_nRestFrom = ex.m_nReplyTo = 0;  // a discarded stale reply is none
    m_nSession = NextSession(m_nSession);
    SetResultOrigin(OAM_ORIGIN_LIBRARY);
    return -1;
}

// Strict mode: the reply just read is taken when it is the request's, or
// when the request's reply follows it in the same read (a stale reply and
// the right one written back to back). Otherwise the mismatch is logged and
// the caller reads on.
bool CClientSocket::TakeReplyFor(int32_t session) {
    oam::channel::ExchangeState& ex = oam::channel::StateOf(this);
    if (m_nReplySession == session) return true;
    CFunction::RLog("Ret Session error,Need:%d ret:%d", session, m_nReplySession);
    const char* text = m_RecvBuf + ex.m_nReplyFrom;
    size_t length = static_cast<size_t>(ex.m_nReplyTo - ex.m_nReplyFrom);
    size_t at = oam::codec::FindReplyFor(text, length, session);
    if (at == oam::codec::npos) return false;
    FrameReply(text + at, length - at);
    return true;
}

int CClientSocket::ReceiveReturnMsg(CString& message) {
    message.Empty();
    m_nRecvLen = win::recv(m_hSocket, m_RecvBuf, RECV_BUFFER_SIZE, 0);
    if (m_nRecvLen <= 0) {
        CFunction::RLog("Command timeout:%s", "");
        SetResultOrigin(OAM_ORIGIN_LIBRARY);
        return -1;
    }
    if (AssembleCommand() != 0) message = ReplyRest();
    SetResultOrigin(OAM_ORIGIN_SERVER);
    return 0;
}

void CClientSocket::ClearSocketBufferedData() {
    unsigned long returned = 0;
    win::WSAIoctl(m_hSocket, SIO_FLUSH, nullptr, 0, nullptr, 0, &returned, nullptr, nullptr);
    // Only what was waiting now: a server that sends faster than this reads
    // must not keep the exchange here.
    uint32_t waiting = 0;
    win::WSAIoctl(m_hSocket, WIN_FIONREAD, nullptr, 0, &waiting, sizeof waiting, &returned, nullptr, nullptr);
    while (waiting > 0) {
        int want = waiting < static_cast<uint32_t>(RECV_BUFFER_SIZE) ? static_cast<int>(waiting) : RECV_BUFFER_SIZE;
        m_nRecvLen = win::recv(m_hSocket, m_RecvBuf, want, 0);
        // Bytes announced but not readable: nothing more to throw away.
        if (m_nRecvLen <= 0) break;
        waiting -= static_cast<uint32_t>(m_nRecvLen);
    }
}

// Frames what the last read got and gives its RETURNCODE. The reply stays
// where it was read; the members hold where its parts are.
int CClientSocket::AssembleCommand() {
    if (m_nRecvLen < 1 || m_nRecvLen > RECV_BUFFER_SIZE) return m_nReplyCode;
    return FrameReply(m_RecvBuf, static_cast<size_t>(m_nRecvLen));
}

int CClientSocket::FrameReply(const char* text, size_t length) {
    oam::channel::ExchangeState& ex = oam::channel::StateOf(this);
    oam::codec::Reply r = oam::codec::ReadReply(text, length);
    ex.m_nReplyFrom = static_cast<int32_t>(r.text.p - m_RecvBuf);
    ex.m_nReplyTo = static_cast<int32_t>(ex.m_nReplyFrom + static_cast<int32_t>(r.text.n));
    ex.m_nRestFrom = static_cast<int32_t>(r.rest.p - m_RecvBuf);
    m_nReplySession = r.session;
    m_nReplyCode = r.code;
    ex.replyHadSession = r.hasSession;
    ex.replyHadCode = r.hasCode;
    Trace(CFunction::DLog, "Return:%s", r.text.p, r.text.n);
    return r.code;
}

CString CClientSocket::ReplyRest() const {
    oam::channel::ExchangeState& ex = oam::channel::StateOf(this);
    return CString(m_RecvBuf + ex.m_nRestFrom, ex.m_nReplyTo - ex.m_nRestFrom);
}
