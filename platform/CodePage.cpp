// The ANSI code page the library scans with and the multibyte scanning
// rules built on it; the same on both backends, which only supply the
// system's code page.
#include <atomic>
#include <cstring>

#include "oam_string.h"
#include "PlatformShared.h"

namespace {

std::atomic<UINT> g_acp{0};

bool IsDoubleByte(UINT cp) {
    return cp == 932 || cp == 936 || cp == 949 || cp == 950;
}

bool LeadByte(UINT cp, unsigned char b) {
    switch (cp) {
    case 932:
        return (b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC);
    case 936:
    case 949:
    case 950:
        return b >= 0x81 && b <= 0xFE;
    default:
        return false;
    }
}

// Latin-1 letters fold too in the Western single-byte pages.
bool FoldsLatin1(UINT cp) {
    return cp == 1252 || cp == 28591;
}

unsigned char Lower(UINT cp, unsigned char c) {
    if (c >= 'A' && c <= 'Z') return static_cast<unsigned char>(c + 32);
    if (FoldsLatin1(cp) && c >= 0xC0 && c <= 0xDE && c != 0xD7) return static_cast<unsigned char>(c + 32);
    return c;
}

unsigned char Upper(UINT cp, unsigned char c) {
    if (c >= 'a' && c <= 'z') return static_cast<unsigned char>(c - 32);
    if (FoldsLatin1(cp) && c >= 0xE0 && c <= 0xFE && c != 0xF7) return static_cast<unsigned char>(c - 32);
    return c;
}

}  // namespace

UINT OamGetACP() {
    UINT cp = g_acp.load(std::memory_order_relaxed);
    if (cp == 0) {
        cp = oam::platform::SystemACP();
        UINT expected = 0;
        g_acp.compare_exchange_strong(expected, cp, std::memory_order_relaxed);
        cp = g_acp.load(std::memory_order_relaxed);
    }
    return cp;
}

BOOL OamSetACP(UINT codePage) {
    // 0 reads the locale again; useful after the host called setlocale.
    g_acp.store(codePage == 0 ? oam::platform::SystemACP() : codePage, std::memory_order_relaxed);
    return TRUE;
}

BOOL OamIsDBCSLeadByteEx(UINT codePage, BYTE b) {
    return LeadByte(codePage, b) ? TRUE : FALSE;
}

namespace oam {
namespace mbcs {

size_t FindChar(const char* s, size_t n, char c, size_t from) {
    if (from >= n) return npos;
    UINT cp = OamGetACP();
    if (!IsDoubleByte(cp)) {
        const void* p = memchr(s + from, c, n - from);
        return p ? static_cast<size_t>(static_cast<const char*>(p) - s) : npos;
    }
    for (size_t i = from; i < n;) {
        unsigned char b = static_cast<unsigned char>(s[i]);
        if (LeadByte(cp, b) && i + 1 < n) {
            i += 2;
            continue;
        }
        if (s[i] == c) return i;
        ++i;
    }
    return npos;
}

size_t FindLastChar(const char* s, size_t n, char c) {
    UINT cp = OamGetACP();
    if (!IsDoubleByte(cp)) {
        for (size_t i = n; i > 0; --i)
            if (s[i - 1] == c) return i - 1;
        return npos;
    }
    // Lead bytes are only known scanning forward.
    size_t last = npos;
    for (size_t i = 0; i < n;) {
        unsigned char b = static_cast<unsigned char>(s[i]);
        if (LeadByte(cp, b) && i + 1 < n) {
            i += 2;
            continue;
        }
        if (s[i] == c) last = i;
        ++i;
    }
    return last;
}

size_t Find(const char* s, size_t n, const char* sub, size_t m, size_t from) {
    if (from > n) return npos;
    if (m == 0) return from;
    UINT cp = OamGetACP();
    if (!IsDoubleByte(cp)) {
        std::string_view v(s, n);
        size_t p = v.find(std::string_view(sub, m), from);
        return p == std::string_view::npos ? npos : p;
    }
    // A pattern that ends in a lone lead byte would take the first half of
    // a character of s: such a match counts only at the very end of s.
    size_t lastStart = 0;
    for (size_t j = 0; j < m;) {
        lastStart = j;
        j += (LeadByte(cp, static_cast<unsigned char>(sub[j])) && j + 1 < m) ? 2 : 1;
    }
    bool endsInLead = LeadByte(cp, static_cast<unsigned char>(sub[lastStart])) && lastStart == m - 1;
    for (size_t i = from; i + m <= n;) {
        if (memcmp(s + i, sub, m) == 0 && !(endsInLead && i + m < n)) return i;
        unsigned char b = static_cast<unsigned char>(s[i]);
        i += (LeadByte(cp, b) && i + 1 < n) ? 2 : 1;
    }
    return npos;
}

int CompareNoCase(const char* a, size_t an, const char* b, size_t bn) {
    UINT cp = OamGetACP();
    bool dbcs = IsDoubleByte(cp);
    size_t i = 0, j = 0;
    while (i < an && j < bn) {
        unsigned char x = static_cast<unsigned char>(a[i]);
        unsigned char y = static_cast<unsigned char>(b[j]);
        bool xl = dbcs && LeadByte(cp, x) && i + 1 < an;
        bool yl = dbcs && LeadByte(cp, y) && j + 1 < bn;
        if (xl || yl) {
            // A double-byte character compares by its code, never folded.
            unsigned cx = xl ? (x << 8 | static_cast<unsigned char>(a[i + 1])) : Lower(cp, x);
            unsigned cy = yl ? (y << 8 | static_cast<unsigned char>(b[j + 1])) : Lower(cp, y);
            if (cx != cy) return cx < cy ? -1 : 1;
            i += xl ? 2 : 1;
            j += yl ? 2 : 1;
            continue;
        }
        unsigned char lx = Lower(cp, x), ly = Lower(cp, y);
        if (lx != ly) return lx < ly ? -1 : 1;
        ++i;
        ++j;
    }
    if (i < an) return 1;
    if (j < bn) return -1;
    return 0;
}

namespace {
template <unsigned char (*Fold)(UINT, unsigned char)>
void Transform(char* s, size_t n) {
    UINT cp = OamGetACP();
    bool dbcs = IsDoubleByte(cp);
    for (size_t i = 0; i < n; ++i) {
        unsigned char b = static_cast<unsigned char>(s[i]);
        if (dbcs && LeadByte(cp, b) && i + 1 < n) {
            ++i;  // leave the trail byte alone
            continue;
        }
        s[i] = static_cast<char>(Fold(cp, b));
    }
}
}  // namespace

void MakeLower(char* s, size_t n) {
    Transform<Lower>(s, n);
}

void MakeUpper(char* s, size_t n) {
    Transform<Upper>(s, n);
}

}  // namespace mbcs
}  // namespace oam
