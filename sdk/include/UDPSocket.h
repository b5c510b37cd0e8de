// Copyable non-blocking UDP socket with a network event a host thread can
// wait on. Copies share one socket and one event object.
#pragma once

#include "oam_api.h"
#include "oam_string.h"
#include "oam_win.h"

class OAMSDK_API CUDPSocket {
public:
    CUDPSocket();
    CUDPSocket(const CUDPSocket& other);
    CUDPSocket& operator=(const CUDPSocket& other);
    ~CUDPSocket();

    int IsUsedSocket() const { return Used; }
    void SetUsed(int used) { Used = used; }
    int IsSocket() const { return static_cast<int>(Socket); }

    int Create(unsigned int port, const char* addr);
    int Destroy();
    int SendTo(const char* data, int length, const char* host, unsigned short port) const;
    int Send(const char* data, int length) const;
    int RecvFrom(char* buffer, int length, sockaddr* from) const;
    void SetRemoteAddress(const char* host, unsigned int port);
    void GetRemoteAddress(CString& host, unsigned int& port) const;
    int GetPeerName(CString& address, unsigned int& port) const;
    static unsigned long Name2Inet(const char* host);

    WSAEVENT GetEvent() const { return Event; }

    static const int RECEIVE_BUFFER_SIZE = 0x7d6000;

    int32_t Used;
    WSAEVENT Event;
    SOCKET Socket;
    sockaddr_in LocalAddress;
    char RemoteAddress[100];
    uint32_t RemotePort;

private:
    struct Shared;
    Shared* m_shared;  // the socket and event shared by copies
};
