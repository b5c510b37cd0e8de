// Pair grammar: every COamCommand operation on NAME=VALUE; text, with the
// failure values and the partial results that failed reads leave behind.
#include <limits.h>
#include <stdlib.h>

#include <string>
#include <type_traits>
#include <utility>

#include <gtest/gtest.h>

#include "OamCommand.h"
#include "CodecTestUtil.h"

namespace oamtest {
namespace {

struct Case {
    const char* text;
    Call call;
    const char* arg;     // expected name for Int, Float, Get
    const char* result;
    const char* out1;    // name / value (Get) / left / value (ValueName)
    const char* out2;    // value / right / name
    const char* after;   // nullptr: unchanged
};

void PrintTo(const Case& c, std::ostream* os) {
    *os << "'" << c.text << "' call " << static_cast<int>(c.call);
}

class PairCase : public ::testing::TestWithParam<Case> {};

TEST_P(PairCase, ResultOutputsAndRest) {
    const Case& c = GetParam();
    Outcome o = RunCall(c.call, c.text, c.arg);
    ExpectOutcome(o, c.result, c.out1, c.out2, c.after, c.text);
}

const char* const U = kUntouched;

// The worked examples, as the protocol describes them.
const Case kExamples[] = {
    {"SESSIONID=12;RETURNCODE=0;AllStation=S1;", Call::Session, "", "12", U, U, "RETURNCODE=0;AllStation=S1;"},
    {"RETURNCODE=0;AllStation=S1;", Call::ReturnCode, "", "0", U, U, "AllStation=S1;"},
    {"RETURNCODE=0;SESSIONID=12;", Call::Session, "", "-1", U, U, nullptr},
    {"AllStation=S1;", Call::Pop1, "", "0", "AllStation", "S1", ""},
    {"Name = cam 1 ;Rest", Call::Pop0, "", "14", "Name", "cam 1", nullptr},
    {"a=1", Call::Pop1, "", "-1", "a", U, nullptr},
    {"a;b=2;", Call::Pop1, "", "0", "a;b", "", "b=2;"},
    {"ID=7;Type=1;", Call::Int, "Type", "65535", U, U, "Type=1;"},
    {"type = 1 ;x=2;", Call::Int, "Type", "1", U, U, "x=2;"},
    {"Obj=0.25;", Call::Float, "obj", "0.25", U, U, ""},
    {"DeviceID=9;ID=7;", Call::Get, "ID", "1", "9", U, nullptr},
    {"MODE=Auto;", Call::Get, "mode", "1", "auto", U, nullptr},
    {"Zoom : 3", Call::Split, "", "1", "Zoom", "3", nullptr},
    {"12[Q2FtZXJh],13[UGFu]", Call::ValueName, "", "1", "12", "Q2FtZXJh", ",13[UGFu]"},
    {"12[Q2FtZXJh", Call::ValueName, "", "0", "12", U, "Q2FtZXJh"},
};
INSTANTIATE_TEST_SUITE_P(Examples, PairCase, ::testing::ValuesIn(kExamples));

// An empty text: every operation fails with its own failure value.
const Case kEmpty[] = {
    {"", Call::Session, "", "-1", U, U, nullptr},  {"", Call::ReturnCode, "", "-1", U, U, nullptr},
    {"", Call::Command, "", "", U, U, nullptr},    {"", Call::Station, "", "", U, U, nullptr},
    {"", Call::Pop1, "", "-1", U, U, nullptr},     {"", Call::Pop0, "", "-1", U, U, nullptr},
    {"", Call::Int, "a", "65535", U, U, nullptr},  {"", Call::Float, "a", "0", U, U, nullptr},
    {"", Call::Get, "a", "0", U, U, nullptr},      {"", Call::Split, "", "0", U, U, nullptr},
    {"", Call::ValueName, "", "0", U, U, nullptr},
};
INSTANTIATE_TEST_SUITE_P(EmptyText, PairCase, ::testing::ValuesIn(kEmpty));

// Reading the first pair: where the name, the value and the rest end.
const Case kPairs[] = {
    {"=abc;", Call::Pop1, "", "-1", U, U, nullptr},
    {"=abc;", Call::Pop0, "", "-1", U, U, nullptr},
    {"a=;", Call::Pop1, "", "0", "a", "", ""},
    {"a=1=2;", Call::Pop1, "", "0", "a", "1=2", ""},
    {" \t a b \r\n= x  y \v\f;  next=1;", Call::Pop1, "", "0", "a b", "x  y", "  next=1;"},
    {"; a=1;", Call::Pop1, "", "-1", "; a", U, nullptr},  // name kept, ";" leads
    {"a;b=2;", Call::Pop0, "", "2", "a;b", "", nullptr},
    {"k=v;", Call::Pop0, "", "4", "k", "v", nullptr},
    {"k=v;x", Call::Pop1, "", "0", "k", "v", "x"},
    {"k = v", Call::Pop0, "", "-1", "k", U, nullptr},
    {"noequals;", Call::Pop1, "", "-1", U, U, nullptr},
};
INSTANTIATE_TEST_SUITE_P(FirstPair, PairCase, ::testing::ValuesIn(kPairs));

// Fixed-name pops take the pair only when it leads and carries their name.
const Case kFixed[] = {
    {"x=1;SESSIONID=3;", Call::Session, "", "-1", U, U, nullptr},
    {"sessionid = 5 ;r", Call::Session, "", "5", U, U, "r"},
    {"SESSIONID=abc;", Call::Session, "", "0", U, U, ""},
    {"SESSIONID=42abc;", Call::Session, "", "42", U, U, ""},
    {"SESSIONID=-1;x=2;", Call::Session, "", "-1", U, U, "x=2;"},
    {"SESSIONID=7", Call::Session, "", "-1", U, U, nullptr},
    {"SESSIONIDX=7;", Call::Session, "", "-1", U, U, nullptr},
    {"ReturnCode=3;", Call::ReturnCode, "", "3", U, U, ""},
    {"RETURNCODE=0", Call::ReturnCode, "", "-1", U, U, nullptr},
    {"CMD = Login ;x", Call::Command, "", "Login", U, U, "x"},
    {"CMDX=Login;", Call::Command, "", "", U, U, nullptr},
    {"STATIONID=S 1;CMD=Get;", Call::Station, "", "S 1", U, U, "CMD=Get;"},
    {"STATIONID=;", Call::Station, "", "", U, U, ""},
    {"CMD=Get;STATIONID=S1;", Call::Station, "", "", U, U, nullptr},
};
INSTANTIATE_TEST_SUITE_P(FixedNames, PairCase, ::testing::ValuesIn(kFixed));

// Typed pops consume the first pair whatever its name.
const Case kTyped[] = {
    {"TYPE=12;", Call::Int, "type", "12", U, U, ""},
    {"Type=x;y=1;", Call::Int, "Type", "0", U, U, "y=1;"},
    {"Other=5;", Call::Int, "Type", "65535", U, U, ""},
    {"Type=5", Call::Int, "Type", "65535", U, U, nullptr},
    {"Type=65535;", Call::Int, "Type", "65535", U, U, ""},
    {"v=1e3;", Call::Float, "V", "1000", U, U, ""},
    {"v=-2.5x;", Call::Float, "v", "-2.5", U, U, ""},
    {"v=abc;", Call::Float, "v", "0", U, U, ""},
    {"w=2.5;v=1;", Call::Float, "v", "0", U, U, "v=1;"},
};
INSTANTIATE_TEST_SUITE_P(TypedPops, PairCase, ::testing::ValuesIn(kTyped));

// Look-up anywhere in the text, lower-cased.
const Case kGet[] = {
    {"a=1;", Call::Get, "b", "0", U, U, nullptr},
    {"x=1", Call::Get, "x", "0", U, U, nullptr},
    {"x;", Call::Get, "x", "0", U, U, nullptr},
    {"a=1;x=2;", Call::Get, ";x", "0", U, U, nullptr},      // ";" right at the match
    {"ID;x=1;", Call::Get, "id", "1", "", U, nullptr},        // ";" before "="
    {"NAME = Big Cam ;", Call::Get, "name", "1", "big cam", U, nullptr},
    {"a=KEY=3;KEY=2;", Call::Get, "key", "1", "3", U, nullptr},  // inside a value
    {"a=xKEYx;KEY=2;", Call::Get, "key", "1", "", U, nullptr},   // ";" before "="
    {"a=1;B=2;", Call::Get, "", "1", "1", U, nullptr},
};
INSTANTIATE_TEST_SUITE_P(GetNameValue, PairCase, ::testing::ValuesIn(kGet));

const Case kSplit[] = {
    {"abc", Call::Split, "", "0", U, U, nullptr},
    {":x", Call::Split, "", "1", "", "x", nullptr},
    {"a:b:c", Call::Split, "", "1", "a", "b:c", nullptr},
    {" a :", Call::Split, "", "1", "a", "", nullptr},
};
INSTANTIATE_TEST_SUITE_P(SplitString, PairCase, ::testing::ValuesIn(kSplit));

const Case kBracket[] = {
    {"[x]", Call::ValueName, "", "0", U, U, nullptr},
    {"v[]", Call::ValueName, "", "0", "v", U, "]"},
    {"v", Call::ValueName, "", "0", U, U, nullptr},
    {" 5 [ n ]  rest \t", Call::ValueName, "", "1", "5", "n", "rest"},
    {"a]b[c]d", Call::ValueName, "", "1", "a]b", "c", "d"},
    {" [n]", Call::ValueName, "", "1", "", "n", ""},
};
INSTANTIATE_TEST_SUITE_P(PopValueName, PairCase, ::testing::ValuesIn(kBracket));

// pop 0 reports exactly the length that pop 1 removes.
TEST(PairLength, PopZeroMatchesWhatPopOneRemoves) {
    const char* texts[] = {"a=1;b=2;", "Name = cam 1 ;Rest", "a;b=2;", " x =;", "k==;;"};
    for (const char* s : texts) {
        COamCommand cmd;
        CString t0(s), t1(s), n, v;
        int len = cmd.PopNameValue(t0, n, v, 0);
        ASSERT_GT(len, 0) << s;
        ASSERT_EQ(cmd.PopNameValue(t1, n, v, 1), 0) << s;
        EXPECT_EQ(std::string(s).substr(static_cast<size_t>(len)), t1.str()) << s;
    }
}

// A message read field by field, as the alarm receiver does.
TEST(PairSequence, FixedOrderMessage) {
    COamCommand cmd;
    CString t("SESSIONID=3;RETURNCODE=0;CMD=Alarm;STATIONID=S9;ID=4;ObjDir=1.5;Text=a b;");
    EXPECT_EQ(cmd.PopSessionID(t), 3);
    EXPECT_EQ(cmd.PopReturnCode(t), 0);
    EXPECT_EQ(cmd.PopCommandID(t), "Alarm");
    EXPECT_EQ(cmd.PopStationID(t), "S9");
    EXPECT_EQ(cmd.PopIntValue(t, "id"), 4);
    EXPECT_DOUBLE_EQ(cmd.PopFloatValue(t, "OBJDIR"), 1.5);
    CString n, v;
    EXPECT_EQ(cmd.PopNameValue(t, n, v, 1), 0);
    EXPECT_EQ(v, "a b");
    EXPECT_TRUE(t.IsEmpty());
    EXPECT_EQ(cmd.PopNameValue(t, n, v, 1), -1);
}

// Numbers beyond the int range saturate instead of wrapping.
TEST(PairNumbers, OutOfRangeSaturates) {
    struct Row {
        const char* text;
        int expected;
    } rows[] = {
        {"RETURNCODE=2147483647;", INT_MAX},         {"RETURNCODE=2147483648;", INT_MAX},
        {"RETURNCODE=99999999999999999999;", INT_MAX}, {"RETURNCODE=-2147483648;", INT_MIN},
        {"RETURNCODE=-2147483649;", INT_MIN},         {"RETURNCODE=-99999999999999999999;", INT_MIN},
    };
    for (const Row& r : rows) {
        COamCommand cmd;
        CString t(r.text);
        EXPECT_EQ(cmd.PopReturnCode(t), r.expected) << r.text;
    }
}

// The character-buffer form: the value cut to fit, with its NUL, and not a
// byte written past the size given.
TEST(PairBuffer, CutToFitNeverPastTheEnd) {
    struct Row {
        size_t size;
        const char* expected;
    } rows[] = {{1, ""}, {2, "a"}, {4, "abc"}, {6, "abcde"}, {7, "abcdef"}, {64, "abcdef"}};
    for (const Row& r : rows) {
        COamCommand cmd;
        CString t("key=abcdef;next=1;"), n;
        char buf[80];
        memset(buf, 0x7F, sizeof buf);
        EXPECT_EQ(cmd.PopNameValue(t, n, buf, r.size, 1), 0);
        EXPECT_STREQ(buf, r.expected) << r.size;
        for (size_t i = r.size; i < sizeof buf; ++i) ASSERT_EQ(buf[i], 0x7F) << "written at " << i;
        EXPECT_EQ(n, "key");
        EXPECT_EQ(t, "next=1;");
    }
}

TEST(PairBuffer, ArrayFormAndNullBuffer) {
    COamCommand cmd;
    CString t("a=123456;b=;c"), n;
    char small[4];
    EXPECT_EQ(cmd.PopNameValue(t, n, small, 1), 0);
    EXPECT_STREQ(small, "123");
    EXPECT_EQ(cmd.PopNameValue(t, n, nullptr, 0, 1), 0);  // consumed all the same
    EXPECT_EQ(n, "b");
    EXPECT_EQ(t, "c");
    memset(small, 'z', sizeof small);
    EXPECT_EQ(cmd.PopNameValue(t, n, small, 0), -1);
    EXPECT_EQ(small[0], 'z');
    EXPECT_EQ(cmd.PopNameValue(t, n, small, 0, 1), -1);
    CString zeroSize("x=1;");
    EXPECT_EQ(cmd.PopNameValue(zeroSize, n, small, 0, 1), 0);
    EXPECT_EQ(small[0], 'z');
}

// The buffer forms all know the size: a bare pointer without one does not
// compile (for an array it would otherwise win over the sized template).
template <typename T, typename = void>
struct PopsInto : std::false_type {};
template <typename T>
struct PopsInto<T, std::void_t<decltype(std::declval<COamCommand&>().PopNameValue(
                       std::declval<CString&>(), std::declval<CString&>(), std::declval<T>(), 1))>>
    : std::true_type {};
static_assert(!PopsInto<char*>::value, "unsized buffer form");
static_assert(PopsInto<char (&)[36]>::value, "array form");
static_assert(PopsInto<CString&>::value, "string form");

// An output that is the text itself: no damage, the output wins.
TEST(PairAliasing, OutputIsTheText) {
    COamCommand cmd;
    CString t("name=value;rest=1;"), v;
    EXPECT_EQ(cmd.PopNameValue(t, t, v, 1), 0);
    EXPECT_EQ(t, "name");
    EXPECT_EQ(v, "value");
    CString s("left:right"), r;
    EXPECT_EQ(cmd.SplitString(s, s, r), 1);
    EXPECT_EQ(s, "left");
    EXPECT_EQ(r, "right");
    CString b("12[abc]rest"), name;
    EXPECT_EQ(cmd.PopValueName(b, name, b), 1);
    EXPECT_EQ(b, "abc");
    EXPECT_EQ(name, "12");
}

}  // namespace
}  // namespace oamtest
