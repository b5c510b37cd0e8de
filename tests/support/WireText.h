// The protocol's text as peers of tests, fuzz targets and benchmarks write
// and read it: replies, the session of a request, padding, pairs.
#pragma once

#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <initializer_list>
#include <map>
#include <string>
#include <utility>

namespace oamtest {

// "SESSIONID=session;RETURNCODE=code;" followed by rest.
inline std::string Reply(const std::string& session, int code, const std::string& rest = "") {
    return "SESSIONID=" + session + ";RETURNCODE=" + std::to_string(code) + ";" + rest;
}
inline std::string Reply(int session, int code, const std::string& rest = "") {
    return Reply(std::to_string(session), code, rest);
}

// The SESSIONID a request carried, or -1.
inline int SessionOf(const std::string& request) {
    size_t at = request.find("SESSIONID=");
    if (at == std::string::npos) return -1;
    return atoi(request.c_str() + at + 10);
}

// The SESSIONID text of a request as sent (up to its ";"), or fallback.
inline std::string SessionText(const char* request, size_t n, const char* fallback = "0") {
    static const char kKey[] = "SESSIONID=";
    const char* p = std::search(request, request + n, kKey, kKey + 10);
    if (p == request + n) return fallback;
    const char* e = p + 10;
    while (e < request + n && *e != ';') ++e;
    return std::string(p + 10, e);
}
inline std::string SessionText(const std::string& request, const char* fallback = "0") {
    return SessionText(request.data(), request.size(), fallback);
}

// head followed by fill bytes up to exactly total bytes (head cut if longer).
inline std::string Padded(const std::string& head, size_t total, char fill = 'x') {
    std::string s = head.substr(0, total);
    s.resize(total, fill);
    return s;
}

// An accepted reply of exactly total bytes to the request (its session,
// then a "Pad=rrr...;" pair), as a responder of a benchmark sends it.
inline std::string PaddedReply(const char* request, size_t n, size_t total) {
    std::string r = Reply(SessionText(request, n), 0, "Pad=");
    r.resize(total - 1, 'r');
    return r + ";";
}

using Pair = std::pair<std::string, std::string>;

// "n1=v1;n2=v2;..."
inline std::string Pairs(std::initializer_list<Pair> pairs) {
    std::string s;
    for (const auto& p : pairs) s += p.first + "=" + p.second + ";";
    return s;
}

// The NAME=VALUE; pairs of a text, by name (the last one of a name wins).
inline std::map<std::string, std::string> PairsOf(const std::string& text) {
    std::map<std::string, std::string> m;
    size_t at = 0;
    while (at < text.size()) {
        size_t semi = text.find(';', at);
        if (semi == std::string::npos) break;
        std::string pair = text.substr(at, semi - at);
        size_t eq = pair.find('=');
        if (eq != std::string::npos) m[pair.substr(0, eq)] = pair.substr(eq + 1);
        at = semi + 1;
    }
    return m;
}

// Bytes as lower-case hex text, as digests travel ("MD5=...").
inline std::string HexOf(const std::string& bytes) {
    static const char hex[] = "0123456789abcdef";
    std::string out;
    for (unsigned char b : bytes) {
        out += hex[b >> 4];
        out += hex[b & 15];
    }
    return out;
}

// The documented reading of a reply text: cut at its first NUL, white space
// (space, tab, line feed, vertical tab, form feed, carriage return) trimmed
// from both ends.
inline std::string CutAndTrim(const std::string& raw) {
    std::string s = raw.substr(0, strnlen(raw.data(), raw.size()));
    auto space = [](char ch) { return ch == ' ' || (ch >= '\t' && ch <= '\r'); };
    size_t b = 0, e = s.size();
    while (b < e && space(s[b])) ++b;
    while (e > b && space(s[e - 1])) --e;
    return s.substr(b, e - b);
}

}  // namespace oamtest
