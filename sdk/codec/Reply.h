// The grammar of a reply on the command channel, over the bytes one read
// returned. Replies carry no length or terminator: a reply is the text of a
// read up to its first NUL, without white space at either end, and starts
// with its SESSIONID and RETURNCODE pairs. Every view handed out points into
// the caller's buffer, so that what follows a reply (the first bytes of a
// downloaded archive) is found by offset, not searched for again.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "codec/TextScan.h"

namespace oam {
namespace codec {

struct Reply {
    Span text;             // the reply as the trace shows it
    int32_t session = -1;  // SESSIONID when it leads, else -1
    int32_t code = -1;     // RETURNCODE when it follows, else -1
    bool hasSession = false;  // the SESSIONID pair was there (its number may be -1 too)
    bool hasCode = false;     // and the RETURNCODE pair
    Span rest;             // what follows those pairs, up to the end of text
    size_t consumed = 0;   // bytes of the buffer up to rest: what framing took
};

// Frames buf[0, n).
Reply ReadReply(const char* buf, size_t n);

// Strict session mode: where the reply to `session` starts in a reply text
// of length bytes. A reply starts wherever a "SESSIONID" pair does: at the
// start of the text or after the ";" that ends a pair (white space between
// is skipped). npos when no pair there carries that number.
size_t FindReplyFor(const char* text, size_t length, int32_t session);

// The download's first bytes when the server wrote them in the same read as
// its reply: raw[from, n) after white space, when it begins with "PK" (or is
// a lone "P", the rest to come). from is where the reply's pairs ended.
// Empty when the read held nothing that looks like an archive.
Span ArchiveHead(const char* raw, size_t n, size_t from);

}  // namespace codec
}  // namespace oam
