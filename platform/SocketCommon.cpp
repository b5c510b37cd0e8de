// Address lookup, peer names and UDP socket set-up, once for the channel,
// the alarm receiver and the datagram socket.
#include "SocketCommon.h"

#include <string.h>

namespace oam {
namespace platform {

unsigned long Name2Inet(const char* host) {
    if (!host || !*host) return htonl(INADDR_ANY);
    bool dotted = true;
    for (const char* p = host; *p; ++p) {
        if (!((*p >= '0' && *p <= '9') || *p == '.')) {
            dotted = false;
            break;
        }
    }
    if (dotted) return win::inet_addr(host);

    hostent* entry = win::gethostbyname(host);
    if (!entry || entry->h_addrtype != AF_INET || entry->h_length < 4 || !entry->h_addr_list ||
        !entry->h_addr_list[0])
        return 0;
    // Four bytes in network order; unsigned long may be wider than that.
    in_addr first;
    memcpy(&first, entry->h_addr_list[0], sizeof first);
    return first.s_addr;
}

sockaddr_in Endpoint(const char* host, unsigned short port) {
    sockaddr_in to;
    memset(&to, 0, sizeof to);
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = static_cast<uint32_t>(Name2Inet(host));
    return to;
}

int GetPeerName(SOCKET s, CString& address, unsigned int& port) {
    sockaddr_in peer;
    memset(&peer, 0, sizeof peer);
    int length = sizeof peer;
    if (win::getpeername(s, reinterpret_cast<sockaddr*>(&peer), &length) != 0) return 0;
    const char* text = win::inet_ntoa(peer.sin_addr);
    address = text ? text : "";
    port = ntohs(peer.sin_port);
    return 1;
}

SOCKET OpenDatagramSocket(uint32_t address, unsigned int port) {
    SOCKET s = win::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (s == INVALID_SOCKET) return INVALID_SOCKET;

    sockaddr_in local;
    memset(&local, 0, sizeof local);
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = address;
    local.sin_port = htons(static_cast<unsigned short>(port & 0xFFFF));
    if (win::bind(s, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
        win::closesocket(s);
        return 0;
    }

    unsigned long nonBlocking = 1;
    win::ioctlsocket(s, static_cast<long>(WIN_FIONBIO), &nonBlocking);

    int size = kDatagramReceiveBuffer;
    win::setsockopt(s, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&size), sizeof size);
    return s;
}

}  // namespace platform
}  // namespace oam
