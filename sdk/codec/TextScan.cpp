#include "codec/TextScan.h"

#include <limits.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "Corbex.h"
#include "oam_string.h"

namespace oam {
namespace codec {

namespace {

// memmove for the few bytes of an identifier or a name, without a library
// call each: every load comes before the stores, so overlap is fine.
void Move(char* dst, const char* src, size_t n) {
    uint64_t a, b, c, d;
    if (n > 32) {
        memmove(dst, src, n);
    } else if (n >= 16) {
        memcpy(&a, src, 8);
        memcpy(&b, src + 8, 8);
        memcpy(&c, src + n - 16, 8);
        memcpy(&d, src + n - 8, 8);
        memcpy(dst, &a, 8);
        memcpy(dst + 8, &b, 8);
        memcpy(dst + n - 16, &c, 8);
        memcpy(dst + n - 8, &d, 8);
    } else if (n >= 8) {
        memcpy(&a, src, 8);
        memcpy(&b, src + n - 8, 8);
        memcpy(dst, &a, 8);
        memcpy(dst + n - 8, &b, 8);
    } else if (n >= 4) {
        uint32_t x, y;
        memcpy(&x, src, 4);
        memcpy(&y, src + n - 4, 4);
        memcpy(dst, &x, 4);
        memcpy(dst + n - 4, &y, 4);
    } else if (n > 0) {
        char x = src[0], y = src[n / 2], z = src[n - 1];
        dst[0] = x;
        dst[n / 2] = y;
        dst[n - 1] = z;
    }
}

// Copies s with a NUL for the C functions that want one; short texts stay
// on the stack.
class CText {
public:
    explicit CText(Span s) {
        if (s.n < sizeof m_small) {
            Move(m_small, s.p, s.n);
            m_small[s.n] = '\0';
            m_p = m_small;
        } else {
            m_big.assign(s.p, s.n);
            m_p = m_big.c_str();
        }
    }
    CText(const CText&) = delete;
    CText& operator=(const CText&) = delete;
    const char* c_str() const { return m_p; }

private:
    char m_small[512];
    std::string m_big;
    const char* m_p;
};

}  // namespace

namespace {

// Find past the words of the fast path: the bytes left of the head, one by
// one while below 0x80, then the code page's scanner.
#if defined(__GNUC__)
__attribute__((noinline))
#endif
size_t FindRest(Span s, char c, size_t i) {
    const size_t head = s.n < 64 ? s.n : 64;
    if (!(static_cast<unsigned char>(c) & 0x80)) {
        for (; i < head && !(static_cast<unsigned char>(s.p[i]) & 0x80); ++i)
            if (s.p[i] == c) return i;
    }
    i = oam::mbcs::FindChar(s.p, s.n, c, i);
    return i == oam::mbcs::npos ? npos : i;
}

}  // namespace

size_t Find(Span s, char c) {
    // Delimiters are mostly a few bytes away (the "," after a station's
    // number), nearer than a library call pays off. Bytes below 0x80 are
    // characters of their own in every code page, so a run of them needs no
    // scanner: eight at a time, it takes over at the first other byte, or
    // after the run. The word that holds c gives its place at once: the
    // lowest flagged byte of the zero-byte test is always a true one (a
    // false flag only ever follows a true one), and on a little-endian load
    // the lowest byte comes first.
    size_t i = 0;
    if (!(static_cast<unsigned char>(c) & 0x80)) {
        const uint64_t ones = 0x0101010101010101ull, highs = 0x8080808080808080ull;
        const uint64_t pattern = ones * static_cast<unsigned char>(c);
        const size_t head = s.n < 64 ? s.n : 64;
        for (; i + 8 <= head; i += 8) {
            uint64_t w;
            memcpy(&w, s.p + i, 8);
            if (w & highs) break;
            uint64_t x = w ^ pattern;  // a zero byte where c is
            uint64_t hit = (x - ones) & ~x & highs;
#if defined(__GNUC__) && defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
            if (hit) return i + static_cast<size_t>(__builtin_ctzll(hit)) / 8;
#else
            if (hit) break;
#endif
        }
    }
    return FindRest(s, c, i);
}

Span Trim(Span s) {
    while (s.n && oam::mbcs::IsSpace(s.p[s.n - 1])) --s.n;
    size_t b = 0;
    while (b < s.n && oam::mbcs::IsSpace(s.p[b])) ++b;
    s.DropFront(b);
    return s;
}

bool EqualNoCase(Span a, Span b) {
    return oam::mbcs::CompareNoCase(a.p, a.n, b.p, b.n) == 0;
}

int Atoi(Span s) {
    size_t i = 0;
    while (i < s.n && oam::mbcs::IsSpace(s.p[i])) ++i;
    bool neg = false;
    if (i < s.n && (s.p[i] == '+' || s.p[i] == '-')) {
        neg = s.p[i] == '-';
        ++i;
    }
    // One past INT_MAX is enough to tell INT_MIN from saturation.
    const int64_t cap = static_cast<int64_t>(INT_MAX) + 1;
    int64_t acc = 0;
    for (; i < s.n && s.p[i] >= '0' && s.p[i] <= '9'; ++i) {
        acc = acc * 10 + (s.p[i] - '0');
        if (acc > cap) acc = cap;
    }
    if (neg) return static_cast<int>(-acc);  // -acc >= INT_MIN
    return acc > INT_MAX ? INT_MAX : static_cast<int>(acc);
}

double Atof(Span s) {
    CText t(s);
    return strtod(t.c_str(), nullptr);
}

size_t FitLength(const char* s, size_t n, size_t max) {
    if (n <= max) return n;
    UINT cp = OamGetACP();
    if (cp == 65001) {
        // s[max] is the first byte left out: do not leave its sequence cut.
        size_t k = max;
        for (int back = 0; back < 3 && k > 0 && (static_cast<unsigned char>(s[k]) & 0xC0) == 0x80; ++back) --k;
        if ((static_cast<unsigned char>(s[k]) & 0xC0) == 0x80) k = max;  // not UTF-8 after all
        return k;
    }
    size_t i = 0;
    while (i < n) {
        size_t step = (OamIsDBCSLeadByteEx(cp, static_cast<BYTE>(s[i])) && i + 1 < n) ? 2 : 1;
        if (i + step > max) break;
        i += step;
    }
    return i;
}

size_t CopyFit(char* dst, size_t cap, const char* s, size_t n) {
    if (!dst || cap == 0) return 0;
    size_t k = n < cap ? n : FitLength(s, n, cap - 1);  // most texts fit as they are
    Move(dst, s, k);
    dst[k] = '\0';
    return k;
}

Pair ScanPair(Span text) {
    Pair r;
    size_t eq = Find(text, '=');
    if (eq == npos || eq == 0) return r;
    r.name = Trim(Span(text.p, eq));
    r.got = Got::Part;
    // From the start, not from the "=": a ";" in the name ends the pair.
    size_t semi = Find(text, ';');
    if (semi == npos || semi == 0) return r;
    if (semi > eq) r.value = Trim(Span(text.p + eq + 1, semi - eq - 1));
    else r.value = Span(text.p + semi, 0);
    r.length = semi + 1;
    r.got = Got::Whole;
    return r;
}

Bracket PopBracket(Span& text) {
    Bracket r;
    size_t lb = Find(text, '[');
    if (lb == npos || lb == 0) return r;
    r.value = Trim(Span(text.p, lb));
    text.DropFront(lb + 1);
    r.got = Got::Part;
    size_t rb = Find(text, ']');
    if (rb == npos || rb == 0) return r;
    r.name = Trim(Span(text.p, rb));
    text.DropFront(rb + 1);
    text = Trim(text);
    r.got = Got::Whole;
    return r;
}

StationEntry PopStation(Span& text) {
    StationEntry r;
    size_t lb = Find(text, '[');
    if (lb == npos || lb == 0) return r;
    r.id = Span(text.p, lb);
    text.DropFront(lb + 1);
    r.got = Got::Part;
    size_t rb = Find(text, ']');
    if (rb == npos || rb == 0) return r;
    r.name = Span(text.p, rb);
    text.DropFront(rb + 1);
    // The last entry has no ",": its number is the rest, which stays.
    size_t comma = Find(text, ',');
    Span number = text;
    if (comma != npos) {
        number = Span(text.p, comma);
        text.DropFront(comma + 1);
    }
    r.number = Atoi(number);
    r.id = Trim(r.id);
    r.name = Trim(r.name);
    r.got = Got::Whole;
    return r;
}

void DecodeName(Span base64, char* field, size_t cap) {
    if (!field || cap == 0) return;
    // Only the bytes that can reach the field are decoded, and none are
    // zeroed first: CopyFit looks at no more than cap bytes of a longer
    // text, and what it keeps ends at the first NUL.
    unsigned char buf[256];
    const size_t want = cap < sizeof buf ? cap : sizeof buf;
    int got = Base64::base64ToBin(base64.p, base64.n, buf, static_cast<int>(want));
    // A name is a few bytes: eight at a time, then a byte loop, beats a
    // library call here.
    const size_t n = got > 0 ? static_cast<size_t>(got) : 0;
    const uint64_t ones = 0x0101010101010101ull, highs = 0x8080808080808080ull;
    size_t len = 0;
    for (; len + 8 <= n; len += 8) {
        uint64_t w;
        memcpy(&w, buf + len, 8);
        uint64_t zero = (w - ones) & ~w & highs;  // the lowest flag is the first zero byte
#if defined(__GNUC__) && defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
        if (zero) {
            len += static_cast<size_t>(__builtin_ctzll(zero)) / 8;
            break;
        }
#else
        if (zero) break;
#endif
    }
    while (len < n && buf[len]) ++len;
    CopyFit(field, cap, reinterpret_cast<const char*>(buf), len);
}

Got PopStationRecord(Span& text, STATION_STRUCT* station) {
    StationEntry e = PopStation(text);
    if (e.got != Got::Whole || !station) return e.got;
    CopyFit(station->StationID, sizeof station->StationID, e.id.p, e.id.n);
    DecodeName(e.name, station->StationName, sizeof station->StationName);
    station->StationValue = e.number;
    return e.got;
}

int PopPtz(Span& text, PTZDEVICE_STRUCT* ptz) {
    if (!ptz) return 0;
    Bracket b = PopBracket(text);
    if (b.got != Got::Whole) return 0;
    ptz->PtzID = Atoi(b.value);
    DecodeName(b.name, ptz->PtzName, sizeof ptz->PtzName);
    size_t comma = Find(text, ',');
    if (comma != npos) text.DropFront(comma + 1);
    return 1;
}

int PopDevice(Span& text, WACDEVICE_STRUCT* device) {
    if (!device) return 0;
    Bracket b = PopBracket(text);
    if (b.got != Got::Whole) return 0;
    device->DeviceID = Atoi(b.value);
    DecodeName(b.name, device->DeviceName, sizeof device->DeviceName);
    size_t lt = Find(text, '<');
    if (lt == npos) return 0;
    text.DropFront(lt + 1);
    size_t gt = Find(text, '>');
    if (gt == npos) return 0;
    Span ptzList(text.p, gt);
    text.DropFront(gt + 1);
    size_t colon = Find(text, ':');
    if (colon != npos) text.DropFront(colon + 1);
    int count = 0;
    while (count < 5 && PopPtz(ptzList, &device->PtzDevice[count])) ++count;
    device->PtzCount = count;
    return 1;
}

}  // namespace codec
}  // namespace oam
