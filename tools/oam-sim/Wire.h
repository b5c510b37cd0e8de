// Protocol text as the server sees it: NAME=VALUE; pairs, reply framing,
// base64 names and MD5 digest text. Deliberately independent of the
// library's codec so that the simulator checks the library rather than
// sharing its mistakes. The digest itself is Corbex's, which the tests
// check against a reference implementation.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace oamsim {

struct Pair {
    std::string name;
    std::string value;
};

// Splits text into pairs at ";" and each piece at its first "=". Names and
// values are trimmed of ASCII white space; empty pieces are skipped. Gives
// nullopt when a non-empty piece has no "=" or an empty name.
std::optional<std::vector<Pair>> ParsePairs(std::string_view text);

bool EqualsNoCase(std::string_view a, std::string_view b);
std::string_view Trim(std::string_view s);

// Strict decimal integer: optional sign and digits only, within int32.
std::optional<int32_t> ParseInt(std::string_view s);
// Strict unsigned decimal count up to `max`.
std::optional<uint64_t> ParseCount(std::string_view s, uint64_t max);

// A request after framing: SESSIONID first, then STATIONID (absent for a
// log-in), then CMD, then the command's own pairs.
struct Request {
    int32_t session = -1;
    bool hasStation = false;
    std::string station;
    std::string command;
    std::vector<Pair> params;

    const Pair* Find(std::string_view name) const;
};

// nullopt with `why` set when the text is no request. `session` is set
// whenever a leading SESSIONID could be read, so that even a refusal of a
// malformed request can carry it back.
std::optional<Request> ParseRequest(std::string_view text, int32_t& session, std::string& why);

// Reply text: SESSIONID=<n>;RETURNCODE=<code>; followed by the pairs.
std::string FormatReply(int32_t session, int code, const std::vector<Pair>& pairs = {});
// A value may not carry the delimiters that would end it early.
std::string SafeValue(std::string_view text);

std::string Base64Encode(std::string_view bytes);
// Lowercase hex MD5 of the bytes.
std::string Md5Hex(const void* data, size_t length);

// True when a bare file name is safe to join to a directory: non-empty,
// at most 255 bytes, no separators, no "." or "..", no control bytes and
// none of the protocol's delimiters.
bool IsSafeFileName(std::string_view name);

}  // namespace oamsim
