// Helpers shared by the command channel's sources.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "oam_win.h"
#include "oam_string.h"
#include "codec/Reply.h"

namespace oam {
namespace channel {

// Holds the channel lock for a scope, so that an exception from the string
// class cannot leave it taken.
class LockGuard {
public:
    explicit LockGuard(CRITICAL_SECTION* cs) : m_cs(cs) { EnterCriticalSection(m_cs); }
    ~LockGuard() { LeaveCriticalSection(m_cs); }
    LockGuard(const LockGuard&) = delete;
    LockGuard& operator=(const LockGuard&) = delete;

private:
    CRITICAL_SECTION* m_cs;
};

// The session counter runs on for ever: past INT32_MAX it wraps to
// INT32_MIN (in unsigned arithmetic, so without overflow).
inline int32_t NextSession(int32_t n) { return static_cast<int32_t>(static_cast<uint32_t>(n) + 1u); }

// Strict session mode's search for a session's reply is part of the reply
// grammar (codec/Reply.h).
using oam::codec::FindReplyFor;

// The origin (OamResultOrigin) of this thread's last command result, as
// OamLastResultOrigin() reports it.
void SetResultOrigin(int origin);

// Send errors that mean the connection is gone.
bool IsLinkBreakError(DWORD code);

// A request or reply as the trace shows it: the value of every Password
// pair (name without case) becomes "***", so that neither the log files nor
// a sink hook ever hold a secret. The bytes on the wire stay unmasked.
CString MaskSecrets(const CString& text);

}  // namespace channel
}  // namespace oam
