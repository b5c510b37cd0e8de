#include "codec/StreamDigest.h"

#include <string.h>

namespace oam {
namespace codec {

namespace {

inline uint32_t LoadLE(const unsigned char* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
           static_cast<uint32_t>(p[3]) << 24;
}

inline uint32_t Rotl(uint32_t v, int s) { return (v << s) | (v >> (32 - s)); }

// The four rounds' mixing functions; G's terms share no bit, so its "+"
// is an "or" that lets the half without x start early.
#define OAM_MD5_F(x, y, z) (((x) & (y)) | (~(x) & (z)))
#define OAM_MD5_G(x, y, z) (((x) & (z)) + ((y) & ~(z)))
#define OAM_MD5_H(x, y, z) ((x) ^ (y) ^ (z))
#define OAM_MD5_I(x, y, z) ((y) ^ ((x) | ~(z)))
#define OAM_MD5_STEP(f, w, x, y, z, word, k, s) \
    w += f(x, y, z) + LoadLE(p + 4 * (word)) + (k); \
    w = Rotl(w, s) + x

}  // namespace

void StreamDigest::Reset() {
    m_state[0] = 0x67452301u;
    m_state[1] = 0xefcdab89u;
    m_state[2] = 0x98badcfeu;
    m_state[3] = 0x10325476u;
    m_length = 0;
}

void StreamDigest::Blocks(const unsigned char* p, size_t count) {
    uint32_t a = m_state[0], b = m_state[1], c = m_state[2], d = m_state[3];
    for (; count; --count, p += 64) {
        const uint32_t a0 = a, b0 = b, c0 = c, d0 = d;
        OAM_MD5_STEP(OAM_MD5_F, a, b, c, d, 0, 0xd76aa478u, 7);
        OAM_MD5_STEP(OAM_MD5_F, d, a, b, c, 1, 0xe8c7b756u, 12);
        OAM_MD5_STEP(OAM_MD5_F, c, d, a, b, 2, 0x242070dbu, 17);
        OAM_MD5_STEP(OAM_MD5_F, b, c, d, a, 3, 0xc1bdceeeu, 22);
        OAM_MD5_STEP(OAM_MD5_F, a, b, c, d, 4, 0xf57c0fafu, 7);
        OAM_MD5_STEP(OAM_MD5_F, d, a, b, c, 5, 0x4787c62au, 12);
        OAM_MD5_STEP(OAM_MD5_F, c, d, a, b, 6, 0xa8304613u, 17);
        OAM_MD5_STEP(OAM_MD5_F, b, c, d, a, 7, 0xfd469501u, 22);
        OAM_MD5_STEP(OAM_MD5_F, a, b, c, d, 8, 0x698098d8u, 7);
        OAM_MD5_STEP(OAM_MD5_F, d, a, b, c, 9, 0x8b44f7afu, 12);
        OAM_MD5_STEP(OAM_MD5_F, c, d, a, b, 10, 0xffff5bb1u, 17);
        OAM_MD5_STEP(OAM_MD5_F, b, c, d, a, 11, 0x895cd7beu, 22);
        OAM_MD5_STEP(OAM_MD5_F, a, b, c, d, 12, 0x6b901122u, 7);
        OAM_MD5_STEP(OAM_MD5_F, d, a, b, c, 13, 0xfd987193u, 12);
        OAM_MD5_STEP(OAM_MD5_F, c, d, a, b, 14, 0xa679438eu, 17);
        OAM_MD5_STEP(OAM_MD5_F, b, c, d, a, 15, 0x49b40821u, 22);

        OAM_MD5_STEP(OAM_MD5_G, a, b, c, d, 1, 0xf61e2562u, 5);
        OAM_MD5_STEP(OAM_MD5_G, d, a, b, c, 6, 0xc040b340u, 9);
        OAM_MD5_STEP(OAM_MD5_G, c, d, a, b, 11, 0x265e5a51u, 14);
        OAM_MD5_STEP(OAM_MD5_G, b, c, d, a, 0, 0xe9b6c7aau, 20);
        OAM_MD5_STEP(OAM_MD5_G, a, b, c, d, 5, 0xd62f105du, 5);
        OAM_MD5_STEP(OAM_MD5_G, d, a, b, c, 10, 0x02441453u, 9);
        OAM_MD5_STEP(OAM_MD5_G, c, d, a, b, 15, 0xd8a1e681u, 14);
        OAM_MD5_STEP(OAM_MD5_G, b, c, d, a, 4, 0xe7d3fbc8u, 20);
        OAM_MD5_STEP(OAM_MD5_G, a, b, c, d, 9, 0x21e1cde6u, 5);
        OAM_MD5_STEP(OAM_MD5_G, d, a, b, c, 14, 0xc33707d6u, 9);
        OAM_MD5_STEP(OAM_MD5_G, c, d, a, b, 3, 0xf4d50d87u, 14);
        OAM_MD5_STEP(OAM_MD5_G, b, c, d, a, 8, 0x455a14edu, 20);
        OAM_MD5_STEP(OAM_MD5_G, a, b, c, d, 13, 0xa9e3e905u, 5);
        OAM_MD5_STEP(OAM_MD5_G, d, a, b, c, 2, 0xfcefa3f8u, 9);
        OAM_MD5_STEP(OAM_MD5_G, c, d, a, b, 7, 0x676f02d9u, 14);
        OAM_MD5_STEP(OAM_MD5_G, b, c, d, a, 12, 0x8d2a4c8au, 20);

        OAM_MD5_STEP(OAM_MD5_H, a, b, c, d, 5, 0xfffa3942u, 4);
        OAM_MD5_STEP(OAM_MD5_H, d, a, b, c, 8, 0x8771f681u, 11);
        OAM_MD5_STEP(OAM_MD5_H, c, d, a, b, 11, 0x6d9d6122u, 16);
        OAM_MD5_STEP(OAM_MD5_H, b, c, d, a, 14, 0xfde5380cu, 23);
        OAM_MD5_STEP(OAM_MD5_H, a, b, c, d, 1, 0xa4beea44u, 4);
        OAM_MD5_STEP(OAM_MD5_H, d, a, b, c, 4, 0x4bdecfa9u, 11);
        OAM_MD5_STEP(OAM_MD5_H, c, d, a, b, 7, 0xf6bb4b60u, 16);
        OAM_MD5_STEP(OAM_MD5_H, b, c, d, a, 10, 0xbebfbc70u, 23);
        OAM_MD5_STEP(OAM_MD5_H, a, b, c, d, 13, 0x289b7ec6u, 4);
        OAM_MD5_STEP(OAM_MD5_H, d, a, b, c, 0, 0xeaa127fau, 11);
        OAM_MD5_STEP(OAM_MD5_H, c, d, a, b, 3, 0xd4ef3085u, 16);
        OAM_MD5_STEP(OAM_MD5_H, b, c, d, a, 6, 0x04881d05u, 23);
        OAM_MD5_STEP(OAM_MD5_H, a, b, c, d, 9, 0xd9d4d039u, 4);
        OAM_MD5_STEP(OAM_MD5_H, d, a, b, c, 12, 0xe6db99e5u, 11);
        OAM_MD5_STEP(OAM_MD5_H, c, d, a, b, 15, 0x1fa27cf8u, 16);
        OAM_MD5_STEP(OAM_MD5_H, b, c, d, a, 2, 0xc4ac5665u, 23);

        OAM_MD5_STEP(OAM_MD5_I, a, b, c, d, 0, 0xf4292244u, 6);
        OAM_MD5_STEP(OAM_MD5_I, d, a, b, c, 7, 0x432aff97u, 10);
        OAM_MD5_STEP(OAM_MD5_I, c, d, a, b, 14, 0xab9423a7u, 15);
        OAM_MD5_STEP(OAM_MD5_I, b, c, d, a, 5, 0xfc93a039u, 21);
        OAM_MD5_STEP(OAM_MD5_I, a, b, c, d, 12, 0x655b59c3u, 6);
        OAM_MD5_STEP(OAM_MD5_I, d, a, b, c, 3, 0x8f0ccc92u, 10);
        OAM_MD5_STEP(OAM_MD5_I, c, d, a, b, 10, 0xffeff47du, 15);
        OAM_MD5_STEP(OAM_MD5_I, b, c, d, a, 1, 0x85845dd1u, 21);
        OAM_MD5_STEP(OAM_MD5_I, a, b, c, d, 8, 0x6fa87e4fu, 6);
        OAM_MD5_STEP(OAM_MD5_I, d, a, b, c, 15, 0xfe2ce6e0u, 10);
        OAM_MD5_STEP(OAM_MD5_I, c, d, a, b, 6, 0xa3014314u, 15);
        OAM_MD5_STEP(OAM_MD5_I, b, c, d, a, 13, 0x4e0811a1u, 21);
        OAM_MD5_STEP(OAM_MD5_I, a, b, c, d, 4, 0xf7537e82u, 6);
        OAM_MD5_STEP(OAM_MD5_I, d, a, b, c, 11, 0xbd3af235u, 10);
        OAM_MD5_STEP(OAM_MD5_I, c, d, a, b, 2, 0x2ad7d2bbu, 15);
        OAM_MD5_STEP(OAM_MD5_I, b, c, d, a, 9, 0xeb86d391u, 21);

        a += a0;
        b += b0;
        c += c0;
        d += d0;
    }
    m_state[0] = a;
    m_state[1] = b;
    m_state[2] = c;
    m_state[3] = d;
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
        Blocks(m_tail, 1);
    }
    // Whole blocks straight from the caller's bytes.
    if (length >= 64) Blocks(data, length / 64);
    if (length % 64) memcpy(m_tail, data + length / 64 * 64, length % 64);
}

void StreamDigest::Finish(CString& text) {
    const uint64_t bits = m_length * 8u;
    size_t held = static_cast<size_t>(m_length % 64u);
    m_tail[held] = 0x80;
    if (held >= 56) {
        memset(m_tail + held + 1, 0, 63 - held);
        Blocks(m_tail, 1);
        memset(m_tail, 0, 56);
    } else {
        memset(m_tail + held + 1, 0, 55 - held);
    }
    for (int i = 0; i < 8; ++i) m_tail[56 + i] = static_cast<unsigned char>(bits >> (8 * i));
    Blocks(m_tail, 1);

    static const char hex[] = "0123456789abcdef";
    char out[33];
    for (int i = 0; i < 16; ++i) {
        const unsigned v = (m_state[i / 4] >> (8 * (i % 4))) & 0xffu;
        out[2 * i] = hex[v >> 4];
        out[2 * i + 1] = hex[v & 0xfu];
    }
    out[32] = '\0';
    text = out;
    Reset();
}

#undef OAM_MD5_F
#undef OAM_MD5_G
#undef OAM_MD5_H
#undef OAM_MD5_I
#undef OAM_MD5_STEP

}  // namespace codec
}  // namespace oam
