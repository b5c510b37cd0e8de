// The pointer-and-length layer: number conversion, cutting to fit, and the
// grammars of a reply and of an alarm datagram.
#include <limits.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include <gtest/gtest.h>

#include "codec/AlarmDatagram.h"
#include "codec/Reply.h"
#include "codec/TextScan.h"
#include "CodecTestUtil.h"

namespace oamtest {

using oam::codec::Span;

namespace {

Span S(const char* s) {
    return Span(s, strlen(s));
}

// Within the int range the conversion is the C library's atoi.
TEST(ScanNumbers, AtoiWithinRange) {
    const char* texts[] = {"42",  " -7x", "+3",   "",     "abc",         "\t\n\v\f\r 12", "1 2", "--1",
                           "+-1", "-0",   "0042", "- 5", "2147483647", "-2147483648", "12\0003"};
    for (const char* t : texts) EXPECT_EQ(oam::codec::Atoi(S(t)), atoi(t)) << "'" << t << "'";
}

TEST(ScanNumbers, AtoiStopsAtTheViewsEnd) {
    EXPECT_EQ(oam::codec::Atoi(Span("12345", 3)), 123);
    EXPECT_EQ(oam::codec::Atoi(Span("-", 1)), 0);
    EXPECT_EQ(oam::codec::Atoi(Span("  ", 2)), 0);
}

TEST(ScanNumbers, AtofAsTheCLibrary) {
    const char* texts[] = {"0.25", " -1.5e2x", "abc", "", "1e999", ".5", "3"};
    for (const char* t : texts) EXPECT_DOUBLE_EQ(oam::codec::Atof(S(t)), atof(t)) << "'" << t << "'";
    std::string longText(2000, '1');
    EXPECT_DOUBLE_EQ(oam::codec::Atof(Span(longText.data(), longText.size())), atof(longText.c_str()));
}

// The delimiter anywhere in the first words and past them, after a run of
// plain bytes, behind a double-byte character whose trail byte is the
// delimiter itself, or behind a single-byte character above 0x7F.
TEST(ScanFind, EveryPlaceInAndPastTheWords) {
    CodePage cp(932);
    for (size_t at = 0; at < 80; ++at) {
        for (const char* before : {"", "\x81[", "\xb1"}) {
            std::string text = std::string(before) + std::string(at, 'a') + "[" + std::string(10, 'b') + "[";
            size_t expect = strlen(before) + at;
            EXPECT_EQ(oam::codec::Find(Span(text.data(), text.size()), '['), expect)
                << at << " after '" << before << "'";
            EXPECT_EQ(oam::codec::Find(Span(text.data(), expect), '['), oam::codec::npos) << at;
        }
    }
}

// A decoded name ends at its first NUL, wherever that lies in the words.
TEST(ScanDecode, NameEndsAtItsFirstNul) {
    for (size_t at = 0; at < 40; ++at) {
        std::string name = std::string(at, 'n') + '\0' + "tail";
        std::string b64 = Base64Of(name);
        char field[64];
        memset(field, 'z', sizeof field);
        oam::codec::DecodeName(Span(b64.data(), b64.size()), field, sizeof field);
        EXPECT_EQ(std::string(field), std::string(at, 'n')) << at;
    }
}

TEST(ScanTrim, SixWhiteSpaceCharacters) {
    const char* text = " \t\n\v\f\rmid dle \r\f\v\n\t ";
    Span t = oam::codec::Trim(S(text));
    EXPECT_EQ(std::string(t.p, t.n), "mid dle");
    Span blank = oam::codec::Trim(S(" \t "));
    EXPECT_EQ(blank.n, 0u);
    Span other = oam::codec::Trim(S("\x1f" "a\xa0"));  // not white space
    EXPECT_EQ(other.n, 3u);
}

TEST(ScanCopy, CopyFitBounds) {
    char buf[6];
    memset(buf, 'z', sizeof buf);
    EXPECT_EQ(oam::codec::CopyFit(buf, 0, "abc", 3), 0u);
    EXPECT_EQ(buf[0], 'z');
    EXPECT_EQ(oam::codec::CopyFit(buf, 1, "abc", 3), 0u);
    EXPECT_EQ(buf[0], '\0');
    EXPECT_EQ(oam::codec::CopyFit(buf, 4, "abc", 3), 3u);
    EXPECT_STREQ(buf, "abc");
    EXPECT_EQ(oam::codec::CopyFit(buf, 3, "abc", 3), 2u);
    EXPECT_STREQ(buf, "ab");
    EXPECT_EQ(buf[3], '\0');  // from the copy before, not written now
    EXPECT_EQ(buf[4], 'z');
}

// Copies of every short length, the text overlapping the field either way,
// as memmove makes them.
TEST(ScanCopy, CopyFitOverlapping) {
    for (size_t n = 0; n <= 40; ++n) {
        for (int shift : {-3, 0, 3, 9}) {
            char got[64], want[64];
            for (size_t i = 0; i < sizeof got; ++i) got[i] = want[i] = static_cast<char>('a' + i % 26);
            memmove(want + 12 + shift, want + 12, n);
            want[12 + shift + static_cast<int>(n)] = '\0';
            EXPECT_EQ(oam::codec::CopyFit(got + 12 + shift, n + 1, got + 12, n), n);
            EXPECT_EQ(memcmp(got, want, sizeof got), 0) << n << " " << shift;
        }
    }
}

// A view of bytes that are not UTF-8 is cut at the size asked for.
TEST(ScanCopy, FitLengthOnBrokenText) {
    CodePage cp(65001);
    EXPECT_EQ(oam::codec::FitLength("\x80\x80\x80\x80\x80", 5, 2), 2u);
    EXPECT_EQ(oam::codec::FitLength("a\xC3", 2, 1), 1u);
    CodePage dbcs(932);
    EXPECT_EQ(oam::codec::FitLength("\x82\x82\x82", 3, 2), 2u);
    EXPECT_EQ(oam::codec::FitLength("\x82\x82\x82", 3, 1), 0u);
}

// ---- reply framing -------------------------------------------------------------

std::string Str(Span s) {
    return std::string(s.p, s.n);
}

TEST(ReplyFraming, SessionCodeRestAndOffset) {
    struct Row {
        std::string buf;
        int32_t session, code;
        const char* text;
        const char* rest;
        size_t consumed;
    } rows[] = {
        {"SESSIONID=3;RETURNCODE=0;AllStation=x;", 3, 0, "SESSIONID=3;RETURNCODE=0;AllStation=x;", "AllStation=x;", 25},
        {" \r\nsessionid = 7 ;returncode=2;X \r\n", 7, 2, "sessionid = 7 ;returncode=2;X", "X", 31},
        // the text ends at its first NUL; what follows is not the reply's
        {std::string("SESSIONID=1;RETURNCODE=0;\0PK", 28), 1, 0, "SESSIONID=1;RETURNCODE=0;", "", 25},
        // each pair only where it leads, in that order
        {"RETURNCODE=0;SESSIONID=3;", -1, 0, "RETURNCODE=0;SESSIONID=3;", "SESSIONID=3;", 13},
        {"SESSIONID=3;X=1;RETURNCODE=0;", 3, -1, "SESSIONID=3;X=1;RETURNCODE=0;", "X=1;RETURNCODE=0;", 12},
        {"SESSIONID=3;RETURNCODE=0", 3, -1, "SESSIONID=3;RETURNCODE=0", "RETURNCODE=0", 12},
        {"SESSIONID=99999999999;RETURNCODE=-5;", INT32_MAX, -5, "SESSIONID=99999999999;RETURNCODE=-5;", "", 36},
        {"", -1, -1, "", "", 0},
        {"  \t", -1, -1, "", "", 0},
    };
    for (const Row& r : rows) {
        oam::codec::Reply got = oam::codec::ReadReply(r.buf.data(), r.buf.size());
        EXPECT_EQ(got.session, r.session) << r.buf;
        EXPECT_EQ(got.code, r.code) << r.buf;
        EXPECT_EQ(Str(got.text), r.text) << r.buf;
        EXPECT_EQ(Str(got.rest), r.rest) << r.buf;
        EXPECT_EQ(got.consumed, r.consumed) << r.buf;
        EXPECT_EQ(got.rest.p, r.buf.data() + got.consumed) << r.buf;  // views into the buffer
    }
}

// No cut-short prefix of a whole frame reads as one: the code needs its ";".
TEST(ReplyFraming, NoPrefixFramesWhole) {
    const std::string whole = "SESSIONID=12;RETURNCODE=0;";
    for (size_t k = 0; k < whole.size(); ++k) {
        oam::codec::Reply got = oam::codec::ReadReply(whole.data(), k);
        EXPECT_FALSE(got.session == 12 && got.code == 0) << k;
    }
    oam::codec::Reply got = oam::codec::ReadReply(whole.data(), whole.size());
    EXPECT_TRUE(got.session == 12 && got.code == 0 && got.consumed == whole.size());
}

// The archive a server wrote in the same read as its reply starts where the
// reply's pairs ended, after white space, with "PK".
TEST(ReplyFraming, ArchiveHeadAfterThePairs) {
    const size_t none = static_cast<size_t>(-1);
    struct Row {
        std::string raw;
        size_t from, at;
    } rows[] = {
        {std::string("D=x;PK\3\4\0\0", 10), 4, 4},
        {"D=x; \r\nPKzz", 4, 7},
        {"D=x;P", 4, 4},  // one byte now, the rest to come
        {"D=x;PX", 4, none},
        {"D=x;", 4, none},
        {"D=x;  ", 4, none},
        {"D=x;xPK", 4, none},
        {"PK", 0, 0},
        {"D=x;PK", 9, none},  // from past the end
    };
    for (const Row& r : rows) {
        Span head = oam::codec::ArchiveHead(r.raw.data(), r.raw.size(), r.from);
        if (r.at == none) {
            EXPECT_EQ(head.n, 0u) << r.raw;
        } else {
            EXPECT_EQ(head.p, r.raw.data() + r.at) << r.raw;
            EXPECT_EQ(head.n, r.raw.size() - r.at) << r.raw;
        }
    }
}

// ---- alarm datagrams -------------------------------------------------------------

const char kType1[] =
    "ID=7;Text1=Cam 1;DeviceID=3;Type=1;AlarmID=42;Text2=t2;Text3=t3;ObjText=car;ObjWidth=10;"
    "ObjHeight=20;ObjColor=255;ObjPosX=-5;ObjPosY=6;ObjSpeed=30;ObjDir=1.5;ObjRoi=12;";

ALARM_STRUCT Dirty() {
    ALARM_STRUCT a;
    memset(&a, 0x5A, sizeof a);
    return a;
}

TEST(AlarmDatagram, FillsTheRecordByPosition) {
    ALARM_STRUCT a = Dirty();
    EXPECT_EQ(oam::codec::DecodeAlarm(kType1, strlen(kType1), &a), strlen(kType1));
    EXPECT_EQ(a.ID, 7);
    EXPECT_STREQ(a.Text1, "Cam 1");
    EXPECT_EQ(a.DeviceID, 3);
    EXPECT_EQ(a.Type, 1);
    EXPECT_EQ(a.AlarmID, 42);
    EXPECT_STREQ(a.Text2, "t2");
    EXPECT_STREQ(a.Text3, "t3");
    EXPECT_STREQ(a.ObjText, "car");
    EXPECT_EQ(a.ObjWidth, 10);
    EXPECT_EQ(a.ObjHeight, 20);
    EXPECT_EQ(a.ObjColor, 255);
    EXPECT_EQ(a.ObjPosX, -5);
    EXPECT_EQ(a.ObjPosY, 6);
    EXPECT_EQ(a.ObjSpeed, 30);
    EXPECT_FLOAT_EQ(a.ObjDir, 1.5f);
    EXPECT_EQ(a.ObjRoi, 12);
}

TEST(AlarmDatagram, StepsThatTakeNothing) {
    struct Row {
        std::string text;
        size_t consumed;
        int id, deviceId, type;
        const char* text1;  // null: untouched
        bool objectRead;
    } rows[] = {
        // another name: the pair is taken, its number is 65535
        {"Id=1;T=a;Dev=2;Type=0;", 22, 1, 65535, 0, "a", false},
        // no ";": nothing taken from there on, numbers 65535, texts kept
        {"ID=1;Text1=a", 5, 1, 65535, 65535, nullptr, false},
        {"", 0, 65535, 65535, 65535, nullptr, false},
        // the text ends at the first NUL
        {std::string("ID=4;\0Text1=b;", 14), 5, 4, 65535, 65535, nullptr, false},
        // Type 0: the object pairs stay unread
        {"ID=1;T=a;DeviceID=2;Type=0;AlarmID=3;B=b;C=c;ObjText=x;", 45, 1, 2, 0, "a", false},
        {"ID=1;T=a;DeviceID=2;Type=1;AlarmID=3;B=b;C=c;ObjText=x;", 55, 1, 2, 1, "a", true},
    };
    for (const Row& r : rows) {
        ALARM_STRUCT a = Dirty();
        EXPECT_EQ(oam::codec::DecodeAlarm(r.text.data(), r.text.size(), &a), r.consumed) << r.text;
        EXPECT_EQ(a.ID, r.id) << r.text;
        EXPECT_EQ(a.DeviceID, r.deviceId) << r.text;
        EXPECT_EQ(a.Type, r.type) << r.text;
        if (r.text1) EXPECT_STREQ(a.Text1, r.text1) << r.text;
        else EXPECT_EQ(a.Text1[0], 0x5A) << r.text;
        if (r.objectRead) EXPECT_STREQ(a.ObjText, "x") << r.text;
        else EXPECT_EQ(a.ObjWidth, 0x5A5A5A5A) << r.text;
    }
}

TEST(AlarmDatagram, TextsCutToFit) {
    std::string long1(100, 'a'), long3(300, 'c');
    std::string text = "ID=1;Text1=" + long1 + ";DeviceID=2;Type=0;AlarmID=3;Text2=" + long1 + ";Text3=" + long3 + ";";
    ALARM_STRUCT a = Dirty();
    oam::codec::DecodeAlarm(text.data(), text.size(), &a);
    EXPECT_EQ(std::string(a.Text1), std::string(35, 'a'));
    EXPECT_EQ(a.DeviceID, 2);  // the field after the text is intact
    EXPECT_EQ(std::string(a.Text2), std::string(35, 'a'));
    EXPECT_EQ(std::string(a.Text3), std::string(127, 'c'));
    EXPECT_EQ(a.ObjText[0], 0x5A);
}

// No cut-short prefix of a whole datagram decodes as the whole one does.
TEST(AlarmDatagram, NoPrefixDecodesWhole) {
    const size_t n = strlen(kType1);
    ALARM_STRUCT whole = Dirty();
    oam::codec::DecodeAlarm(kType1, n, &whole);
    for (size_t k = 0; k < n; ++k) {
        ALARM_STRUCT a = Dirty();
        size_t used = oam::codec::DecodeAlarm(kType1, k, &a);
        EXPECT_LE(used, k);
        EXPECT_NE(memcmp(&a, &whole, sizeof a), 0) << k;
    }
}

}  // namespace
}  // namespace oamtest
