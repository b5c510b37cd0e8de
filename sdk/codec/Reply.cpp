#include "codec/Reply.h"

#include <string.h>

#include "oam_string.h"

namespace oam {
namespace codec {

namespace {

// A leading pair of the given name: its number, and text moved past it.
// -1 and text untouched when the first pair is not read whole or has
// another name; *found tells that case from a pair that says -1.
int32_t PopFixedInt(Span& text, const Span& key, bool* found) {
    Pair pair = ScanPair(text);
    *found = pair.got == Got::Whole && EqualNoCase(pair.name, key);
    if (!*found) return -1;
    text.DropFront(pair.length);
    return Atoi(pair.value);
}

}  // namespace

Reply ReadReply(const char* buf, size_t n) {
    static const Span session("SESSIONID", 9), code("RETURNCODE", 10);
    Reply r;
    r.text = Trim(Span(buf, strnlen(buf, n)));
    Span rest = r.text;
    r.session = PopFixedInt(rest, session, &r.hasSession);
    r.code = PopFixedInt(rest, code, &r.hasCode);
    r.rest = rest;
    r.consumed = static_cast<size_t>(rest.p - buf);
    return r;
}

size_t FindReplyFor(const char* text, size_t length, int32_t session) {
    static const Span key("SESSIONID", 9);
    Span rest(text, length);
    for (;;) {
        Pair pair = ScanPair(rest);
        if (pair.got == Got::Whole && EqualNoCase(pair.name, key) && Atoi(pair.value) == session)
            return static_cast<size_t>(rest.p - text);
        size_t semi = Find(rest, ';');
        if (semi == npos) return npos;
        rest.DropFront(semi + 1);
        while (rest.n > 0 && oam::mbcs::IsSpace(*rest.p)) rest.DropFront(1);
    }
}

Span ArchiveHead(const char* raw, size_t n, size_t from) {
    while (from < n && oam::mbcs::IsSpace(raw[from])) ++from;
    if (from >= n) return Span();
    size_t left = n - from;
    if (raw[from] != 'P' || (left > 1 && raw[from + 1] != 'K')) return Span();
    return Span(raw + from, left);
}

}  // namespace codec
}  // namespace oam
