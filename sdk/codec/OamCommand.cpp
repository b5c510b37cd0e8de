#include "OamCommand.h"

#include <string.h>

#include <functional>
#include <string>

#include "codec/TextScan.h"

using oam::codec::Got;
using oam::codec::Span;

namespace {

Span View(const CString& s) {
    std::string_view v = s.view();
    return Span(v.data(), v.size());
}

Span Key(const char* key) {
    return Span(key, strlen(key));
}

// Writes s into dst in place, reusing dst's storage so that reading a long
// list entry by entry does not allocate per entry.
void Assign(CString& dst, Span s) {
    std::string_view d = dst.view();
    std::less<const char*> before;
    bool overlaps = s.n && !before(s.p, d.data()) && before(s.p, d.data() + d.size());
    if (s.n == 0 || overlaps) {
        dst = CString(s.p, static_cast<int>(s.n));
        return;
    }
    memcpy(dst.GetBufferSetLength(static_cast<int>(s.n)), s.p, s.n);
}

// Applies to the string what a reader did to its view: bytes dropped from
// the front, white space trimmed from the end.
void Shorten(CString& text, Span before, Span after) {
    size_t front = static_cast<size_t>(after.p - before.p);
    if (front) text.Delete(0, static_cast<int>(front));
    if (static_cast<size_t>(text.GetLength()) > after.n) text.TrimRight();
}

}  // namespace

// An output that is the text itself would cut the text from under the
// reader; such calls read a copy, and the output wins over the shortening.

COamCommand::COamCommand() {}

COamCommand::~COamCommand() {}

COamCommand& COamCommand::operator=(const COamCommand&) {
    return *this;
}

int COamCommand::PopNameValue(CString& text, CString& name, CString& value, int pop) {
    if (&name == &text || &value == &text) {
        CString copy(text);
        return PopNameValue(copy, name, value, pop);
    }
    oam::codec::Pair pair = oam::codec::ScanPair(View(text));
    if (pair.got == Got::Nothing) return -1;
    Assign(name, pair.name);  // kept even when no ";" follows
    if (pair.got != Got::Whole) return -1;
    Assign(value, pair.value);
    if (!pop) return static_cast<int>(pair.length);
    text.Delete(0, static_cast<int>(pair.length));
    return 0;
}

int COamCommand::PopNameValue(CString& text, CString& name, char* value, size_t valueSize, int) {
    if (&name == &text) {
        CString copy(text);
        return PopNameValue(copy, name, value, valueSize, 1);
    }
    oam::codec::Pair pair = oam::codec::ScanPair(View(text));
    if (pair.got == Got::Nothing) return -1;
    Assign(name, pair.name);
    if (pair.got != Got::Whole) return -1;
    if (value) oam::codec::CopyFit(value, valueSize, pair.value.p, pair.value.n);
    text.Delete(0, static_cast<int>(pair.length));
    return 0;
}

int COamCommand::PopSpecNameValue(CString& text, CString name, CString& value) {
    CString got;
    if (PopNameValue(text, got, value, 1) != 0) return 0;
    return got.CompareNoCase(name) == 0 ? 1 : 0;
}

int COamCommand::PopIntValue(CString& text, CString name) {
    CString value;
    if (!PopSpecNameValue(text, name, value)) return 65535;
    return oam::codec::Atoi(View(value));
}

double COamCommand::PopFloatValue(CString& text, CString name) {
    CString value;
    if (!PopSpecNameValue(text, name, value)) return 0.0;
    return oam::codec::Atof(View(value));
}

namespace {

// The first pair, when it is read whole and carries the given name.
bool LeadingPair(const CString& text, const char* key, oam::codec::Pair* pair) {
    *pair = oam::codec::ScanPair(View(text));
    return pair->got == Got::Whole && oam::codec::EqualNoCase(pair->name, Key(key));
}

int PopFixedInt(CString& text, const char* key) {
    oam::codec::Pair pair;
    if (!LeadingPair(text, key, &pair)) return -1;
    int v = oam::codec::Atoi(pair.value);
    text.Delete(0, static_cast<int>(pair.length));
    return v;
}

CString PopFixedString(CString& text, const char* key) {
    oam::codec::Pair pair;
    if (!LeadingPair(text, key, &pair)) return CString();
    CString v(pair.value.p, static_cast<int>(pair.value.n));
    text.Delete(0, static_cast<int>(pair.length));
    return v;
}

}  // namespace

int COamCommand::PopSessionID(CString& text) {
    return PopFixedInt(text, "SESSIONID");
}

int COamCommand::PopReturnCode(CString& text) {
    return PopFixedInt(text, "RETURNCODE");
}

CString COamCommand::PopCommandID(CString& text) {
    return PopFixedString(text, "CMD");
}

CString COamCommand::PopStationID(CString& text) {
    return PopFixedString(text, "STATIONID");
}

int COamCommand::GetNameValue(CString text, CString name, CString& value) {
    std::string t(text.view()), n(name.view());
    oam::mbcs::MakeLower(&t[0], t.size());
    oam::mbcs::MakeLower(&n[0], n.size());
    size_t at = oam::mbcs::Find(t.data(), t.size(), n.data(), n.size(), 0);
    if (at == oam::mbcs::npos) return 0;
    size_t eq = oam::mbcs::FindChar(t.data(), t.size(), '=', at);
    size_t semi = oam::mbcs::FindChar(t.data(), t.size(), ';', at);
    if (eq == oam::mbcs::npos || semi == oam::mbcs::npos || semi == at) return 0;
    Span v(t.data() + semi, 0);
    if (semi > eq) v = oam::codec::Trim(Span(t.data() + eq + 1, semi - eq - 1));
    Assign(value, v);
    return 1;
}

int COamCommand::SplitString(CString& text, CString& left, CString& right) {
    if (&left == &text || &right == &text) {
        CString copy(text);
        return SplitString(copy, left, right);
    }
    Span t = View(text);
    size_t colon = oam::codec::Find(t, ':');
    if (colon == oam::codec::npos) return 0;
    Assign(left, oam::codec::Trim(Span(t.p, colon)));
    Assign(right, oam::codec::Trim(Span(t.p + colon + 1, t.n - colon - 1)));
    return 1;
}

int COamCommand::PopValueName(CString& text, CString& value, CString& name) {
    if (&value == &text || &name == &text) {
        CString copy(text);
        return PopValueName(copy, value, name);
    }
    Span before = View(text), t = before;
    oam::codec::Bracket b = oam::codec::PopBracket(t);
    if (b.got == Got::Nothing) return 0;
    Assign(value, b.value);
    if (b.got == Got::Whole) Assign(name, b.name);
    Shorten(text, before, t);
    return b.got == Got::Whole ? 1 : 0;
}

int COamCommand::GetStationName(CString& text, CString& stationId, CString& name, int& number) {
    if (&stationId == &text || &name == &text) {
        CString copy(text);
        return GetStationName(copy, stationId, name, number);
    }
    Span before = View(text), t = before;
    oam::codec::StationEntry e = oam::codec::PopStation(t);
    if (e.got == Got::Nothing) return 0;
    Assign(stationId, e.id);  // untrimmed when the "]" is missing
    if (e.got == Got::Whole) {
        Assign(name, e.name);
        number = e.number;
    }
    Shorten(text, before, t);
    return e.got == Got::Whole ? 1 : 0;
}

int COamCommand::GetDeviceInfo(CString& text, WACDEVICE_STRUCT* device) {
    Span before = View(text), t = before;
    int r = oam::codec::PopDevice(t, device);
    Shorten(text, before, t);
    return r;
}

int COamCommand::GetPtzInfo(CString& text, PTZDEVICE_STRUCT* ptz) {
    Span before = View(text), t = before;
    int r = oam::codec::PopPtz(t, ptz);
    Shorten(text, before, t);
    return r;
}
