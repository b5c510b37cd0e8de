// Double-byte code pages: a delimiter byte that is the trail byte of a
// character is not a delimiter, and case folding never touches trail bytes.
// Each row runs in the code page it names; single-byte rows show that the
// same bytes do split where no character spans them.
#include <string>

#include <gtest/gtest.h>

#include "OamCommand.h"
#include "CodecTestUtil.h"

namespace oamtest {
namespace {

struct MbCase {
    UINT cp;
    const char* text;
    Call call;
    const char* arg;
    const char* result;
    const char* out1;
    const char* out2;
    const char* after;  // nullptr: unchanged
};

void PrintTo(const MbCase& c, std::ostream* os) {
    *os << "cp " << c.cp << " call " << static_cast<int>(c.call);
}

class CodePageCase : public ::testing::TestWithParam<MbCase> {};

TEST_P(CodePageCase, ScansByCharacter) {
    const MbCase& c = GetParam();
    CodePage cp(c.cp);
    Outcome o = RunCall(c.call, c.text, c.arg);
    ExpectOutcome(o, c.result, c.out1, c.out2, c.after, c.text);
}

const char* const U = kUntouched;

const MbCase kBrackets[] = {
    // "[" as the trail byte of 0x81 0x5B
    {932, "\x81[x[n]r", Call::ValueName, "", "1", "\x81[x", "n", "r"},
    {936, "\x81[x[n]r", Call::ValueName, "", "1", "\x81[x", "n", "r"},
    {949, "\x81[x[n]r", Call::ValueName, "", "1", "\x81[x", "n", "r"},
    {950, "\x81[x[n]r", Call::ValueName, "", "1", "\x81[x", "n", "r"},
    {1252, "\x81[x[n]r", Call::ValueName, "", "1", "\x81", "x[n", "r"},
    // "]" as a trail byte
    {932, "v[\x81]]r", Call::ValueName, "", "1", "v", "\x81]", "r"},
    {1252, "v[\x81]]r", Call::ValueName, "", "1", "v", "\x81", "]r"},
    {932, "\x81[", Call::ValueName, "", "0", U, U, nullptr},
    {1252, "\x81[", Call::ValueName, "", "0", "\x81", U, ""},
    // a lead byte at the very end stands alone
    {932, "v[\x81", Call::ValueName, "", "0", "v", U, "\x81"},
};
INSTANTIATE_TEST_SUITE_P(Brackets, CodePageCase, ::testing::ValuesIn(kBrackets));

const MbCase kStations[] = {
    // 0xB0 leads in 936 but is a single-byte katakana in 932
    {936, "\xB0[1[U3RhdGlvbg==]1", Call::StationEntry, "", "1/1", "\xB0[1", "U3RhdGlvbg==", "1"},
    {932, "\xB0[1[U3RhdGlvbg==]1", Call::StationEntry, "", "1/1", "\xB0", "1[U3RhdGlvbg==", "1"},
    {932, "S[\x81]x]1,T[y]2", Call::StationEntry, "", "1/1", "S", "\x81]x", "T[y]2"},
    {932, "\x81[S[\x81]", Call::StationEntry, "", "0/-99", "\x81[S", U, "\x81]"},
};
INSTANTIATE_TEST_SUITE_P(Stations, CodePageCase, ::testing::ValuesIn(kStations));

const MbCase kCase[] = {
    // 0x82 0x41 and 0x82 0x61 are different characters: no folding of "A"
    {932, "\x82\x41=5;", Call::Int, "\x82\x61", "65535", U, U, ""},
    {936, "\xB0\x41=5;", Call::Int, "\xB0\x61", "65535", U, U, ""},
    {1252, "\x82\x41=5;", Call::Int, "\x82\x61", "5", U, U, ""},
    {932, "\x82\x41=5;", Call::Int, "\x82\x41", "5", U, U, ""},
    {932, "TYPE=5;", Call::Int, "type", "5", U, U, ""},
    // GetNameValue lower-cases single-byte letters only
    {932, "K=\x82\x41X;", Call::Get, "k", "1", "\x82\x41x", U, nullptr},
    {1252, "K=\x82\x41X;", Call::Get, "k", "1", "\x82\x61x", U, nullptr},
    {932, "\x82\x41=V;", Call::Get, "\x82\x61", "0", U, U, nullptr},
    {1252, "\x82\x41=V;", Call::Get, "\x82\x61", "1", "v", U, nullptr},
    // a name is not found in a trail byte
    {932, "\x82\x61=1;a=2;", Call::Get, "a", "1", "2", U, nullptr},
    {1252, "\x82\x61=1;a=2;", Call::Get, "a", "1", "1", U, nullptr},
};
INSTANTIATE_TEST_SUITE_P(LetterCase, CodePageCase, ::testing::ValuesIn(kCase));

// The character-buffer pop cuts before a character that does not fit.
TEST(CodePageBuffer, CutNeverSplitsACharacter) {
    struct Row {
        UINT cp;
        size_t size;
        const char* expected;
    } rows[] = {
        {932, 3, "a"}, {932, 4, "a\x82\xA0"}, {1252, 3, "a\x82"}, {936, 2, "a"}, {65001, 3, "a"},
    };
    for (const Row& r : rows) {
        CodePage cp(r.cp);
        COamCommand cmd;
        CString t(r.cp == 65001 ? "k=a\xC3\xA9z;" : "k=a\x82\xA0z;"), n;
        char buf[8];
        memset(buf, 0x7F, sizeof buf);
        EXPECT_EQ(cmd.PopNameValue(t, n, buf, r.size, 1), 0);
        EXPECT_STREQ(buf, r.expected) << r.cp << " " << r.size;
        for (size_t i = r.size; i < sizeof buf; ++i) ASSERT_EQ(buf[i], 0x7F);
    }
}

}  // namespace
}  // namespace oamtest
