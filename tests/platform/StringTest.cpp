// CString and the ANSI code page: searching and case rules that never split
// a double-byte character, front deletion, formatting and trimming.
#include <clocale>
#include <string>

#include <gtest/gtest.h>

#include "oam_string.h"
#include "TestSystem.h"

namespace oamtest {
namespace {

// Runs each test under a chosen code page and restores the default.
class CodePage : public ::testing::Test {
protected:
    void TearDown() override { OamSetACP(0); }
    void Use(UINT cp) { ASSERT_TRUE(OamSetACP(cp)); }
};

std::string Bytes(const CString& s) {
    return std::string(s.GetString(), static_cast<size_t>(s.GetLength()));
}

}  // namespace

// ---- searching ------------------------------------------------------------------
struct FindCase {
    UINT cp;
    const char* text;
    char ch;
    int first;  // Find(ch)
    int last;   // ReverseFind(ch)
};

std::ostream& operator<<(std::ostream& os, const FindCase& c) {
    return os << "cp " << c.cp << " '" << c.ch << "'";
}

class FindChar : public CodePage, public ::testing::WithParamInterface<FindCase> {};

TEST_P(FindChar, SkipsTrailBytes) {
    const FindCase& c = GetParam();
    Use(c.cp);
    CString s(c.text);
    EXPECT_EQ(c.first, s.Find(c.ch));
    EXPECT_EQ(c.last, s.ReverseFind(c.ch));
    std::string one(1, c.ch);
    EXPECT_EQ(c.first, s.Find(one.c_str())) << "substring search agrees";
}

INSTANTIATE_TEST_SUITE_P(
    Pages, FindChar,
    ::testing::Values(
        // 932: 0x81 0x5B is one character although 0x5B is "[".
        FindCase{932, "\x81\x5B[x", '[', 2, 2}, FindCase{932, "[\x81\x5B", '[', 0, 0},
        FindCase{932, "\x95\x5C", '\\', -1, -1},                 // the "\" of a Japanese character
        FindCase{932, "\xE0\x5D]", ']', 2, 2},                   // second lead-byte range
        FindCase{932, "\xA0[", '[', 1, 1},                       // 0xA0 is no lead byte
        FindCase{932, "\xB1[", '[', 1, 1},                       // half-width katakana: one byte
        FindCase{936, "\xB0\x5D]", ']', 2, 2}, FindCase{936, "\xFE\x5B", '[', -1, -1},
        FindCase{936, "\x80[", '[', 1, 1},                       // 0x80 stands alone in 936
        FindCase{949, "\xB0\x5B[", '[', 2, 2}, FindCase{950, "\xA4\x5D]", ']', 2, 2},
        // Single-byte pages see every byte.
        FindCase{1252, "\x81\x5B[", '[', 1, 2}, FindCase{65001, "\xC3\xA9[", '[', 2, 2},
        FindCase{932, "ab", 'z', -1, -1}, FindCase{932, "", '[', -1, -1}));

TEST_F(CodePage, SubstringMatchesOnlyWholeCharacters) {
    Use(932);
    CString s("\x81\x5B\x5B\x81");
    EXPECT_EQ(2, s.Find("\x5B\x81")) << "the match may end in a lone lead byte at the very end";
    EXPECT_EQ(-1, s.Find("\x5B\x5B")) << "0x5B 0x5B straddles a character";
    CString t("x\x81\x5By");
    EXPECT_EQ(-1, t.Find("x\x81")) << "would take half of 0x81 0x5B";
    EXPECT_EQ(1, t.Find("\x81\x5B"));
    EXPECT_EQ(3, t.Find("y", 1));
    EXPECT_EQ(-1, t.Find("y", 5));
    EXPECT_EQ(4, t.Find("", 4));
    Use(1252);
    EXPECT_EQ(0, t.Find("x\x81"));
}

// ---- case ------------------------------------------------------------------------
struct CaseCase {
    UINT cp;
    const char* in;
    const char* lower;
    const char* upper;
};

std::ostream& operator<<(std::ostream& os, const CaseCase& c) {
    return os << "cp " << c.cp;
}

class CaseRules : public CodePage, public ::testing::WithParamInterface<CaseCase> {};

TEST_P(CaseRules, FoldSingleBytesOnlyAndNeverATrailByte) {
    const CaseCase& c = GetParam();
    Use(c.cp);
    CString lo(c.in), up(c.in);
    lo.MakeLower();
    up.MakeUpper();
    EXPECT_EQ(std::string(c.lower), Bytes(lo));
    EXPECT_EQ(std::string(c.upper), Bytes(up));
    EXPECT_EQ(0, CString(c.lower).CompareNoCase(c.upper));
    EXPECT_EQ(0, CString(c.in).CompareNoCase(c.lower));
}

INSTANTIATE_TEST_SUITE_P(
    Pages, CaseRules,
    ::testing::Values(
        // 932: trail bytes 0x41 ("A") and 0x61 ("a") belong to their lead byte.
        CaseCase{932, "AB\x83\x41z\x83\x61", "ab\x83\x41z\x83\x61", "AB\x83\x41Z\x83\x61"},
        CaseCase{936, "Q\xB0\x41q\xB0\x61", "q\xB0\x41q\xB0\x61", "Q\xB0\x41Q\xB0\x61"},
        CaseCase{949, "\xB0\x5A" "Z", "\xB0\x5A" "z", "\xB0\x5A" "Z"},
        CaseCase{1252, "\xC9t\xE9", "\xE9t\xE9", "\xC9T\xC9"},
        // UTF-8 and plain ASCII fold A-Z only: 0xC3 is a UTF-8 lead byte.
        CaseCase{65001, "\xC3\x89" "Ab", "\xC3\x89" "ab", "\xC3\x89" "AB"},
        CaseCase{20127, "\xC3\x89" "Ab", "\xC3\x89" "ab", "\xC3\x89" "AB"}));

TEST_F(CodePage, CompareNoCaseKeepsDoubleByteCharactersApart) {
    Use(932);
    // Differ only in the case of the trail byte: different characters.
    EXPECT_NE(0, CString("\x83\x41").CompareNoCase("\x83\x61"));
    EXPECT_EQ(0, CString("SessionID\x83\x41").CompareNoCase("SESSIONid\x83\x41"));
    EXPECT_LT(CString("abc").CompareNoCase("ABD"), 0);
    EXPECT_GT(CString("abcd").CompareNoCase("ABC"), 0);
    EXPECT_LT(CString("").CompareNoCase("a"), 0);
    EXPECT_EQ(0, CString("").CompareNoCase(nullptr));
    Use(1252);
    EXPECT_EQ(0, CString("\x83\x41").CompareNoCase("\x83\x61"));
}

TEST_F(CodePage, LeadBytesAndTheLocaleDefault) {
    struct {
        UINT cp;
        BYTE b;
        BOOL lead;
    } table[] = {{932, 0x81, TRUE},  {932, 0x9F, TRUE},  {932, 0xA0, FALSE}, {932, 0xDF, FALSE},
                 {932, 0xE0, TRUE},  {932, 0xFC, TRUE},  {932, 0xFD, FALSE}, {932, 0x5B, FALSE},
                 {936, 0x80, FALSE}, {936, 0x81, TRUE},  {936, 0xFE, TRUE},  {936, 0xFF, FALSE},
                 {1252, 0x81, FALSE}, {65001, 0xC3, FALSE}};
    for (auto& t : table) EXPECT_EQ(t.lead, OamIsDBCSLeadByteEx(t.cp, t.b)) << t.cp << " " << int(t.b);

    Use(936);
    EXPECT_EQ(936u, OamGetACP());
    EXPECT_TRUE(OamIsDBCSLeadByteEx(OamGetACP(), 0x81));

    // The "C" locale is plain ASCII; a UTF-8 locale is code page 65001.
    OAM_SKIP_ON_WINDOWS("the default code page follows the locale's codeset; on Windows it is the system's GetACP");
    ASSERT_NE(nullptr, setlocale(LC_CTYPE, "C"));
    Use(0);
    EXPECT_EQ(20127u, OamGetACP());
    if (setlocale(LC_CTYPE, "C.UTF-8")) {
        Use(0);
        EXPECT_EQ(65001u, OamGetACP());
        setlocale(LC_CTYPE, "C");
    }
}

// ---- editing -----------------------------------------------------------------------
TEST(CStringEdit, DeletingFromTheFrontStaysCorrectAndLinear) {
    // A quadratic front deletion would take minutes here.
    const int n = 1 << 20;
    std::string ref;
    for (int i = 0; i < n; ++i) ref.push_back(static_cast<char>('a' + i % 26));
    CString s(ref.c_str());
    for (int i = 0; i < n - 10; ++i) {
        ASSERT_EQ(ref[static_cast<size_t>(i)], s[0]) << i;
        s.Delete(0, 1);
        if (i % 99991 == 0) {
            // Other members see only what is left.
            ASSERT_EQ(n - i - 1, s.GetLength());
            ASSERT_EQ(ref.substr(static_cast<size_t>(i) + 1, 5), Bytes(s.Left(5)));
            ASSERT_EQ(s.Find(ref.substr(static_cast<size_t>(i) + 3, 4).c_str()), 2);
        }
    }
    EXPECT_EQ(ref.substr(static_cast<size_t>(n - 10)), Bytes(s));
    s += "XY";
    EXPECT_EQ(ref.substr(static_cast<size_t>(n - 10)) + "XY", Bytes(s));
    s.Delete(0, 100);
    EXPECT_TRUE(s.IsEmpty());
    EXPECT_STREQ("", s.GetString());

    CString mid("0123456789");
    EXPECT_EQ(7, mid.Delete(2, 3));
    EXPECT_EQ("0156789", Bytes(mid));
    EXPECT_EQ(7, mid.Delete(3, 0));
    EXPECT_EQ(7, mid.Delete(20, 1));
    EXPECT_EQ(4, mid.Delete(4, 100));
    EXPECT_EQ("0156", Bytes(mid));
}

TEST(CStringEdit, TrimRemovesAsciiWhitespaceAtTheEndsOnly) {
    struct {
        const char* in;
        const char* both;
        const char* left;
        const char* right;
    } cases[] = {{" \t\r\n a b \v\f", "a b", "a b \v\f", " \t\r\n a b"},
                 {"   ", "", "", ""},
                 {"", "", "", ""},
                 {"x", "x", "x", "x"},
                 {"\x81\x40x\x81\x40", "\x81\x40x\x81\x40", "\x81\x40x\x81\x40", "\x81\x40x\x81\x40"}};
    for (auto& c : cases) {
        CString b(c.in), l(c.in), r(c.in);
        EXPECT_EQ(std::string(c.both), Bytes(b.Trim())) << c.in;
        EXPECT_EQ(std::string(c.left), Bytes(l.TrimLeft())) << c.in;
        EXPECT_EQ(std::string(c.right), Bytes(r.TrimRight())) << c.in;
        EXPECT_EQ(strlen(b.GetString()), static_cast<size_t>(b.GetLength())) << "terminated after trimming";
    }
}

TEST(CStringEdit, FormatAppendAndAliasing) {
    CString s;
    s.Format("SESSIONID=%d;STATIONID=%s;CMD=%s;", -3, "12", "Get");
    EXPECT_EQ("SESSIONID=-3;STATIONID=12;CMD=Get;", Bytes(s));
    std::string longText(1000, 'q');
    s.Format("%s|%05d", longText.c_str(), 42);
    EXPECT_EQ(longText + "|00042", Bytes(s));
    // The argument may be the string being formatted.
    CString self("abc");
    self.Format("%s-%s", self.GetString(), self.GetString());
    EXPECT_EQ("abc-abc", Bytes(self));
    self.AppendFormat("%c%u", '+', 7u);
    EXPECT_EQ("abc-abc+7", Bytes(self));

    CString a("hello");
    a += a;
    EXPECT_EQ("hellohello", Bytes(a));
    a += a.GetString() + 5;  // a pointer into itself
    EXPECT_EQ("hellohellohello", Bytes(a));
    a.Delete(0, 5);
    a += a.GetString();
    EXPECT_EQ("hellohellohellohello", Bytes(a));
    a += static_cast<const char*>(nullptr);
    a += '!';
    EXPECT_EQ(21, a.GetLength());
    EXPECT_TRUE(CString("x") + "y" == "xy");
    EXPECT_TRUE("w" + CString("x") + 'z' == CString("wxz"));
    EXPECT_TRUE(CString("a") != "b");
    EXPECT_TRUE(CString("a") < CString("b"));
    CString withNul("a\0b", 3);
    EXPECT_EQ(3, withNul.GetLength());
}

TEST(CStringEdit, SlicesClampTheirBounds) {
    CString s("abcdef");
    EXPECT_EQ("abc", Bytes(s.Left(3)));
    EXPECT_EQ("", Bytes(s.Left(-1)));
    EXPECT_EQ("abcdef", Bytes(s.Left(99)));
    EXPECT_EQ("def", Bytes(s.Mid(3)));
    EXPECT_EQ("de", Bytes(s.Mid(3, 2)));
    EXPECT_EQ("abc", Bytes(s.Mid(-2, 3)));
    EXPECT_EQ("", Bytes(s.Mid(9)));
    EXPECT_EQ("", Bytes(s.Mid(2, -1)));
    EXPECT_EQ("ef", Bytes(s.Right(2)));
    EXPECT_EQ("abcdef", Bytes(s.Right(10)));
    EXPECT_EQ("", Bytes(s.Right(0)));
    s.Delete(0, 2);
    EXPECT_EQ("cd", Bytes(s.Left(2)));
    EXPECT_EQ("f", Bytes(s.Right(1)));
    EXPECT_EQ('c', s.GetAt(0));
    s.SetAt(0, 'C');
    EXPECT_EQ("Cdef", Bytes(s));
}

TEST(CStringEdit, BufferAccess) {
    CString s("xy");
    s.Delete(0, 1);
    char* p = s.GetBuffer(8);
    strcpy(p, "payload");
    s.ReleaseBuffer();
    EXPECT_EQ("payload", Bytes(s));
    p = s.GetBufferSetLength(3);
    p[0] = 'P';
    s.ReleaseBuffer(3);
    EXPECT_EQ("Pay", Bytes(s));
    CString copy(s), moved(std::move(s));
    EXPECT_EQ("Pay", Bytes(copy));
    EXPECT_EQ("Pay", Bytes(moved));
}

TEST(CStringArray, AddIndexRemove) {
    CStringArray a;
    EXPECT_TRUE(a.IsEmpty());
    EXPECT_EQ(0, a.Add("10.0.0.1"));
    EXPECT_EQ(1, a.Add(CString("peer")));
    EXPECT_EQ(2, a.Add("third"));
    EXPECT_EQ(3, a.GetSize());
    EXPECT_EQ("peer", Bytes(a[1]));
    a[1] = "changed";
    EXPECT_EQ("changed", Bytes(a.GetAt(1)));
    a.RemoveAt(0);
    EXPECT_EQ("changed", Bytes(a[0]));
    EXPECT_EQ(1, a.GetUpperBound());
    a.RemoveAll();
    EXPECT_EQ(0, a.GetSize());
}

}  // namespace oamtest
