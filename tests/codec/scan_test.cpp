// The pointer-and-length layer: number conversion and cutting to fit.
#include <limits.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include <gtest/gtest.h>

#include "codec/TextScan.h"
#include "codec_test_util.h"

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

// A view of bytes that are not UTF-8 is cut at the size asked for.
TEST(ScanCopy, FitLengthOnBrokenText) {
    codectest::CodePage cp(65001);
    EXPECT_EQ(oam::codec::FitLength("\x80\x80\x80\x80\x80", 5, 2), 2u);
    EXPECT_EQ(oam::codec::FitLength("a\xC3", 2, 1), 1u);
    codectest::CodePage dbcs(932);
    EXPECT_EQ(oam::codec::FitLength("\x82\x82\x82", 3, 2), 2u);
    EXPECT_EQ(oam::codec::FitLength("\x82\x82\x82", 3, 1), 0u);
}

}  // namespace
