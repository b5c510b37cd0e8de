// The download's digest, block by block as the archive arrives, over
// Corbex's own MD5 compression function.
#include "codec/StreamDigest.h"

#include <string.h>

#include "CorbexAccess.h"

namespace oam {
namespace codec {

void StreamDigest::Reset() {
    CMD5Access::Init(m_md5);
    m_length = 0;
}

void StreamDigest::Update(const unsigned char* data, size_t length) {
    if (length == 0) return;
    size_t held = static_cast<size_t>(m_length % 64u);
    m_length += length;
    if (held) {
        size_t take = 64 - held < length ? 64 - held : length;
        memcpy(m_tail + held, data, take);
        data += take;
        length -= take;
        if (held + take < 64) return;
        CMD5Access::Transform(m_md5, m_tail, 1);
    }
    // Whole blocks straight from the caller's bytes.
    if (length >= 64) CMD5Access::Transform(m_md5, data, length / 64);
    if (length % 64) memcpy(m_tail, data + length / 64 * 64, length % 64);
}

void StreamDigest::Finish(CString& text) {
    const uint64_t bits = m_length * 8u;
    size_t held = static_cast<size_t>(m_length % 64u);
    m_tail[held] = 0x80;
    if (held >= 56) {
        memset(m_tail + held + 1, 0, 63 - held);
        CMD5Access::Transform(m_md5, m_tail, 1);
        memset(m_tail, 0, 56);
    } else {
        memset(m_tail + held + 1, 0, 55 - held);
    }
    for (int i = 0; i < 8; ++i) m_tail[56 + i] = static_cast<unsigned char>(bits >> (8 * i));
    CMD5Access::Transform(m_md5, m_tail, 1);

    const uint32_t* state = CMD5Access::State(m_md5);
    static const char hex[] = "0123456789abcdef";
    char out[33];
    for (int i = 0; i < 16; ++i) {
        const unsigned v = (state[i / 4] >> (8 * (i % 4))) & 0xffu;
        out[2 * i] = hex[v >> 4];
        out[2 * i + 1] = hex[v & 0xfu];
    }
    out[32] = '\0';
    text = out;
    Reset();
}

}  // namespace codec
}  // namespace oam
