// Single-byte string and string array with the member names of the MFC
// classes the library and its hosts are written against, plus the ANSI code
// page that decides how multibyte text is scanned.
//
// Text is a run of 8-bit characters of the process's ANSI code page. In the
// double-byte code pages (932, 936, 949, 950) searching, case folding and
// case-insensitive comparison never split a lead byte from its trail byte:
// in code page 932, 0x81 0x5B is one character although 0x5B is "[".
//
// The basic members are inline; the multibyte-aware ones (Find, case
// folding, CompareNoCase) go through the code page functions below.
#pragma once

#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "oam_win.h"

// ---- ANSI code page --------------------------------------------------------
// The code page the library scans text with: the one a host set with
// OamSetACP, else the system's. On Windows the system's is GetACP(); on
// POSIX it comes from the locale's codeset (UTF-8 -> 65001, the East Asian
// double-byte sets -> 932/936/949/950, plain ASCII as in the "C" locale ->
// 20127, else 1252). A host may set 932, 936, 949, 950, 65001 or any
// single-byte page; 0 goes back to the system's (on POSIX read anew, which
// is useful after the host called setlocale). Case folding touches A-Z
// only, plus the Latin-1 letters in 1252 and 28591.
OAMSDK_API UINT OamGetACP();
OAMSDK_API BOOL OamSetACP(UINT codePage);
// Lead bytes of the double-byte code pages, by the library's own tables (the
// same on every system); FALSE for any other code page.
OAMSDK_API BOOL OamIsDBCSLeadByteEx(UINT codePage, BYTE b);

namespace oam {
namespace mbcs {
constexpr size_t npos = static_cast<size_t>(-1);
// Every offset given is a character boundary of the text.
OAMSDK_API size_t FindChar(const char* s, size_t n, char c, size_t from);
OAMSDK_API size_t FindLastChar(const char* s, size_t n, char c);
// A match starts and ends on character boundaries of s.
OAMSDK_API size_t Find(const char* s, size_t n, const char* sub, size_t m, size_t from);
OAMSDK_API int CompareNoCase(const char* a, size_t an, const char* b, size_t bn);
OAMSDK_API void MakeLower(char* s, size_t n);
OAMSDK_API void MakeUpper(char* s, size_t n);
inline bool IsSpace(char c) {
    return c == ' ' || (c >= '\t' && c <= '\r');
}
}  // namespace mbcs
}  // namespace oam

// ---- CString -----------------------------------------------------------------
class CString {
public:
    CString() = default;
    CString(const char* s) : m_buf(s ? s : "") {}
    CString(const char* s, int n) : m_buf(s && n > 0 ? std::string(s, static_cast<size_t>(n)) : std::string()) {}
    CString(char ch, int repeat = 1) : m_buf(repeat > 0 ? static_cast<size_t>(repeat) : 0, ch) {}
    CString(const std::string& s) : m_buf(s) {}
    CString(const CString& o) : m_buf(o.data(), o.size()) {}
    CString(CString&& o) noexcept : m_buf(std::move(o.m_buf)), m_off(o.m_off) { o.m_off = 0; }

    CString& operator=(const CString& o) {
        if (this != &o) {
            m_buf.assign(o.data(), o.size());
            m_off = 0;
        }
        return *this;
    }
    CString& operator=(CString&& o) noexcept {
        if (this != &o) {
            m_buf = std::move(o.m_buf);
            m_off = o.m_off;
            o.m_buf.clear();
            o.m_off = 0;
        }
        return *this;
    }
    CString& operator=(const char* s) {
        // s may point into this string
        std::string t(s ? s : "");
        m_buf.swap(t);
        m_off = 0;
        return *this;
    }
    CString& operator=(char ch) {
        m_buf.assign(1, ch);
        m_off = 0;
        return *this;
    }

    int GetLength() const { return static_cast<int>(size()); }
    bool IsEmpty() const { return size() == 0; }
    void Empty() {
        m_buf.clear();
        m_off = 0;
    }
    const char* GetString() const { return m_buf.c_str() + m_off; }
    operator const char*() const { return GetString(); }
    std::string str() const { return std::string(data(), size()); }

    char GetAt(int i) const { return data()[i]; }
    char operator[](int i) const { return data()[i]; }
    void SetAt(int i, char ch) { m_buf[m_off + static_cast<size_t>(i)] = ch; }

    // Multibyte-aware search; -1 when not found.
    int Find(char ch, int start = 0) const {
        if (start < 0 || static_cast<size_t>(start) > size()) return -1;
        return pos(oam::mbcs::FindChar(data(), size(), ch, static_cast<size_t>(start)));
    }
    int Find(const char* sub, int start = 0) const {
        if (!sub || start < 0 || static_cast<size_t>(start) > size()) return -1;
        return pos(oam::mbcs::Find(data(), size(), sub, strlen(sub), static_cast<size_t>(start)));
    }

    // Last occurrence of ch that is a whole character; -1 when none.
    int ReverseFind(char ch) const { return pos(oam::mbcs::FindLastChar(data(), size(), ch)); }

    CString Left(int n) const { return sub(0, n); }
    CString Mid(int first) const { return sub(first, GetLength()); }
    CString Mid(int first, int count) const { return sub(first, count); }
    CString Right(int n) const {
        int len = GetLength();
        if (n <= 0) return CString();
        if (n >= len) return *this;
        return sub(len - n, n);
    }

    // Removes count characters from index on. Removing from the front is
    // amortised O(1), so that reading a long text pair by pair stays linear.
    int Delete(int index, int count = 1) {
        size_t len = size();
        if (index < 0) index = 0;
        if (count <= 0 || static_cast<size_t>(index) >= len) return GetLength();
        size_t c = static_cast<size_t>(count);
        if (c > len - static_cast<size_t>(index)) c = len - static_cast<size_t>(index);
        if (index == 0) {
            m_off += c;
            if (m_off == m_buf.size()) {
                Empty();
            } else if (m_off > 1024 && m_off * 2 > m_buf.size()) {
                m_buf.erase(0, m_off);
                m_off = 0;
            }
        } else {
            m_buf.erase(m_off + static_cast<size_t>(index), c);
        }
        return GetLength();
    }

    CString& TrimRight() {
        size_t e = size();
        while (e > 0 && oam::mbcs::IsSpace(data()[e - 1])) --e;
        m_buf.resize(m_off + e);
        return *this;
    }
    CString& TrimLeft() {
        size_t b = 0, n = size();
        while (b < n && oam::mbcs::IsSpace(data()[b])) ++b;
        if (b) Delete(0, static_cast<int>(b));
        return *this;
    }
    CString& Trim() { return TrimRight().TrimLeft(); }

    CString& MakeLower() {
        compact();
        oam::mbcs::MakeLower(&m_buf[0], m_buf.size());
        return *this;
    }
    CString& MakeUpper() {
        compact();
        oam::mbcs::MakeUpper(&m_buf[0], m_buf.size());
        return *this;
    }

    int Compare(const char* s) const {
        std::string_view a(data(), size()), b(s ? s : "");
        int r = a.compare(b);
        return r < 0 ? -1 : (r > 0 ? 1 : 0);
    }
    int CompareNoCase(const char* s) const {
        if (!s) s = "";
        return oam::mbcs::CompareNoCase(data(), size(), s, strlen(s));
    }

    void Format(const char* fmt, ...) __attribute__((format(printf, 2, 3))) {
        va_list ap;
        va_start(ap, fmt);
        FormatV(fmt, ap);
        va_end(ap);
    }
    void AppendFormat(const char* fmt, ...) __attribute__((format(printf, 2, 3))) {
        va_list ap;
        va_start(ap, fmt);
        CString t;
        t.FormatV(fmt, ap);
        va_end(ap);
        *this += t;
    }
    void FormatV(const char* fmt, va_list ap) {
        char small[256];
        va_list ap2;
        va_copy(ap2, ap);
        int n = vsnprintf(small, sizeof small, fmt, ap);
        if (n < 0) {
            va_end(ap2);
            Empty();
            return;
        }
        std::string out;
        if (static_cast<size_t>(n) < sizeof small) {
            out.assign(small, static_cast<size_t>(n));
        } else {
            out.resize(static_cast<size_t>(n) + 1);
            vsnprintf(&out[0], out.size(), fmt, ap2);
            out.resize(static_cast<size_t>(n));
        }
        va_end(ap2);
        m_buf.swap(out);
        m_off = 0;
    }

    CString& operator+=(const CString& o) {
        if (this == &o) {
            std::string t(data(), size());
            m_buf.append(t);
        } else {
            m_buf.append(o.data(), o.size());
        }
        return *this;
    }
    CString& operator+=(const char* s) {
        if (!s) return *this;
        const char* b = m_buf.data();
        if (std::less_equal<const char*>()(b, s) && std::less_equal<const char*>()(s, b + m_buf.size())) {
            std::string t(s);  // s points into this string
            m_buf.append(t);
        } else {
            m_buf.append(s);
        }
        return *this;
    }
    CString& operator+=(char ch) {
        m_buf.push_back(ch);
        return *this;
    }

    // Writable buffer of at least minLength characters; ReleaseBuffer sets
    // the length (up to the first NUL when -1).
    char* GetBuffer(int minLength = 0) {
        compact();
        if (minLength > 0 && m_buf.size() < static_cast<size_t>(minLength)) m_buf.resize(static_cast<size_t>(minLength));
        return &m_buf[0];
    }
    char* GetBufferSetLength(int length) {
        compact();
        m_buf.resize(length > 0 ? static_cast<size_t>(length) : 0);
        return &m_buf[0];
    }
    void ReleaseBuffer(int newLength = -1) {
        if (newLength < 0) newLength = static_cast<int>(strlen(m_buf.c_str()));
        m_buf.resize(static_cast<size_t>(newLength));
    }

    friend CString operator+(const CString& a, const CString& b) {
        CString r(a);
        r += b;
        return r;
    }
    friend CString operator+(const CString& a, const char* b) {
        CString r(a);
        r += b;
        return r;
    }
    friend CString operator+(const char* a, const CString& b) {
        CString r(a);
        r += b;
        return r;
    }
    friend CString operator+(const CString& a, char b) {
        CString r(a);
        r += b;
        return r;
    }
    friend bool operator==(const CString& a, const CString& b) { return a.view() == b.view(); }
    friend bool operator==(const CString& a, const char* b) { return a.view() == std::string_view(b ? b : ""); }
    friend bool operator==(const char* a, const CString& b) { return b == a; }
    friend bool operator!=(const CString& a, const CString& b) { return !(a == b); }
    friend bool operator!=(const CString& a, const char* b) { return !(a == b); }
    friend bool operator!=(const char* a, const CString& b) { return !(b == a); }
    friend bool operator<(const CString& a, const CString& b) { return a.view() < b.view(); }

    std::string_view view() const { return std::string_view(data(), size()); }

private:
    const char* data() const { return m_buf.data() + m_off; }
    size_t size() const { return m_buf.size() - m_off; }
    static int pos(size_t p) { return p == oam::mbcs::npos ? -1 : static_cast<int>(p); }
    void compact() {
        if (m_off) {
            m_buf.erase(0, m_off);
            m_off = 0;
        }
    }
    CString sub(int first, int count) const {
        int len = GetLength();
        if (first < 0) first = 0;
        if (first > len) first = len;
        if (count < 0) count = 0;
        if (count > len - first) count = len - first;
        return CString(data() + first, count);
    }

    std::string m_buf;
    size_t m_off = 0;  // characters already removed from the front
};

// ---- CStringArray ------------------------------------------------------------
class CStringArray {
public:
    int GetSize() const { return static_cast<int>(m_items.size()); }
    int GetCount() const { return GetSize(); }
    int GetUpperBound() const { return GetSize() - 1; }
    bool IsEmpty() const { return m_items.empty(); }
    int Add(const CString& s) {
        m_items.push_back(s);
        return GetSize() - 1;
    }
    int Add(const char* s) { return Add(CString(s)); }
    const CString& GetAt(int i) const { return m_items.at(static_cast<size_t>(i)); }
    CString& ElementAt(int i) { return m_items.at(static_cast<size_t>(i)); }
    void SetAt(int i, const CString& s) { m_items.at(static_cast<size_t>(i)) = s; }
    const CString& operator[](int i) const { return GetAt(i); }
    CString& operator[](int i) { return ElementAt(i); }
    void RemoveAt(int i, int count = 1) {
        if (i < 0 || count <= 0 || i >= GetSize()) return;
        auto b = m_items.begin() + i;
        auto e = (count >= GetSize() - i) ? m_items.end() : b + count;
        m_items.erase(b, e);
    }
    void RemoveAll() { m_items.clear(); }

private:
    std::vector<CString> m_items;
};
