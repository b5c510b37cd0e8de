// Drives every grammar of the codec with arbitrary bytes: the COamCommand
// operations, reply framing, alarm datagrams and station records. The first
// byte chooses the operation (low four bits) and the code page (bits 4-5:
// 1252, 932, 936, 65001); the rest is the text. Operations that take a name
// read it up to the first line feed. Printable first bytes: "@" and "A".."O"
// are operations 0-15 in 1252, "P".."_" in 932, "`".."o" in 936, "p".."~"
// and "0".."?" in 65001.
//
// Besides crashes and sanitizer findings, the target checks what must hold
// for any text: the text only ever loses bytes from its front (and white
// space from its end), pops report the length they remove, outputs are
// trimmed, records keep their NULs and counts in range, and the string layer
// agrees with the pointer-and-length layer underneath it.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <memory>
#include <string>

#include "Corbex.h"
#include "OamCommand.h"
#include "codec/AlarmDatagram.h"
#include "codec/Reply.h"
#include "codec/TextScan.h"
#include "FuzzCheck.h"

using oam::codec::Span;

namespace {


bool Trimmed(const CString& s) {
    int n = s.GetLength();
    return n == 0 || (!oam::mbcs::IsSpace(s[0]) && !oam::mbcs::IsSpace(s[n - 1]));
}

// after is what is left of before: a suffix of it, possibly without some
// white space at its end.
bool Remains(const std::string& before, const CString& after) {
    std::string a = after.str();
    for (size_t end = before.size();; --end) {
        if (a.size() <= end && before.compare(end - a.size(), a.size(), a) == 0) return true;
        if (end == 0 || !oam::mbcs::IsSpace(before[end - 1])) return false;
    }
}

void CheckName(const char* field, size_t cap) {
    CHECK(memchr(field, 0, cap) != nullptr);
}

void PopPairs(const std::string& in) {
    COamCommand cmd;
    CString text(in), name, value;
    for (size_t guard = 0; guard <= in.size(); ++guard) {
        std::string before = text.str();
        CString peek(text), n0, v0;
        int len = cmd.PopNameValue(peek, n0, v0, 0);
        CHECK(peek == text);
        int r = cmd.PopNameValue(text, name, value, 1);
        if (r != 0) {
            CHECK(r == -1 && len == -1);
            CHECK(text.str() == before);
            break;
        }
        CHECK(len > 0 && static_cast<size_t>(len) <= before.size());
        CHECK(text.str() == before.substr(static_cast<size_t>(len)));
        CHECK(name == n0 && value == v0);
        CHECK(Trimmed(name) && Trimmed(value));
    }
}

void PopIntoBuffer(const std::string& in) {
    if (in.empty()) return;
    size_t size = static_cast<unsigned char>(in[0]) % 48;
    COamCommand cmd;
    CString text(in.substr(1)), copy(text), name, value;
    int expected = cmd.PopNameValue(copy, name, value, 1);
    // Exactly size bytes, so that one byte too many is caught.
    std::unique_ptr<char[]> buf(new char[size ? size : 1]);
    memset(buf.get(), 'z', size ? size : 1);
    CString name2;
    int r = cmd.PopNameValue(text, name2, size ? buf.get() : nullptr, size, 1);
    CHECK(r == expected);
    CHECK(text == copy);
    if (r == 0 && size) {
        size_t got = strnlen(buf.get(), size);
        CHECK(got < size);
        CHECK(got <= static_cast<size_t>(value.GetLength()));
        CHECK(memcmp(buf.get(), value.GetString(), got) == 0);
        size_t fit = oam::codec::FitLength(value.GetString(), static_cast<size_t>(value.GetLength()), size - 1);
        CHECK(got == strnlen(value.GetString(), fit));
    }
}

void FixedPops(const std::string& in) {
    COamCommand cmd;
    CString text(in);
    for (size_t guard = 0; guard <= in.size(); ++guard) {
        std::string before = text.str();
        cmd.PopSessionID(text);
        cmd.PopReturnCode(text);
        CString c = cmd.PopCommandID(text);
        CString s = cmd.PopStationID(text);
        CHECK(Trimmed(c) && Trimmed(s));
        CHECK(Remains(before, text));
        if (text.str() == before) break;
    }
}

void TypedPops(const std::string& name, const std::string& in) {
    COamCommand cmd;
    CString text(in);
    for (size_t guard = 0; guard <= in.size(); ++guard) {
        std::string before = text.str();
        int v = cmd.PopIntValue(text, name.c_str());
        CString again(before.c_str(), static_cast<int>(before.size()));
        double f = cmd.PopFloatValue(again, name.c_str());
        CHECK(again == text);
        (void)v;
        (void)f;
        if (text.str() == before) break;
    }
}

void Lookup(const std::string& name, const std::string& in) {
    COamCommand cmd;
    CString value("untouched");
    int r = cmd.GetNameValue(in, name, value);
    CHECK(r == 0 || r == 1);
    if (r == 0) CHECK(value == "untouched");
    else CHECK(Trimmed(value));
    CString text(in), left("l"), right("r");
    r = cmd.SplitString(text, left, right);
    CHECK(text.str() == in);
    if (r) CHECK(Trimmed(left) && Trimmed(right) && left.GetLength() + right.GetLength() < text.GetLength());
    else CHECK(left == "l" && right == "r");
}

void Brackets(const std::string& in) {
    COamCommand cmd;
    CString text(in), value, name;
    for (size_t guard = 0; guard <= in.size(); ++guard) {
        std::string before = text.str();
        int r = cmd.PopValueName(text, value, name);
        CHECK(Remains(before, text));
        if (!r) break;
        CHECK(Trimmed(value) && Trimmed(name) && Trimmed(text));
        CHECK(text.GetLength() + 2 <= static_cast<int>(before.size()));
    }
}

// As the station query reads the list: names decoded into STATION_STRUCT.
void Stations(const std::string& in) {
    COamCommand cmd;
    CString text(in), id, name;
    std::unique_ptr<STATION_STRUCT> st(new STATION_STRUCT);
    Span view(in.data(), in.size());
    for (size_t guard = 0; guard <= in.size(); ++guard) {
        std::string before = text.str();
        int number = 0;
        int r = cmd.GetStationName(text, id, name, number);
        oam::codec::StationEntry e = oam::codec::PopStation(view);
        CHECK(r == (e.got == oam::codec::Got::Whole ? 1 : 0));
        CHECK(std::string(view.p, view.n) == text.str());
        CHECK(Remains(before, text));
        if (!r) break;
        CHECK(number == e.number);
        CHECK(Trimmed(id) && Trimmed(name));
        oam::codec::CopyFit(st->StationID, sizeof st->StationID, id, static_cast<size_t>(id.GetLength()));
        oam::codec::DecodeName(Span(name, static_cast<size_t>(name.GetLength())), st->StationName,
                               sizeof st->StationName);
        CheckName(st->StationID, sizeof st->StationID);
        CheckName(st->StationName, sizeof st->StationName);
        st->StationValue = number;
    }
}

void Devices(const std::string& in) {
    COamCommand cmd;
    CString text(in);
    Span view(in.data(), in.size());
    for (size_t guard = 0; guard <= in.size(); ++guard) {
        std::string before = text.str();
        // Separate allocations, so that a write past a record is caught.
        std::unique_ptr<WACDEVICE_STRUCT> a(new WACDEVICE_STRUCT), b(new WACDEVICE_STRUCT);
        memset(a.get(), 0x5A, sizeof *a);
        memset(b.get(), 0x5A, sizeof *b);
        int r = cmd.GetDeviceInfo(text, a.get());
        int r2 = oam::codec::PopDevice(view, b.get());
        CHECK(r == r2 && memcmp(a.get(), b.get(), sizeof *a) == 0);
        CHECK(std::string(view.p, view.n) == text.str());
        CHECK(Remains(before, text));
        if (!r) break;
        CHECK(a->PtzCount >= 0 && a->PtzCount <= 5);
        CheckName(a->DeviceName, sizeof a->DeviceName);
        for (int i = 0; i < a->PtzCount; ++i) CheckName(a->PtzDevice[i].PtzName, sizeof a->PtzDevice[i].PtzName);
    }
}

void Ptzs(const std::string& in) {
    COamCommand cmd;
    CString text(in);
    for (size_t guard = 0; guard <= in.size(); ++guard) {
        std::string before = text.str();
        std::unique_ptr<PTZDEVICE_STRUCT> p(new PTZDEVICE_STRUCT);
        int r = cmd.GetPtzInfo(text, p.get());
        CHECK(Remains(before, text));
        if (!r) break;
        CheckName(p->PtzName, sizeof p->PtzName);
    }
}

void Numbers(const std::string& in) {
    Span s(in.data(), in.size());
    int v = oam::codec::Atoi(s);
    // Within the int range the C library agrees.
    std::string z(in.c_str());
    if (z.size() < 10 && z.find_first_of("0123456789") != std::string::npos) CHECK(v == atoi(z.c_str()));
    double d = oam::codec::Atof(s);
    (void)d;
    for (size_t cap = 0; cap < 8 && cap <= in.size() + 1; ++cap) {
        std::unique_ptr<char[]> buf(new char[cap ? cap : 1]);
        size_t k = oam::codec::CopyFit(cap ? buf.get() : nullptr, cap, in.data(), in.size());
        CHECK(k == 0 || k < cap);
    }
    unsigned char dec[256], counted[256];
    memset(dec, 0, sizeof dec);
    memset(counted, 0, sizeof counted);
    // The counted form over the raw bytes (no NUL after them) agrees with
    // the C-string form, which stops at the first NUL.
    int n = Base64::base64ToBin(z.c_str(), dec, sizeof dec);
    CHECK(n == Base64::base64ToBin(in.data(), in.size(), counted, sizeof counted));
    CHECK(memcmp(dec, counted, sizeof dec) == 0);
}

// Reply framing over the raw bytes of a read: views inside the buffer, the
// same session, code and rest as the string operations give, and the
// search for a reply finds one that leads.
void Replies(const std::string& in) {
    const char* buf = in.data();
    oam::codec::Reply r = oam::codec::ReadReply(buf, in.size());
    CHECK(r.text.p >= buf && r.text.p + r.text.n <= buf + in.size());
    CHECK(r.rest.p == buf + r.consumed && r.rest.p >= r.text.p && r.rest.p + r.rest.n == r.text.p + r.text.n);
    COamCommand cmd;
    CString text(in.c_str());
    text.Trim();
    CHECK(text.str() == std::string(r.text.p, r.text.n));
    CHECK(cmd.PopSessionID(text) == r.session);
    CHECK(cmd.PopReturnCode(text) == r.code);
    CHECK(text.str() == std::string(r.rest.p, r.rest.n));
    if (r.session != -1) CHECK(oam::codec::FindReplyFor(r.text.p, r.text.n, r.session) == 0);
    size_t at = oam::codec::FindReplyFor(r.text.p, r.text.n, 5);
    if (at != oam::codec::npos) CHECK(oam::codec::ReadReply(r.text.p + at, r.text.n - at).session == 5);
    Span head = oam::codec::ArchiveHead(buf, in.size(), r.consumed);
    if (head.n) CHECK(head.p >= r.rest.p && head.p + head.n == buf + in.size() && head.p[0] == 'P');
}

// An alarm datagram against the receiver's former decoding, step by step
// with the string operations: the same record, the same text left.
void Alarms(const std::string& in) {
    std::unique_ptr<ALARM_STRUCT> a(new ALARM_STRUCT), b(new ALARM_STRUCT);
    memset(a.get(), 0x5A, sizeof *a);
    memset(b.get(), 0x5A, sizeof *b);
    size_t used = oam::codec::DecodeAlarm(in.data(), in.size(), a.get());
    CHECK(used <= strnlen(in.data(), in.size()));
    COamCommand cmd;
    CString m(in.c_str()), name;
    b->ID = cmd.PopIntValue(m, "ID");
    cmd.PopNameValue(m, name, b->Text1, 1);
    b->DeviceID = cmd.PopIntValue(m, "DeviceID");
    b->Type = cmd.PopIntValue(m, "Type");
    b->AlarmID = cmd.PopIntValue(m, "AlarmID");
    cmd.PopNameValue(m, name, b->Text2, 1);
    cmd.PopNameValue(m, name, b->Text3, 1);
    if (b->Type == 1) {
        cmd.PopNameValue(m, name, b->ObjText, 1);
        b->ObjWidth = cmd.PopIntValue(m, "ObjWidth");
        b->ObjHeight = cmd.PopIntValue(m, "ObjHeight");
        b->ObjColor = cmd.PopIntValue(m, "ObjColor");
        b->ObjPosX = cmd.PopIntValue(m, "ObjPosX");
        b->ObjPosY = cmd.PopIntValue(m, "ObjPosY");
        b->ObjSpeed = cmd.PopIntValue(m, "ObjSpeed");
        b->ObjDir = static_cast<float>(cmd.PopFloatValue(m, "ObjDir"));
        b->ObjRoi = cmd.PopIntValue(m, "ObjRoi");
    }
    CHECK(memcmp(a.get(), b.get(), sizeof *a) == 0);
    CHECK(m.str() == std::string(in.data() + used, strnlen(in.data(), in.size()) - used));
}

// Station records as GetAllStation fills them, against the former path:
// GetStationName, then the name decoded into a zeroed 257-byte buffer.
void StationRecords(const std::string& in) {
    COamCommand cmd;
    CString text(in), id, name;
    Span view(in.data(), in.size());
    for (size_t guard = 0; guard <= in.size(); ++guard) {
        std::unique_ptr<STATION_STRUCT> a(new STATION_STRUCT), b(new STATION_STRUCT);
        memset(a.get(), 0x5A, sizeof *a);
        memset(b.get(), 0x5A, sizeof *b);
        int number = 0;
        int r = cmd.GetStationName(text, id, name, number);
        oam::codec::Got got = oam::codec::PopStationRecord(view, a.get());
        CHECK(r == (got == oam::codec::Got::Whole ? 1 : 0));
        CHECK(std::string(view.p, view.n) == text.str());
        if (!r) break;
        oam::codec::CopyFit(b->StationID, sizeof b->StationID, id, static_cast<size_t>(id.GetLength()));
        unsigned char decoded[257];
        memset(decoded, 0, sizeof decoded);
        Base64::base64ToBin(name, decoded, 256);
        const char* plain = reinterpret_cast<const char*>(decoded);
        oam::codec::CopyFit(b->StationName, sizeof b->StationName, plain, strlen(plain));
        b->StationValue = number;
        CHECK(memcmp(a.get(), b.get(), sizeof *a) == 0);
    }
}

// A run of mixed calls on one text, chosen by the bytes before the first
// line feed; some pass the text itself as an output.
void Mixed(const std::string& ops, const std::string& in) {
    COamCommand cmd;
    CString text(in), a, b;
    int number = 0;
    char buf[8];
    WACDEVICE_STRUCT dev;
    PTZDEVICE_STRUCT ptz;
    for (unsigned char op : ops) {
        std::string before = text.str();
        switch (op % 12) {
        case 0: cmd.PopNameValue(text, a, b, 1); break;
        case 1: cmd.PopNameValue(text, a, b, 0); break;
        case 2: cmd.PopNameValue(text, a, buf, 1); break;
        case 3: cmd.PopSessionID(text); break;
        case 4: cmd.PopIntValue(text, a); break;
        case 5: cmd.PopValueName(text, a, b); break;
        case 6: cmd.GetStationName(text, a, b, number); break;
        case 7: cmd.GetDeviceInfo(text, &dev); break;
        case 8: cmd.GetPtzInfo(text, &ptz); break;
        case 9: cmd.PopNameValue(text, text, b, 1); continue;
        case 10: cmd.SplitString(text, b, text); continue;
        case 11: cmd.GetStationName(text, text, b, number); continue;
        }
        CHECK(Remains(before, text));
    }
}

const UINT kPages[4] = {1252, 932, 936, 65001};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    OamSetACP(kPages[(data[0] >> 4) & 3]);
    std::string in(reinterpret_cast<const char*>(data) + 1, size - 1);
    size_t lf = in.find('\n');
    std::string head = lf == std::string::npos ? std::string() : in.substr(0, lf);
    std::string tail = lf == std::string::npos ? in : in.substr(lf + 1);
    switch (data[0] & 15) {
    case 0: PopPairs(in); break;
    case 1: PopIntoBuffer(in); break;
    case 2: FixedPops(in); break;
    case 3: TypedPops(head, tail); break;
    case 4: Lookup(head, tail); break;
    case 5: Brackets(in); break;
    case 6: Stations(in); break;
    case 7: Devices(in); break;
    case 8: Ptzs(in); break;
    case 9: Numbers(in); break;
    case 11: Replies(in); break;
    case 12: Alarms(in); break;
    case 13: StationRecords(in); break;
    default: Mixed(head, tail); break;
    }
    return 0;
}
