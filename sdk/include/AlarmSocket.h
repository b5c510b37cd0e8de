// Alarm receiver: registers with its peers on UDP port 20000, keeps the
// registration alive and hands every alarm datagram to the host.
#pragma once

#include <atomic>

#include "OamRecords.h"
#include "oam_api.h"
#include "oam_string.h"
#include "oam_win.h"

// Window message sent for every alarm: wParam 0, lParam the record's address.
#define WM_OAM_ALARM (WM_USER + 0x202)

// Called for every alarm with the receiver's record and the host's user
// value (pointer-sized); the result is not used.
typedef int (*OAM_ALARM_CALLBACK)(ALARM_STRUCT* alarm, LONG_PTR userData);

class OAMSDK_API CAlarmSocket {
public:
    CAlarmSocket();
    ~CAlarmSocket();
    CAlarmSocket(const CAlarmSocket&) = delete;
    CAlarmSocket& operator=(const CAlarmSocket&) = delete;

    int IsSocket();
    // Binds all local interfaces on the low 16 bits of port (addr is not
    // used), non-blocking, with a receive buffer large enough for a burst.
    int Create(unsigned int port, const char* addr);
    // May be called from another thread to end Receive.
    int Close();
    // Registers with every peer, keeps the registration alive, and delivers
    // every waiting datagram (callback, then WM_OAM_ALARM sent and waited
    // for) until Close. The destructor does not close the socket.
    void Receive();
    int GetPeerName(CString& address, unsigned int& port);
    static unsigned long Name2Inet(const char* host);

    static const int BUFFER_SIZE = 60000;
    static const unsigned short PEER_PORT = 20000;

    char Buffer[BUFFER_SIZE];
    CString Message;
    ALARM_STRUCT Alarm;
    int32_t Length;
    HWND Wnd;
    OAM_ALARM_CALLBACK Callback;
    LONG_PTR UserData;
    CStringArray PeerList;
    CString OamId;
    std::atomic<SOCKET> Socket;

private:
    int SendTo(const char* data, int length, const char* host, unsigned short port);
    int AssembleCommand();
    int AnalyzeCommand();
    void PreMessageProcess();
};
