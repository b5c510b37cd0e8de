// MD5 (RFC 1321). The message is compressed in place, block by block; only
// the tail that does not fill a whole block is copied into m_block for
// padding.
#include <string.h>

#include "Corbex.h"

namespace {

// Little-endian word at p; compilers turn this into one load.
inline uint32_t LoadLE(const unsigned char* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
           static_cast<uint32_t>(p[3]) << 24;
}

inline void StoreLE(unsigned char* p, uint32_t v) {
    p[0] = static_cast<unsigned char>(v);
    p[1] = static_cast<unsigned char>(v >> 8);
    p[2] = static_cast<unsigned char>(v >> 16);
    p[3] = static_cast<unsigned char>(v >> 24);
}

}  // namespace

CMD5::CMD5() {
    Init();
}

CMD5::~CMD5() {}

void CMD5::Init() {
    m_state[0] = 0x67452301u;
    m_state[1] = 0xefcdab89u;
    m_state[2] = 0x98badcfeu;
    m_state[3] = 0x10325476u;
    m_state[4] = 0;
    m_state[5] = 0;
    m_state[6] = 0;
    memset(m_block, 0, sizeof m_block);
}

void CMD5::Transform(const unsigned char* p, size_t count) {
    uint32_t a = m_state[0], b = m_state[1], c = m_state[2], d = m_state[3];
    for (; count; --count, p += 64) {
        // The state stays in registers across blocks; the words are read
        // straight from the message as each step needs them.
        const uint32_t a0 = a, b0 = b, c0 = c, d0 = d;

        MD5STEP(F, a, b, c, d, LoadLE(p + 0) + 0xd76aa478u, 7);
        MD5STEP(F, d, a, b, c, LoadLE(p + 4) + 0xe8c7b756u, 12);
        MD5STEP(F, c, d, a, b, LoadLE(p + 8) + 0x242070dbu, 17);
        MD5STEP(F, b, c, d, a, LoadLE(p + 12) + 0xc1bdceeeu, 22);
        MD5STEP(F, a, b, c, d, LoadLE(p + 16) + 0xf57c0fafu, 7);
        MD5STEP(F, d, a, b, c, LoadLE(p + 20) + 0x4787c62au, 12);
        MD5STEP(F, c, d, a, b, LoadLE(p + 24) + 0xa8304613u, 17);
        MD5STEP(F, b, c, d, a, LoadLE(p + 28) + 0xfd469501u, 22);
        MD5STEP(F, a, b, c, d, LoadLE(p + 32) + 0x698098d8u, 7);
        MD5STEP(F, d, a, b, c, LoadLE(p + 36) + 0x8b44f7afu, 12);
        MD5STEP(F, c, d, a, b, LoadLE(p + 40) + 0xffff5bb1u, 17);
        MD5STEP(F, b, c, d, a, LoadLE(p + 44) + 0x895cd7beu, 22);
        MD5STEP(F, a, b, c, d, LoadLE(p + 48) + 0x6b901122u, 7);
        MD5STEP(F, d, a, b, c, LoadLE(p + 52) + 0xfd987193u, 12);
        MD5STEP(F, c, d, a, b, LoadLE(p + 56) + 0xa679438eu, 17);
        MD5STEP(F, b, c, d, a, LoadLE(p + 60) + 0x49b40821u, 22);

        MD5STEP(G, a, b, c, d, LoadLE(p + 4) + 0xf61e2562u, 5);
        MD5STEP(G, d, a, b, c, LoadLE(p + 24) + 0xc040b340u, 9);
        MD5STEP(G, c, d, a, b, LoadLE(p + 44) + 0x265e5a51u, 14);
        MD5STEP(G, b, c, d, a, LoadLE(p + 0) + 0xe9b6c7aau, 20);
        MD5STEP(G, a, b, c, d, LoadLE(p + 20) + 0xd62f105du, 5);
        MD5STEP(G, d, a, b, c, LoadLE(p + 40) + 0x02441453u, 9);
        MD5STEP(G, c, d, a, b, LoadLE(p + 60) + 0xd8a1e681u, 14);
        MD5STEP(G, b, c, d, a, LoadLE(p + 16) + 0xe7d3fbc8u, 20);
        MD5STEP(G, a, b, c, d, LoadLE(p + 36) + 0x21e1cde6u, 5);
        MD5STEP(G, d, a, b, c, LoadLE(p + 56) + 0xc33707d6u, 9);
        MD5STEP(G, c, d, a, b, LoadLE(p + 12) + 0xf4d50d87u, 14);
        MD5STEP(G, b, c, d, a, LoadLE(p + 32) + 0x455a14edu, 20);
        MD5STEP(G, a, b, c, d, LoadLE(p + 52) + 0xa9e3e905u, 5);
        MD5STEP(G, d, a, b, c, LoadLE(p + 8) + 0xfcefa3f8u, 9);
        MD5STEP(G, c, d, a, b, LoadLE(p + 28) + 0x676f02d9u, 14);
        MD5STEP(G, b, c, d, a, LoadLE(p + 48) + 0x8d2a4c8au, 20);

        MD5STEP(H, a, b, c, d, LoadLE(p + 20) + 0xfffa3942u, 4);
        MD5STEP(H, d, a, b, c, LoadLE(p + 32) + 0x8771f681u, 11);
        MD5STEP(H, c, d, a, b, LoadLE(p + 44) + 0x6d9d6122u, 16);
        MD5STEP(H, b, c, d, a, LoadLE(p + 56) + 0xfde5380cu, 23);
        MD5STEP(H, a, b, c, d, LoadLE(p + 4) + 0xa4beea44u, 4);
        MD5STEP(H, d, a, b, c, LoadLE(p + 16) + 0x4bdecfa9u, 11);
        MD5STEP(H, c, d, a, b, LoadLE(p + 28) + 0xf6bb4b60u, 16);
        MD5STEP(H, b, c, d, a, LoadLE(p + 40) + 0xbebfbc70u, 23);
        MD5STEP(H, a, b, c, d, LoadLE(p + 52) + 0x289b7ec6u, 4);
        MD5STEP(H, d, a, b, c, LoadLE(p + 0) + 0xeaa127fau, 11);
        MD5STEP(H, c, d, a, b, LoadLE(p + 12) + 0xd4ef3085u, 16);
        MD5STEP(H, b, c, d, a, LoadLE(p + 24) + 0x04881d05u, 23);
        MD5STEP(H, a, b, c, d, LoadLE(p + 36) + 0xd9d4d039u, 4);
        MD5STEP(H, d, a, b, c, LoadLE(p + 48) + 0xe6db99e5u, 11);
        MD5STEP(H, c, d, a, b, LoadLE(p + 60) + 0x1fa27cf8u, 16);
        MD5STEP(H, b, c, d, a, LoadLE(p + 8) + 0xc4ac5665u, 23);

        MD5STEP(I, a, b, c, d, LoadLE(p + 0) + 0xf4292244u, 6);
        MD5STEP(I, d, a, b, c, LoadLE(p + 28) + 0x432aff97u, 10);
        MD5STEP(I, c, d, a, b, LoadLE(p + 56) + 0xab9423a7u, 15);
        MD5STEP(I, b, c, d, a, LoadLE(p + 20) + 0xfc93a039u, 21);
        MD5STEP(I, a, b, c, d, LoadLE(p + 48) + 0x655b59c3u, 6);
        MD5STEP(I, d, a, b, c, LoadLE(p + 12) + 0x8f0ccc92u, 10);
        MD5STEP(I, c, d, a, b, LoadLE(p + 40) + 0xffeff47du, 15);
        MD5STEP(I, b, c, d, a, LoadLE(p + 4) + 0x85845dd1u, 21);
        MD5STEP(I, a, b, c, d, LoadLE(p + 32) + 0x6fa87e4fu, 6);
        MD5STEP(I, d, a, b, c, LoadLE(p + 60) + 0xfe2ce6e0u, 10);
        MD5STEP(I, c, d, a, b, LoadLE(p + 24) + 0xa3014314u, 15);
        MD5STEP(I, b, c, d, a, LoadLE(p + 52) + 0x4e0811a1u, 21);
        MD5STEP(I, a, b, c, d, LoadLE(p + 16) + 0xf7537e82u, 6);
        MD5STEP(I, d, a, b, c, LoadLE(p + 44) + 0xbd3af235u, 10);
        MD5STEP(I, c, d, a, b, LoadLE(p + 8) + 0x2ad7d2bbu, 15);
        MD5STEP(I, b, c, d, a, LoadLE(p + 36) + 0xeb86d391u, 21);

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

int CMD5::DigestBinary(const unsigned char* data, unsigned int length, CString& digest) {
    if (!data && length) {
        digest.Empty();
        return -1;
    }
    Init();
    const uint64_t bits = static_cast<uint64_t>(length) * 8u;
    m_state[4] = static_cast<uint32_t>(bits);
    m_state[5] = static_cast<uint32_t>(bits >> 32);

    const size_t whole = length / 64u;
    if (whole) Transform(data, whole);

    // Tail, the 0x80 marker, zeros and the bit length: one or two blocks.
    const uint32_t rest = length % 64u;
    m_state[6] = rest;
    if (rest) memcpy(m_block, data + whole * 64u, rest);
    m_block[rest] = 0x80;
    if (rest >= 56) {
        memset(m_block + rest + 1, 0, 63 - rest);
        Transform(m_block, 1);
        memset(m_block, 0, 56);
    } else {
        memset(m_block + rest + 1, 0, 55 - rest);
    }
    StoreLE(m_block + 56, m_state[4]);
    StoreLE(m_block + 60, m_state[5]);
    Transform(m_block, 1);

    static const char hex[] = "0123456789abcdef";
    char text[33];
    for (int i = 0; i < 4; ++i) {
        for (int k = 0; k < 4; ++k) {
            const unsigned v = (m_state[i] >> (8 * k)) & 0xffu;
            text[i * 8 + k * 2] = hex[v >> 4];
            text[i * 8 + k * 2 + 1] = hex[v & 0xfu];
        }
    }
    text[32] = '\0';
    digest = text;
    return 0;
}
