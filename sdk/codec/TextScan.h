// Pointer-and-length readers under COamCommand. Each works on a view of the
// remaining text and shortens that view exactly as the matching COamCommand
// operation shortens its string (from the front, and for the bracket form
// by trimming the end). No I/O and no state: the fuzzer and the benchmarks
// drive these directly.
//
// All searches go through the multibyte scanner of the ANSI code page, so a
// delimiter byte that is the trail byte of a double-byte character is not a
// delimiter. Every view handed out starts on a character boundary.
#pragma once

#include <stddef.h>

#include "OamRecords.h"

namespace oam {
namespace codec {

struct Span {
    const char* p = nullptr;
    size_t n = 0;

    Span() = default;
    Span(const char* s, size_t len) : p(s), n(len) {}
    void DropFront(size_t k) {
        p += k;
        n -= k;
    }
};

constexpr size_t npos = static_cast<size_t>(-1);

// First c that is a character of its own, or npos.
size_t Find(Span s, char c);
// Without the six white-space characters at either end.
Span Trim(Span s);
bool EqualNoCase(Span a, Span b);

// atoi without its undefined behaviour: leading white space, an optional
// sign, then digits up to the first other byte (0 when there are none).
// Numbers outside the int range saturate at INT_MIN / INT_MAX.
int Atoi(Span s);
// atof (strtod under the current locale) of the text up to its first NUL.
double Atof(Span s);

// Length of the longest prefix of s (n bytes) that is at most max bytes long
// and does not end inside a character: never between a lead and a trail byte
// of a double-byte code page, nor inside a UTF-8 sequence in code page 65001.
size_t FitLength(const char* s, size_t n, size_t max);
// Copies s into dst with a NUL, cut by FitLength to cap - 1 bytes. Writes
// nothing when cap is 0. Returns the number of bytes copied before the NUL.
size_t CopyFit(char* dst, size_t cap, const char* s, size_t n);

// How much of an entry a reader got before it stopped.
enum class Got { Nothing, Part, Whole };

// The first NAME=VALUE; pair. Part: the name was read but no ";" follows.
// length is that of the pair with its ";". Does not shorten the text.
struct Pair {
    Got got = Got::Nothing;
    Span name;
    Span value;
    size_t length = 0;
};
Pair ScanPair(Span text);

// The bracket form value[name]. Part: the value was read and the text
// shortened past the "[", but no name follows.
struct Bracket {
    Got got = Got::Nothing;
    Span value;
    Span name;
};
Bracket PopBracket(Span& text);

// One station entry id[name]number, up to and including its ",". On Part
// only id is set, untrimmed; on Whole id and name are trimmed.
struct StationEntry {
    Got got = Got::Nothing;
    Span id;
    Span name;
    int number = 0;
};
StationEntry PopStation(Span& text);

// One station entry into a record: id cut to fit, name decoded as device
// names are, number. A null record only reads (the list is counted).
// Returns what PopStation got; the record is written only on Whole.
Got PopStationRecord(Span& text, STATION_STRUCT* station);

// One PTZ entry / one device entry into a record; 1 read, 0 not. A failed
// read leaves what it consumed and wrote. A null record reads nothing.
int PopPtz(Span& text, PTZDEVICE_STRUCT* ptz);
int PopDevice(Span& text, WACDEVICE_STRUCT* device);

// Decodes a base64 name (Base64::base64ToBin over the span, up to its first
// NUL, at most 256 bytes) and copies the decoded text, up to its first NUL
// and cut to fit, into field.
void DecodeName(Span base64, char* field, size_t cap);

}  // namespace codec
}  // namespace oam
