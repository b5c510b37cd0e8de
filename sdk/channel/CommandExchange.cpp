// CClientSocket: one request, one reply.
#include <string.h>
#include <strings.h>

#include <string>

#include "ClientSocket.h"
#include "Corbex.h"
#include "OamCommand.h"
#include "channel/ChannelInternal.h"

using oam::channel::LockGuard;
using oam::channel::MaskSecrets;
using oam::channel::NextSession;

namespace oam {
namespace channel {

CString MaskSecrets(const CString& text) {
    if (!strcasestr(text.GetString(), "password")) return text;  // the usual case: no copy to edit
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

int CClientSocket::SendCommand(CString station, CString command, CString params) {
    CString reply;
    return SendCommand(station, command, params, reply);
}

int CClientSocket::SendCommand(CString station, CString command, CString params, CString& reply) {
    LockGuard lock(&m_csLock);
    return SendCommandEx(station, command, params, reply);
}

int CClientSocket::SendCommandEx(CString station, CString command, CString params, CString& reply) {
    reply.Empty();
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
        return -1;
    }

    m_nRecvLen = win::recv(m_hSocket, m_RecvBuf, RECV_BUFFER_SIZE, 0);
    if (m_nRecvLen > 0) {
        AssembleCommand();
        int code = AnalyzeCommand();
        if (code != 0)
            CFunction::DLog("Command return failed:%s", MaskSecrets(m_strReplyRest).GetString());
        else if (m_nReplySession != m_nSession)
            CFunction::RLog("Ret Session error,Need:%d ret:%d", m_nSession, m_nReplySession);
        reply = m_strReplyRest;
        m_nSession = NextSession(m_nSession);
        return code;
    }
    if (m_nRecvLen < 0) {
        CFunction::RLog("Command timeout:%s", MaskSecrets(request).GetString());
    } else {
        CString text = CFunction::GetLastErrorString();
        CFunction::RLog("Socket Error,received data len =0.Msg=%s", text.GetString());
    }
    m_nSession = NextSession(m_nSession);
    return -1;
}

int CClientSocket::ReceiveReturnMsg(CString& message) {
    message.Empty();
    m_nRecvLen = win::recv(m_hSocket, m_RecvBuf, RECV_BUFFER_SIZE, 0);
    if (m_nRecvLen <= 0) {
        CFunction::RLog("Command timeout:%s", "");
        return -1;
    }
    AssembleCommand();
    if (AnalyzeCommand() != 0) message = m_strReplyRest;
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

int CClientSocket::AssembleCommand() {
    if (m_nRecvLen < 1 || m_nRecvLen > RECV_BUFFER_SIZE) return 0;
    m_RecvBuf[m_nRecvLen] = '\0';
    m_strReply = m_RecvBuf;  // up to the first zero byte
    m_strReply.TrimRight();
    m_strReply.TrimLeft();
    CFunction::DLog("Return:%s", MaskSecrets(m_strReply).GetString());
    return 0;
}

int CClientSocket::AnalyzeCommand() {
    COamCommand codec;
    // The reply text stays as received; the pairs come off a copy of it.
    m_strReplyRest = m_strReply;
    m_nReplySession = codec.PopSessionID(m_strReplyRest);
    m_nReplyCode = codec.PopReturnCode(m_strReplyRest);
    return m_nReplyCode;
}
