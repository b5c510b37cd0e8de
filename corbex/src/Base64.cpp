// Base64 decoding for names that travel inside list values.
#include "Corbex.h"

int Base64::base64ToBin(const char* text, unsigned char* out, int capacity) {
    if (!text || !out || capacity <= 0) return 0;
    uint32_t acc = 0;  // at most 12 pending bits
    int bits = 0;
    int n = 0;
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p && n < capacity; ++p) {
        const unsigned char c = *p;
        if (c == ' ' || (c >= '\t' && c <= '\r')) continue;  // wrapped or padded text
        // decode64's -1 is 255 where char is unsigned (ARM Linux): compare
        // the value as unsigned, so that "=" is never taken for data.
        const unsigned char v = static_cast<unsigned char>(decode64(c));
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
