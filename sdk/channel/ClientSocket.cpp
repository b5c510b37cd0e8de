// CClientSocket: connection, raw sends, addresses and link-break notice.
#include "ClientSocket.h"

#include <string.h>

#include <algorithm>
#include <vector>

#include "Corbex.h"
#include "channel/ChannelInternal.h"
#include "channel/ChannelOptions.h"
#include "platform/SocketCommon.h"

namespace oam {
namespace channel {

bool IsLinkBreakError(DWORD code) {
    switch (code) {
    case WSAENETDOWN:
    case WSAENETRESET:
    case WSAECONNABORTED:
    case WSAECONNRESET:
    case WSAENOTCONN:
    case WSAESHUTDOWN:
        return true;
    default:
        return false;
    }
}

namespace {
thread_local int t_resultOrigin = OAM_ORIGIN_NONE;
}  // namespace

void SetResultOrigin(int origin) { t_resultOrigin = origin; }

}  // namespace channel
}  // namespace oam

int OamLastResultOrigin() { return oam::channel::t_resultOrigin; }

using oam::channel::LockGuard;

namespace {

// Channels whose link-break notice is being given on this thread. A host
// that answers the notice with a command on the same broken link would
// otherwise be notified again from within its own callback, without end.
thread_local std::vector<const CClientSocket*> t_notifying;

const int kTimeoutMs = 15000;
const int kSocketBufferBytes = 655360;

}  // namespace

CClientSocket::CClientSocket()
    : m_nReplySession(0),
      m_nReplyCode(0),
      m_nSession(0),
      m_bLinkBroken(0),
      m_hSocket(0),
      m_hWnd(nullptr),
      m_nServerPort(0),
      m_nRecvLen(0),
      m_pCallback(nullptr),
      m_lUserData(0) {
    oam::channel::StateOf(this);
    InitializeCriticalSection(&m_csLock);
    memset(m_RecvBuf, 0, sizeof m_RecvBuf);
}

CClientSocket::~CClientSocket() {
    if (m_hSocket != 0) {
        win::shutdown(m_hSocket, SD_SEND);
        win::closesocket(m_hSocket);
        m_hSocket = 0;
    }
    oam::channel::ForgetOptions(this);
    oam::channel::ForgetState(this);
    DeleteCriticalSection(&m_csLock);
}

void CClientSocket::SetWnd(HWND wnd, OAM_LINKBREAK_CALLBACK callback, LONG_PTR userData) {
    m_hWnd = wnd;
    m_pCallback = callback;
    m_lUserData = userData;
}

void CClientSocket::SetServerAddress(const char* address) { m_strServerAddress = address; }

void CClientSocket::SetServerAddress(const char* address, unsigned int port) {
    m_strServerAddress = address;
    m_nServerPort = port;
}

int CClientSocket::Create(unsigned int port, const char* address) {
    // A held socket, or the invalid value left by a failed creation, must
    // be closed first.
    if (m_hSocket != 0) return 0;

    sockaddr_in sa;
    memset(&sa, 0, sizeof sa);
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<uint16_t>(port));
    sa.sin_addr.s_addr = address ? static_cast<uint32_t>(Name2Inet(address)) : htonl(0);

    m_hSocket = win::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (m_hSocket == INVALID_SOCKET) return 0;

    if (oam::channel::ConnectChannel(this, m_hSocket, sa) == SOCKET_ERROR) {
        DWORD error = GetLastError();
        win::closesocket(m_hSocket);
        SetLastError(error);
        m_hSocket = 0;
        return 0;
    }

    unsigned long blocking = 0;
    win::ioctlsocket(m_hSocket, static_cast<long>(WIN_FIONBIO), &blocking);

    // Whatever the platform accepts of these is good enough.
    int value = kTimeoutMs;
    win::setsockopt(m_hSocket, SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&value), 4);
    win::setsockopt(m_hSocket, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&value), 4);
    value = kSocketBufferBytes;
    win::setsockopt(m_hSocket, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&value), 4);
    win::setsockopt(m_hSocket, SOL_SOCKET, SO_SNDBUF, reinterpret_cast<const char*>(&value), 4);
    oam::channel::ApplyOptions(this, m_hSocket);

    m_bLinkBroken = 0;
    return 1;
}

int CClientSocket::Close() {
    if (m_hSocket == 0) return -1;
    win::shutdown(m_hSocket, SD_SEND);
    int result = win::closesocket(m_hSocket);
    m_hSocket = 0;
    return result;
}

int CClientSocket::Send(const unsigned char* data, int length) {
    LockGuard lock(&m_csLock);
    return win::send(m_hSocket, reinterpret_cast<const char*>(data), length, 0);
}

int CClientSocket::SendEx(const unsigned char* data, int length) {
    return win::send(m_hSocket, reinterpret_cast<const char*>(data), length, 0);
}

CString CClientSocket::GetLocalIp() {
    in_addr addr;
    addr.s_addr = 0;
    if (m_hSocket != 0) {
        sockaddr_in sa;
        memset(&sa, 0, sizeof sa);
        int len = sizeof sa;
        if (win::getsockname(m_hSocket, reinterpret_cast<sockaddr*>(&sa), &len) == 0) addr = sa.sin_addr;
    } else {
        hostent* h = win::gethostbyname("");
        if (h && h->h_addrtype == AF_INET && h->h_addr_list && h->h_addr_list[0])
            memcpy(&addr.s_addr, h->h_addr_list[0], 4);
    }
    return CString(win::inet_ntoa(addr));
}

char* CClientSocket::GetServerIp() {
    in_addr addr;
    addr.s_addr = static_cast<uint32_t>(Name2Inet(m_strServerAddress));
    return win::inet_ntoa(addr);
}

unsigned long CClientSocket::Name2Inet(const char* name) {
    return oam::platform::Name2Inet(name);
}

void CClientSocket::OnClose(int) { NotifyLinkBreak("CClientSocket::OnClose", true); }

void CClientSocket::OnConnect(int) {}

int CClientSocket::OnMessagePending() { return 0; }

void CClientSocket::NotifyLinkBreak(const char* where, bool synchronous) {
    if (m_bLinkBroken) return;
    if (std::find(t_notifying.begin(), t_notifying.end(), this) != t_notifying.end()) return;

    struct Mark {
        const CClientSocket* self;
        explicit Mark(const CClientSocket* s) : self(s) { t_notifying.push_back(s); }
        ~Mark() { t_notifying.erase(std::find(t_notifying.begin(), t_notifying.end(), self)); }
    } mark(this);

    LPARAM self = reinterpret_cast<LPARAM>(this);
    if (m_hWnd) {
        if (synchronous)
            SendMessageA(m_hWnd, WM_OAM_LINKBREAK, 100, self);
        else
            PostMessageA(m_hWnd, WM_OAM_LINKBREAK, 100, self);
    }
    if (m_pCallback) m_pCallback(reinterpret_cast<LONG_PTR>(this), m_lUserData);
    m_bLinkBroken = 1;
    CFunction::DLog("Sdk Link break.%s", where);
}
