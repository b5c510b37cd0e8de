// The opt-in settings of a channel (time-outs, keep-alive, progress hook),
// kept beside the object rather than in it, so that the class's size stays
// what hosts were built against.
#pragma once

#include "ClientSocket.h"

namespace oam {
namespace channel {

struct ChannelOptions {
    int commandTimeoutMs = 0;  // 0: the designed 15 s
    int connectTimeoutMs = 0;  // 0: the system's own
    bool keepAlive = false;
    int keepIdle = 0, keepInterval = 0, keepCount = 0;
    OAM_PROGRESS_HOOK progress = nullptr;
    LONG_PTR progressUser = 0;
    // Set by the owner of the channel to cut a connect short (a session
    // being destroyed); waited on beside the connect.
    WSAEVENT abortEvent = WSA_INVALID_EVENT;
    // Set by a session: a reply that carried another command's SESSIONID
    // is refused (OAM_SESSION_DESYNCHRONISED) instead of taken as designed.
    bool refuseForeignReplies = false;
    // The deflate level of uploads, 1 (fastest) to 12 (smallest).
    int uploadLevel = 6;
};

// The command exchange's state added since 1.0.0, beside the object for the
// same reason. Every channel has one, from its constructor to its
// destructor; its place does not move meanwhile, so an exchange looks it up
// once. Guarded as the channel's other members are (its lock, or the thread
// that issued the command).
struct ExchangeState {
    // The last reply, as offsets into m_RecvBuf: its text as traced (cut and
    // trimmed) is [m_nReplyFrom, m_nReplyTo), what follows its SESSIONID and
    // RETURNCODE starts at m_nRestFrom.
    int32_t m_nReplyFrom = 0;
    int32_t m_nRestFrom = 0;
    int32_t m_nReplyTo = 0;
    int32_t m_bStrictSession = 0;        // discard replies of other sessions
    int32_t m_bReplySessionMatched = 0;  // last exchange: 1 own reply, -1 another session's, 0 none
    // Whether the reply framed last carried its SESSIONID and RETURNCODE
    // pairs: a number of -1 may be a pair's or none.
    bool replyHadSession = false;
    bool replyHadCode = false;
};
ExchangeState& StateOf(const CClientSocket* channel);
void ForgetState(const CClientSocket* channel);

// A copy of the channel's settings; false (and defaults) when it has none.
bool GetOptions(const CClientSocket* channel, ChannelOptions* out);
void SetAbortEvent(const CClientSocket* channel, WSAEVENT ev);
void SetRefuseForeignReplies(const CClientSocket* channel, bool refuse);
// The level the channel's uploads pack at from now on: OAM_OPTION_OK, or
// OAM_OPTION_BAD_VALUE (nothing changed) outside 1-12.
int SetUploadLevel(const CClientSocket* channel, int level);
// True when the last exchange's reply was another command's and the
// channel refuses such replies: what it gave was the session's result.
bool RefusedForeignReply(const CClientSocket* channel);
// The pause an upload makes between its command and its archive: cut
// short by the abort event, when there is one.
void PauseBeforeArchive(const CClientSocket* channel, DWORD ms);
void ForgetOptions(const CClientSocket* channel);

// Create's connect: the designed blocking one unless a connect time-out or
// an abort event is set. 0 or SOCKET_ERROR with the error set.
int ConnectChannel(const CClientSocket* channel, SOCKET s, const sockaddr_in& sa);
// Applies the command time-out and keep-alive settings to a new connection
// (after the designed options, which they override).
void ApplyOptions(const CClientSocket* channel, SOCKET s);

}  // namespace channel
}  // namespace oam
