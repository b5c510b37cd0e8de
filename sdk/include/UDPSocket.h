// Copyable non-blocking UDP socket with a network event a host thread can
// wait on.
//
// Copies share one socket and one event object through a reference-counted
// block, so that passing the object by value never closes anything twice:
//  - Destroy on any copy closes the shared socket for all of them; the others
//    then see IsSocket() == 0 and their calls fail cleanly (-1). Their public
//    Socket member still shows the old value, which the platform layer never
//    lets reach another descriptor.
//  - The destructor and copy assignment only drop the object's reference; the
//    last reference shuts the socket down and closes it and the event.
//  - Create on a copy whose shared socket is gone starts a block of its own
//    (fresh socket, fresh event) and leaves the others' event untouched; on an
//    object that shares nothing it replaces its old event by a fresh one.
//  - The reference count is atomic, so copies may live on different threads;
//    one object is used by one thread at a time.
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
    // The shared socket: a live handle, 0, or -1 after a failed creation.
    int IsSocket() const { return static_cast<int>(CurrentSocket()); }

    int Create(unsigned int port, const char* addr);
    int Destroy();
    int SendTo(const char* data, int length, const char* host, unsigned short port) const;
    int Send(const char* data, int length) const;
    int RecvFrom(char* buffer, int length, sockaddr* from) const;
    // Keeps at most 99 characters of host; a null host is stored as "".
    // The port is stored whole; Send uses its low 16 bits.
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

    SOCKET CurrentSocket() const;
    void Release();
    static void DropShared(Shared* block);
};
