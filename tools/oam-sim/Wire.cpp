#include "Wire.h"

#include <cctype>
#include <climits>

#include "Corbex.h"

namespace oamsim {

namespace {
bool IsBlank(char c) {
    return c == ' ' || (c >= '\t' && c <= '\r');
}
char Lower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}
}  // namespace

std::string_view Trim(std::string_view s) {
    size_t b = 0, e = s.size();
    while (b < e && IsBlank(s[b])) ++b;
    while (e > b && IsBlank(s[e - 1])) --e;
    return s.substr(b, e - b);
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (Lower(a[i]) != Lower(b[i])) return false;
    return true;
}

std::optional<std::vector<Pair>> ParsePairs(std::string_view text) {
    std::vector<Pair> out;
    size_t start = 0;
    while (start < text.size()) {
        size_t semi = text.find(';', start);
        std::string_view piece = text.substr(start, semi == std::string_view::npos ? std::string_view::npos : semi - start);
        start = semi == std::string_view::npos ? text.size() : semi + 1;
        if (Trim(piece).empty()) continue;
        size_t eq = piece.find('=');
        if (eq == std::string_view::npos) return std::nullopt;
        std::string_view name = Trim(piece.substr(0, eq));
        if (name.empty()) return std::nullopt;
        out.push_back(Pair{std::string(name), std::string(Trim(piece.substr(eq + 1)))});
    }
    return out;
}

std::optional<int32_t> ParseInt(std::string_view s) {
    s = Trim(s);
    if (s.empty()) return std::nullopt;
    bool neg = false;
    size_t i = 0;
    if (s[0] == '+' || s[0] == '-') {
        neg = s[0] == '-';
        i = 1;
    }
    if (i == s.size() || s.size() - i > 11) return std::nullopt;
    int64_t v = 0;
    for (; i < s.size(); ++i) {
        if (s[i] < '0' || s[i] > '9') return std::nullopt;
        v = v * 10 + (s[i] - '0');
    }
    if (neg) v = -v;
    if (v < INT32_MIN || v > INT32_MAX) return std::nullopt;
    return static_cast<int32_t>(v);
}

std::optional<uint64_t> ParseCount(std::string_view s, uint64_t max) {
    s = Trim(s);
    if (s.empty() || s.size() > 19) return std::nullopt;
    uint64_t v = 0;
    for (char c : s) {
        if (c < '0' || c > '9') return std::nullopt;
        v = v * 10 + static_cast<uint64_t>(c - '0');
    }
    if (v > max) return std::nullopt;
    return v;
}

const Pair* Request::Find(std::string_view name) const {
    for (const Pair& p : params)
        if (EqualsNoCase(p.name, name)) return &p;
    return nullptr;
}

std::optional<Request> ParseRequest(std::string_view text, int32_t& session, std::string& why) {
    session = -1;
    auto pairs = ParsePairs(text);
    if (!pairs || pairs->empty()) {
        // Still try to echo a leading session number back.
        std::string_view t = Trim(text);
        size_t eq = t.find('='), semi = t.find(';');
        if (eq != std::string_view::npos && semi != std::string_view::npos && eq < semi &&
            EqualsNoCase(Trim(t.substr(0, eq)), "SESSIONID"))
            session = ParseInt(t.substr(eq + 1, semi - eq - 1)).value_or(-1);
        why = "malformed request";
        return std::nullopt;
    }
    const std::vector<Pair>& p = *pairs;
    if (!EqualsNoCase(p[0].name, "SESSIONID")) {
        why = "request does not start with SESSIONID";
        return std::nullopt;
    }
    auto sid = ParseInt(p[0].value);
    if (!sid) {
        why = "SESSIONID is not a number";
        return std::nullopt;
    }
    session = *sid;
    Request r;
    r.session = *sid;
    size_t i = 1;
    if (i < p.size() && EqualsNoCase(p[i].name, "STATIONID")) {
        r.hasStation = true;
        r.station = p[i].value;
        ++i;
    }
    if (i >= p.size() || !EqualsNoCase(p[i].name, "CMD") || p[i].value.empty()) {
        why = "request has no CMD";
        return std::nullopt;
    }
    r.command = p[i].value;
    r.params.assign(p.begin() + static_cast<std::ptrdiff_t>(i) + 1, p.end());
    return r;
}

std::string SafeValue(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        unsigned char u = static_cast<unsigned char>(c);
        if (c == ';' || c == '=' || u < 0x20 || u == 0x7f)
            out.push_back(' ');
        else
            out.push_back(c);
    }
    return out;
}

std::string FormatReply(int32_t session, int code, const std::vector<Pair>& pairs) {
    std::string out = "SESSIONID=" + std::to_string(session) + ";RETURNCODE=" + std::to_string(code) + ";";
    for (const Pair& p : pairs) {
        out += p.name;
        out += '=';
        out += p.value;
        out += ';';
    }
    return out;
}

std::string Base64Encode(std::string_view bytes) {
    static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    size_t i = 0;
    auto at = [&](size_t k) { return static_cast<uint32_t>(static_cast<unsigned char>(bytes[k])); };
    for (; i + 3 <= bytes.size(); i += 3) {
        uint32_t v = (at(i) << 16) | (at(i + 1) << 8) | at(i + 2);
        out += kAlphabet[(v >> 18) & 63];
        out += kAlphabet[(v >> 12) & 63];
        out += kAlphabet[(v >> 6) & 63];
        out += kAlphabet[v & 63];
    }
    size_t rest = bytes.size() - i;
    if (rest) {
        uint32_t v = at(i) << 16;
        if (rest == 2) v |= at(i + 1) << 8;
        out += kAlphabet[(v >> 18) & 63];
        out += kAlphabet[(v >> 12) & 63];
        out += rest == 2 ? kAlphabet[(v >> 6) & 63] : '=';
        out += '=';
    }
    return out;
}

std::string Md5Hex(const void* data, size_t length) {
    // Corbex's digest: the same on every system the simulator's pieces are
    // built for. Its length is 32 bits wide, far above the file limit.
    if (length > UINT_MAX) return std::string();
    static const unsigned char kEmpty = 0;
    CString digest;
    if (CMD5().DigestBinary(length ? static_cast<const unsigned char*>(data) : &kEmpty, static_cast<unsigned>(length),
                            digest) != 0)
        return std::string();
    return digest.str();
}

bool IsSafeFileName(std::string_view name) {
    if (name.empty() || name.size() > 255 || name == "." || name == "..") return false;
    for (char c : name) {
        unsigned char u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7f) return false;
        switch (c) {
            case '/': case '\\': case ';': case '=': case ':': case '*': case '?':
            case '"': case '<': case '>': case '|':
                return false;
            default:
                break;
        }
    }
    return true;
}

}  // namespace oamsim
