// A command channel that reconnects and logs in again by itself after the
// link is lost. The channel underneath keeps its own semantics; the session
// adds the bookkeeping around it and never re-sends a command.
#pragma once

#include <stdint.h>

#include "ClientSocket.h"
#include "OamRecords.h"
#include "oam_api.h"
#include "oam_string.h"
#include "oam_win.h"

// What the session reports to the host's callback.
enum OamSessionState {
    OAM_SESSION_CONNECTED = 0,     // Open connected and logged in
    OAM_SESSION_LOST = 1,          // the link went away (Cause tells how)
    OAM_SESSION_RECONNECTING = 2,  // an attempt starts (Attempt, DelayMs: the wait before it)
    OAM_SESSION_RESTORED = 3,      // reconnected and logged in again
    OAM_SESSION_GIVEN_UP = 4,      // no further attempts until Open (Cause tells why)
    OAM_SESSION_CLOSED = 5,        // Close, or the session is being destroyed
};

enum OamSessionCause {
    OAM_CAUSE_NONE = 0,
    OAM_CAUSE_LINK_BREAK = 1,       // the channel's link-break notification (Code: the socket error if known)
    OAM_CAUSE_CONNECTION_GONE = 2,  // a command failed and the connection is found closed or failed (Code)
    OAM_CAUSE_CONNECT_FAILED = 3,   // an attempt could not connect (Code: WSAECONNREFUSED, WSAETIMEDOUT, ...)
    OAM_CAUSE_NO_LOGIN_REPLY = 4,   // connected, but the log-in got no usable reply
    OAM_CAUSE_LOGIN_REFUSED = 5,    // the server refused the log-in (Code: its RETURNCODE; Text: its reply)
    OAM_CAUSE_ATTEMPTS_USED = 6,    // the configured number of attempts ran out
    OAM_CAUSE_DESYNCHRONISED = 7,   // a reply for another command came: the link can no longer be trusted
    OAM_CAUSE_HOST = 8,             // the host called Close or destroyed the session
};

struct OAM_SESSION_EVENT {
    int State;         // OamSessionState
    int Cause;         // OamSessionCause
    int Code;          // socket error or the server's return code, per Cause; else 0
    int Attempt;       // RECONNECTING, RESTORED, LOST after a failed attempt: 1, 2, ...; else 0
    int DelayMs;       // RECONNECTING: the back-off waited before this attempt
    const char* Text;  // a short explanation (never null), valid during the call only
};

// See COamSession::SetCallback for the thread it runs on.
typedef void (*OAM_SESSION_CALLBACK)(LONG_PTR session, const OAM_SESSION_EVENT* event, LONG_PTR userData);

// Results of COamSession's commands besides the channel's own. A server
// may send these numbers as its RETURNCODE too: OamLastResultOrigin() gives
// OAM_ORIGIN_LIBRARY for the session's own, OAM_ORIGIN_SERVER for a
// refusal that carried them.
enum OamSessionResult {
    OAM_SESSION_LINK_DOWN = -2,       // the link is down (reconnecting or given up): nothing was sent
    OAM_SESSION_BUSY = -3,            // Open while the session is open; a command issued on a thread
                                      // that is inside one of this session's commands (a progress hook)
    OAM_SESSION_DESYNCHRONISED = -4,  // the reply that came was another command's: nothing of it is given
                                      // (the reply string stays empty) and the link is rebuilt
};

class OAMSDK_API COamSession {
public:
    COamSession();
    // Stops promptly: a reconnect under way is cut short (its connect and
    // log-in are interrupted), a command in flight on another thread is
    // woken and fails, and the background thread, if any, is joined.
    // Reports OAM_SESSION_CLOSED. Do not destroy from inside the callback
    // or a progress hook.
    ~COamSession();
    COamSession(const COamSession&) = delete;
    COamSession& operator=(const COamSession&) = delete;

    // ---- settings: before Open -------------------------------------------
    void SetServer(const char* address, unsigned int port);
    // The log-in's parameters, e.g. "User=admin;Password=admin;"; empty (the
    // default): no log-in.
    void SetLogin(const char* params);
    // Back-off between attempts: the first waits initialMs, each next one
    // twice the last, up to maxMs, each less a random part of at most
    // jitterPercent (0..100). maxAttempts 0: for ever. Defaults 500, 30000,
    // 20, 0. OAM_OPTION_BAD_VALUE for values out of range.
    int SetBackoff(int initialMs, int maxMs, int jitterPercent, int maxAttempts);
    // The state callback. Without automatic reconnection it runs on the
    // thread of the call that noticed the change (Open, a command, Close,
    // the destructor); with it, reconnect attempts and their outcomes are
    // reported on the session's own thread. Never with a lock of the
    // session held: the callback may issue commands (they fail at once with
    // OAM_SESSION_LINK_DOWN while the link is down) and call Close, but must
    // not destroy the session.
    void SetCallback(OAM_SESSION_CALLBACK callback, LONG_PTR userData);
    // FALSE (the default): the library starts no thread; after a loss, the
    // next command whose back-off wait is over reconnects first, on its own
    // thread, and the others fail at once. TRUE: a thread of the session
    // reconnects in the background as soon as the back-off allows and, while
    // connected, looks at the idle connection about once a second so that a
    // closed link is reported without waiting for a command.
    void SetAutoReconnect(BOOL background);
    // The channel, for its own settings (time-outs, keep-alive, progress
    // hook; set them before Open). Commands must go through the session.
    CClientSocket& Channel() { return *m_channel; }

    // ---- use ------------------------------------------------------------
    // Connects and logs in once (no retry): 0, or the failure: -1 no
    // connection or no usable log-in reply (GetLastError), the server's
    // code when it refused the log-in, OAM_SESSION_BUSY when already open.
    // Also the way back after OAM_SESSION_GIVEN_UP.
    int Open();
    // Closes the link and stops reconnecting; Open may follow. A command or
    // transfer in flight on another thread is woken and fails (with -1 or
    // the transfer's failure), so Close returns within a second rather than
    // after its time-out. From a progress hook or the callback it returns
    // at once; the command under way then fails.
    void Close();
    // OamSessionState of the link now: while up, CONNECTED after Open and
    // RESTORED after a reconnect since then (as the last event said).
    int State() const;
    BOOL IsConnected() const;

    // The channel's commands, with its results, plus OAM_SESSION_LINK_DOWN
    // when the link is down, OAM_SESSION_DESYNCHRONISED when the reply was
    // another command's (never that reply as this command's answer) and
    // OAM_SESSION_BUSY from inside one of this session's commands on the
    // same thread. A command that finds the link gone returns its result as
    // the channel gave it and leaves the reconnect to the session; it is
    // never sent again. OamLastResultOrigin() tells a server's refusal from
    // the library's own result.
    int SendCommand(const char* station, const char* command, const char* params, CString& reply);
    int GetAllStation(STATION_STRUCT* stations, int maximum);
    int GetDeviceInfo(STATION_STRUCT* station);
    // 0 and the value, or the exchange's failure (-1, the server's code, or
    // a session result); the channel's own read folds them into -1.
    int GetVpmParameterValue(const char* station, const char* name, int* value);
    int SetVpmParameterValue(const char* station, const char* name, int value);
    int SetVpmCtrlValue(const char* station, const char* name, int value);
    int SendFile(const char* station, const char* fileName);
    int ReceiveFile(const char* station, const char* fileName);

private:
    struct Impl;
    Impl* m_impl;
    CClientSocket* m_channel;
};
