// Sockets of the layer under test paired with raw peers (Loopback.h), for
// the socket tests of both systems.
#pragma once

#include <string>

#include <gtest/gtest.h>

#include "Loopback.h"
#include "oam_win.h"

namespace oamtest {

inline bool IsLinkBreak(int code) {
    return code == WSAENETDOWN || code == WSAENETRESET || code == WSAECONNABORTED || code == WSAECONNRESET ||
           code == WSAENOTCONN || code == WSAESHUTDOWN;
}

inline void SetTimeout(SOCKET s, int opt, uint32_t ms) {
    ASSERT_EQ(0, win::setsockopt(s, SOL_SOCKET, opt, reinterpret_cast<const char*>(&ms), sizeof ms));
}

// A layer TCP client connected to a raw peer.
struct TcpPair {
    Listener listener;
    SOCKET client = INVALID_SOCKET;
    int peer = -1;

    TcpPair() {
        client = win::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        sockaddr_in a = listener.addr();
        if (win::connect(client, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) peer = listener.Accept();
    }
    ~TcpPair() {
        if (client != INVALID_SOCKET) win::closesocket(client);
        if (peer >= 0) net::Close(peer);
    }
    void ResetPeer() {
        linger lg{1, 0};
        ::setsockopt(peer, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&lg), sizeof lg);
        net::Close(peer);
        peer = -1;
    }
};

// A layer UDP socket bound to 127.0.0.1 and a raw sender.
struct UdpPair {
    SOCKET sock = INVALID_SOCKET;
    sockaddr_in addr{};
    int sender = -1;
    uint16_t senderPort = 0;

    UdpPair() {
        sock = win::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
        addr = Loopback(0);
        win::bind(sock, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
        int len = sizeof addr;
        win::getsockname(sock, reinterpret_cast<sockaddr*>(&addr), &len);
        sender = BoundUdp(&senderPort);
    }
    ~UdpPair() {
        if (sock != INVALID_SOCKET) win::closesocket(sock);
        net::Close(sender);
    }
    void Send(const std::string& bytes) {
        ::sendto(sender, bytes.data(), static_cast<int>(bytes.size()), 0, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    }
    void NonBlocking() {
        unsigned long on = 1;
        win::ioctlsocket(sock, WIN_FIONBIO, &on);
    }
};

}  // namespace oamtest
