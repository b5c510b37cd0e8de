// Command channel to the management server: one TCP connection carrying
// NAME=VALUE; commands, one reply per command.
#pragma once

#include "OamRecords.h"
#include "oam_api.h"
#include "oam_string.h"
#include "oam_win.h"

// Window message posted (command exchange) or sent (OnClose) when the link
// breaks: wParam 100, lParam the channel's address.
#define WM_OAM_LINKBREAK (WM_USER + 0x201)

// Called on link break with the channel's address and the host's user data.
// Both are pointer-sized so that a host can pass object addresses.
typedef void (*OAM_LINKBREAK_CALLBACK)(LONG_PTR channel, LONG_PTR userData);

// Results of ReceiveFile besides 0 (file written), 1 and 7 (the server's
// return code of that value, passed through; 1 also when no usable "FileGet"
// reply came or it lacks its three pairs): failures after the reply, each
// logged through RLog. None of them leaves a file of the requested name
// behind.
enum OamReceiveFileResult {
    OAM_RECVFILE_NO_BUFFER = 101,       // announced archive over 1 GiB or not allocatable
    OAM_RECVFILE_BAD_LENGTH = 102,      // fewer or more archive bytes than announced
    OAM_RECVFILE_BAD_DIGEST = 103,      // digest of the bytes received differs
    OAM_RECVFILE_BAD_ARCHIVE = 104,     // no archive, no entry, or entry 0 is a directory
    OAM_RECVFILE_ENTRY_TOO_LARGE = 105, // entry 0 over 1 GiB or not allocatable
    OAM_RECVFILE_BAD_ENTRY = 106,       // entry 0 does not extract whole or fails its CRC
    OAM_RECVFILE_CREATE_FAILED = 107,   // the local file cannot be created
    OAM_RECVFILE_WRITE_FAILED = 108,    // writing or closing it failed
    OAM_RECVFILE_RENAME_FAILED = 109,   // it cannot be moved into place
};

// ---- Host conveniences (opt-in) -------------------------------------------
// A channel whose host never calls the setters below behaves exactly as
// designed: 15 s command time-outs, the system's own connect time-out, no
// keep-alive, one send for an upload's archive and no progress calls.

// Results of the option setters.
enum OamOptionResult {
    OAM_OPTION_OK = 0,
    OAM_OPTION_BAD_VALUE = -2,  // zero, negative or out of range: nothing changed
    OAM_OPTION_FAILED = -3,     // the connected socket refused it (GetLastError tells why); kept for the next Create
};

// Phases of a file transfer, as reported to the progress hook.
enum OamTransferPhase {
    OAM_PHASE_PACKING = 0,    // upload: the file is packed into its archive (total: the file's bytes)
    OAM_PHASE_SENDING = 1,    // upload: the archive goes out (total: the archive's bytes)
    OAM_PHASE_RECEIVING = 2,  // download: the archive comes in (total: the announced bytes)
    OAM_PHASE_UNPACKING = 3,  // download: the entry is extracted and written (total: the file's bytes)
};

// Called on the thread that runs SendFile or ReceiveFile, with the channel
// lock held: at the start of each phase, then at most every 64 KiB or
// 100 ms, and once at the end (done == total of the last phase). Non-zero
// cancels the transfer, which then returns OAM_TRANSFER_CANCELLED, except
// on the upload's final sending report: once the archive's last byte has
// been sent the server has the file, a cancel comes too late, and it is
// ignored (the upload's own result stands). A download cancelled on its
// final receiving report is honoured: nothing has been written yet.
// The hook must not call the channel it reports on (no command, Close or
// delete: return non-zero to stop). Through a COamSession, a command of
// that session from the hook fails at once with OAM_SESSION_BUSY, and the
// session's Close may be called: the transfer then fails (unless nothing
// was left to do: a file already written stays, with its result) and the link is
// closed when it returns.
typedef int (*OAM_PROGRESS_HOOK)(LONG_PTR channel, long long done, long long total, int phase, LONG_PTR userData);

// SendFile's and ReceiveFile's result when the progress hook cancelled.
// Cancelled while packing or unpacking: nothing more travels and the channel
// stays usable. Cancelled while sending or receiving the archive: the
// connection is closed (the server would otherwise go on waiting for, or
// sending, the rest) and the link-break notification is given, as for any
// broken link: Close and Create again. In no case is a file of the
// requested name left behind by the download.
enum OamTransferResult {
    OAM_TRANSFER_CANCELLED = 110,
};

// Where the result of the last command this thread ran came from, on any
// channel or session: a command (SendCommand, SendCommandEx), a query, a
// parameter command, a file transfer, or COamSession's Open and commands.
// A server may put any number in RETURNCODE, also -1, -2 or -3, so the
// result alone cannot say whether the server refused or the library failed
// locally; this can. Read it right after the call, on the same thread (as
// GetLastError): a callback that runs a command meanwhile overwrites it.
enum OamResultOrigin {
    OAM_ORIGIN_NONE = 0,     // no such call on this thread yet
    OAM_ORIGIN_SERVER = 1,   // the server's answer: the RETURNCODE of its reply (0 accepted), or what was read from it
    OAM_ORIGIN_LIBRARY = 2,  // the library's own: no usable reply, nothing sent, a local failure of a transfer or a session result
};
extern "C" OAMSDK_API int OamLastResultOrigin();

class OAMSDK_API CClientSocket {
public:
    CClientSocket();
    ~CClientSocket();
    CClientSocket(const CClientSocket&) = delete;
    CClientSocket& operator=(const CClientSocket&) = delete;

    void SetWnd(HWND wnd, OAM_LINKBREAK_CALLBACK callback, LONG_PTR userData);
    void SetServerAddress(const char* address);
    void SetServerAddress(const char* address, unsigned int port);

    int Create(unsigned int port, const char* address);
    int Close();
    int Send(const unsigned char* data, int length);
    int SendEx(const unsigned char* data, int length);
    CString GetLocalIp();
    char* GetServerIp();
    static unsigned long Name2Inet(const char* name);

    virtual void OnClose(int errorCode);
    virtual void OnConnect(int errorCode);
    virtual int OnMessagePending();

    // Command exchange.
    int SendCommand(CString station, CString command, CString params);
    int SendCommand(CString station, CString command, CString params, CString& reply);
    int SendCommandEx(CString station, CString command, CString params, CString& reply);
    int ReceiveReturnMsg(CString& message);
    void ClearSocketBufferedData();

    // Session checking beyond the designed "log it and use the reply". A
    // channel that never turns strict mode on behaves exactly as designed.
    //
    // TRUE when the last command exchange took a reply that carried its
    // request's SESSIONID; FALSE when the reply carried another number or
    // none, when the exchange got no reply, and before any exchange.
    // ReceiveReturnMsg leaves it alone. No lock: read it on the thread that
    // issued the command.
    BOOL LastReplySessionMatched() const;
    // TRUE when the last command exchange read a reply that carried another
    // SESSIONID and did not end with its own: taken in the default mode
    // (refused with OAM_SESSION_DESYNCHRONISED on a COamSession's channel),
    // discarded in strict mode. Either way the link is out of step. A reply
    // with no SESSIONID pair is nobody else's: a server need not echo it.
    BOOL LastReplySessionMismatched() const;
    // Strict session mode (off by default). On: a reply whose SESSIONID is
    // not the request's belongs to another command; it is logged ("Ret
    // Session error,Need:%d ret:%d" whatever its RETURNCODE, then "Stale
    // reply discarded:%s") and thrown away, and reading goes on, within what
    // is left of the receive time-out, until the request's own reply comes,
    // also when it follows the stale one in the same read. None in time:
    // -1 ("Command timeout:%s"), never another command's reply. Needs a
    // server that echoes SESSIONID. The final reply of SendFile
    // (ReceiveReturnMsg) is not checked.
    void SetStrictSession(BOOL strict);
    BOOL GetStrictSession() const;

    // Station and device queries.
    int GetAllStation(STATION_STRUCT* stations, int maximum);
    int GetDeviceInfo(STATION_STRUCT* station);

    // VPM parameters.
    int GetVpmParameterValue(const char* station, const char* name);
    int SetVpmParameterValue(const char* station, const char* name, int value);
    int SetVpmCtrlValue(const char* station, const char* name, int value);

    // File transfer, relative to the module directory. SendFile gives 0, 1
    // or -1; ReceiveFile 0, 1, 7 or an OamReceiveFileResult.
    int SendFile(const char* station, const char* fileName);
    int ReceiveFile(const char* station, const char* fileName);

    // The connection's handle (0 when none), for hosts that tune the socket.
    SOCKET GetSocket() const { return m_hSocket; }

    // ---- Host conveniences (opt-in; see above). Settings belong to the
    // object: they apply at once to a held connection and to every later
    // Create. Set them from the thread that issues Create.

    // Time-out of each send and receive of a command, the data phases
    // included (default 15000 ms). 1..86400000 ms, else OAM_OPTION_BAD_VALUE.
    int SetCommandTimeout(int milliseconds);
    // Time-out of Create's connect (default: the system's own, which can be
    // minutes for an address that does not answer). 1..86400000 ms. Create
    // then fails with WSAETIMEDOUT from GetLastError when it runs out.
    int SetConnectTimeout(int milliseconds);
    // TCP keep-alive: the first probe after idleSeconds without traffic,
    // then every intervalSeconds, and the connection counts as dead after
    // count unanswered probes (each 1..32767; count 1..127). A dead link
    // found this way fails the command that waits on it, or the next one,
    // with -1, and the next command's send gives the link-break
    // notification. DisableKeepAlive switches it off again. A system that
    // takes the timing but not the count (Windows before 10 1709, Wine)
    // keeps its own number of probes: the setting then gives
    // OAM_OPTION_FAILED (GetLastError: WSAENOPROTOOPT) with keep-alive on
    // and the timing applied.
    int SetKeepAlive(int idleSeconds, int intervalSeconds, int count);
    int DisableKeepAlive();
    // Progress and cancel of SendFile and ReceiveFile; null removes it.
    void SetProgressHook(OAM_PROGRESS_HOOK hook, LONG_PTR userData);
    // Deflate level of the archives SendFile packs from now on: 1 (fastest)
    // to 12 (smallest), default 6. Else OAM_OPTION_BAD_VALUE, nothing
    // changed. A build that packs with zlib (Windows) takes 10-12 as 9.
    int SetUploadLevel(int level);

    static const int RECV_BUFFER_SIZE = 60000;

private:
    int ReceiveFile(CString fileName, unsigned int length, CString digest);
    int AssembleCommand();
    int FrameReply(const char* text, size_t length);
    CString ReplyRest() const;
    bool TakeReplyFor(int32_t session);
    void NotifyLinkBreak(const char* where, bool synchronous);

    // The layout is 1.0.0's, which hosts built against those headers still
    // rely on (object size, GetSocket() inline): state added since lives
    // beside the object (channel/ChannelOptions.h). The last reply stays
    // where it was read in m_RecvBuf; m_strReply and m_strReplyRest are kept
    // for their place only.
    CString m_strReply;
    int32_t m_nReplySession;   // its SESSIONID
    CString m_strReplyRest;
    int32_t m_nReplyCode;      // its RETURNCODE
    CRITICAL_SECTION m_csLock; // channel lock (recursive)
    int32_t m_nSession;        // SESSIONID of the next request
    int32_t m_bLinkBroken;     // link-break notification given for this connection
    SOCKET m_hSocket;          // 0: no connection
    HWND m_hWnd;
    CString m_strServerAddress;
    uint32_t m_nServerPort;
    int32_t m_nRecvLen;
    char m_RecvBuf[RECV_BUFFER_SIZE + 1];
    OAM_LINKBREAK_CALLBACK m_pCallback;
    LONG_PTR m_lUserData;
};
