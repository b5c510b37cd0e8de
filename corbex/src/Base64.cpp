// Base64 decoding for names that travel inside list values.
#include "Corbex.h"

#include <string.h>

namespace {

// decode64 for every byte, looked up instead of branched on: a list of
// names decodes thousands of them per reply. 64 and above is no data; 64
// marks the white space that is skipped.
struct DecodeTable {
    unsigned char v[256];
    DecodeTable(char (*decode64)(unsigned char)) {
        for (int c = 0; c < 256; ++c) {
            // decode64's -1 is 255 where char is unsigned (ARM Linux):
            // compare the value as unsigned, so that "=" is never data.
            v[c] = static_cast<unsigned char>(decode64(static_cast<unsigned char>(c)));
            if (v[c] > 63) v[c] = 255;
            if (c == ' ' || (c >= '\t' && c <= '\r')) v[c] = 64;  // wrapped or padded text
        }
    }
};

}  // namespace

int Base64::base64ToBin(const char* text, unsigned char* out, int capacity) {
    if (!text) return 0;
    return base64ToBin(text, strlen(text), out, capacity);
}

int Base64::base64ToBin(const char* text, size_t length, unsigned char* out, int capacity) {
    static const DecodeTable table(&Base64::decode64);
    if (!text || !out || capacity <= 0) return 0;
    uint32_t acc = 0;  // at most 12 pending bits
    int bits = 0;
    int n = 0;
    const unsigned char* p = reinterpret_cast<const unsigned char*>(text);
    const unsigned char* const end = p + length;
    for (; p < end && n < capacity; ++p) {
        // Four letters of data make three bytes at once. A NUL is no data,
        // so the C-string reading stops there as before.
        unsigned a, b, c, d;
        while (bits == 0 && n + 3 <= capacity && end - p >= 4 && (a = table.v[p[0]]) < 64 &&
               (b = table.v[p[1]]) < 64 && (c = table.v[p[2]]) < 64 && (d = table.v[p[3]]) < 64) {
            const uint32_t v = a << 18 | b << 12 | c << 6 | d;
            out[n] = static_cast<unsigned char>(v >> 16);
            out[n + 1] = static_cast<unsigned char>(v >> 8);
            out[n + 2] = static_cast<unsigned char>(v);
            n += 3;
            p += 4;
        }
        if (p >= end || n >= capacity) break;
        const unsigned char v = table.v[*p];
        if (v == 64) continue;
        if (v > 63) break;  // "=" ends the data, so does any stray byte
        acc = (acc << 6) | v;
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out[n++] = static_cast<unsigned char>(acc >> bits);
            acc &= (1u << bits) - 1u;
        }
    }
    return n;
}
