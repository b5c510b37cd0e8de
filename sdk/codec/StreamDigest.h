// MD5 (RFC 1321) of bytes that arrive in pieces, for a digest taken while
// an archive comes in rather than in a second pass over it. Its text is
// what CMD5::DigestBinary gives for the same bytes as one range.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "Corbex.h"

namespace oam {
namespace codec {

class StreamDigest {
public:
    StreamDigest() { Reset(); }
    void Reset();
    void Update(const unsigned char* data, size_t length);
    // 32 lowercase hex digits of everything given since the last Reset;
    // the digest then starts afresh.
    void Finish(CString& text);

private:
    CMD5 m_md5;             // its compression function and chaining state
    uint64_t m_length;      // bytes given so far
    unsigned char m_tail[64];  // the last bytes that do not yet fill a block
};

}  // namespace codec
}  // namespace oam
