// Non-blocking UDP socket for the host, with copies sharing one socket and
// one event object (see UDPSocket.h for who closes what).
#include "UDPSocket.h"

#include <string.h>

#include <atomic>

#include "platform/SocketCommon.h"

static_assert(CUDPSocket::RECEIVE_BUFFER_SIZE == oam::platform::kDatagramReceiveBuffer, "one receive buffer size");

struct CUDPSocket::Shared {
    std::atomic<int> refs{1};
    // Destroy on one copy clears it for all; read by every copy's calls.
    std::atomic<SOCKET> socket{0};
    WSAEVENT event = WSA_INVALID_EVENT;
};

namespace {

using oam::platform::IsHandle;

// The last owner of a block releases what it holds.
void CloseShared(SOCKET s, WSAEVENT ev) {
    if (IsHandle(s)) {
        win::shutdown(s, SD_BOTH);
        win::closesocket(s);
    }
    if (ev != WSA_INVALID_EVENT) win::WSACloseEvent(ev);
}

}  // namespace

// Drops one reference; the last one closes the socket and the event.
void CUDPSocket::DropShared(Shared* block) {
    if (block->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        CloseShared(block->socket.exchange(0), block->event);
        delete block;
    }
}

CUDPSocket::CUDPSocket() : Used(0), Event(WSA_INVALID_EVENT), Socket(0), RemotePort(0), m_shared(nullptr) {
    memset(&LocalAddress, 0, sizeof LocalAddress);
    memset(RemoteAddress, 0, sizeof RemoteAddress);
}

CUDPSocket::CUDPSocket(const CUDPSocket& other)
    : Used(other.Used),
      Event(other.Event),
      Socket(other.Socket),
      LocalAddress(other.LocalAddress),
      RemotePort(other.RemotePort),
      m_shared(other.m_shared) {
    memcpy(RemoteAddress, other.RemoteAddress, sizeof RemoteAddress);
    if (m_shared) m_shared->refs.fetch_add(1, std::memory_order_relaxed);
}

CUDPSocket& CUDPSocket::operator=(const CUDPSocket& other) {
    if (this == &other) return *this;
    // Take the new reference before dropping the old one: both may be the
    // same block.
    if (other.m_shared) other.m_shared->refs.fetch_add(1, std::memory_order_relaxed);
    Release();
    Used = other.Used;
    Event = other.Event;
    Socket = other.Socket;
    LocalAddress = other.LocalAddress;
    memcpy(RemoteAddress, other.RemoteAddress, sizeof RemoteAddress);
    RemotePort = other.RemotePort;
    m_shared = other.m_shared;
    return *this;
}

CUDPSocket::~CUDPSocket() {
    Release();
}

void CUDPSocket::Release() {
    if (m_shared) {
        DropShared(m_shared);
        m_shared = nullptr;
    } else if (IsHandle(Socket)) {
        // Not reachable through the class itself, kept for a host that set
        // Socket by hand.
        CloseShared(Socket, WSA_INVALID_EVENT);
    }
    memset(&LocalAddress, 0, sizeof LocalAddress);
    Socket = 0;
    Event = WSA_INVALID_EVENT;
}

SOCKET CUDPSocket::CurrentSocket() const {
    return m_shared ? m_shared->socket.load() : Socket;
}

int CUDPSocket::Create(unsigned int port, const char* addr) {
    if (CurrentSocket() != 0) return 0;

    if (m_shared && m_shared->refs.load(std::memory_order_acquire) > 1) {
        // Others still hold this block's event: leave it to them.
        DropShared(m_shared);
        m_shared = nullptr;
    }
    if (!m_shared) {
        m_shared = new Shared;
    } else if (m_shared->event != WSA_INVALID_EVENT) {
        // Sole owner: the old event was selected on a socket that is gone.
        win::WSACloseEvent(m_shared->event);
    }
    m_shared->event = WSA_INVALID_EVENT;
    Event = WSA_INVALID_EVENT;

    memset(&LocalAddress, 0, sizeof LocalAddress);
    LocalAddress.sin_family = AF_INET;
    LocalAddress.sin_addr.s_addr = addr ? static_cast<uint32_t>(Name2Inet(addr)) : htonl(INADDR_ANY);

    SOCKET s = oam::platform::OpenDatagramSocket(LocalAddress.sin_addr.s_addr, port);
    Socket = s;
    m_shared->socket.store(s);
    if (s == INVALID_SOCKET) return 0;
    if (s == 0) {  // the bind failed
        memset(&LocalAddress, 0, sizeof LocalAddress);
        return 0;
    }
    LocalAddress.sin_port = htons(static_cast<unsigned short>(port & 0xFFFF));

    WSAEVENT ev = win::WSACreateEvent();
    if (ev != WSA_INVALID_EVENT) {
        m_shared->event = ev;
        Event = ev;
        win::WSAEventSelect(s, ev, FD_READ | FD_CLOSE);
    }
    return 1;
}

int CUDPSocket::Destroy() {
    SOCKET s;
    if (m_shared) {
        s = m_shared->socket.exchange(0);
    } else {
        s = Socket;
    }
    win::shutdown(s, SD_BOTH);
    int r = win::closesocket(s);
    memset(&LocalAddress, 0, sizeof LocalAddress);
    Socket = 0;
    return r;
}

int CUDPSocket::SendTo(const char* data, int length, const char* host, unsigned short port) const {
    if (!host) return 0;
    sockaddr_in to = oam::platform::Endpoint(host, port);
    return win::sendto(CurrentSocket(), data, length, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
}

int CUDPSocket::Send(const char* data, int length) const {
    return SendTo(data, length, RemoteAddress, static_cast<unsigned short>(RemotePort & 0xFFFF));
}

int CUDPSocket::RecvFrom(char* buffer, int length, sockaddr* from) const {
    sockaddr_in scratch;
    int fromLength = sizeof scratch;
    sockaddr* target = from ? from : reinterpret_cast<sockaddr*>(&scratch);
    return win::recvfrom(CurrentSocket(), buffer, length, 0, target, &fromLength);
}

void CUDPSocket::SetRemoteAddress(const char* host, unsigned int port) {
    if (!host) host = "";
    size_t n = strnlen(host, sizeof RemoteAddress - 1);
    memcpy(RemoteAddress, host, n);
    RemoteAddress[n] = '\0';
    RemotePort = port;
}

void CUDPSocket::GetRemoteAddress(CString& host, unsigned int& port) const {
    host = RemoteAddress;
    port = RemotePort;
}

int CUDPSocket::GetPeerName(CString& address, unsigned int& port) const {
    return oam::platform::GetPeerName(CurrentSocket(), address, port);
}

unsigned long CUDPSocket::Name2Inet(const char* host) {
    return oam::platform::Name2Inet(host);
}
