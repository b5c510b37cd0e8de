// Channel helpers that the wire tests cannot reach: the error codes that
// count as a broken link, field copies and number reading.
#include <limits.h>
#include <string.h>

#include <string>

#include <gtest/gtest.h>

#include "channel/ChannelInternal.h"
#include "oam_string.h"

using namespace oam::channel;

namespace {

TEST(ChannelInternals, OnlySixCodesMeanABrokenLink) {
    const DWORD breaking[] = {10050, 10052, 10053, 10054, 10057, 10058};
    for (DWORD code = 10000; code < 10110; ++code) {
        bool expected = std::find(std::begin(breaking), std::end(breaking), code) != std::end(breaking);
        EXPECT_EQ(IsLinkBreakError(code), expected) << code;
    }
    EXPECT_FALSE(IsLinkBreakError(0));
    EXPECT_FALSE(IsLinkBreakError(WSAETIMEDOUT));
}

TEST(ChannelInternals, SessionCounterWraps) {
    struct Row {
        int32_t from, to;
    } rows[] = {{0, 1}, {-1, 0}, {41, 42}, {INT32_MAX, INT32_MIN}, {INT32_MIN, INT32_MIN + 1}};
    for (const Row& r : rows) EXPECT_EQ(NextSession(r.from), r.to) << r.from;
}

TEST(ChannelInternals, CopyTextFieldNeverOverrunsNorSplitsACharacter) {
    struct Row {
        UINT codePage;
        std::string src;
        size_t size;
        std::string stored;
    } rows[] = {
        {1252, "abc", 8, "abc"},
        {1252, "abcdefgh", 8, "abcdefg"},
        {1252, "", 1, ""},
        {1252, "x", 1, ""},
        {1252, "\xB0\xA1\xB0", 3, "\xB0\xA1"},  // single-byte page: bytes are characters
        {936, "ab\xB0\xA1", 4, "ab"},
        {936, "a\xB0\xA1z", 4, "a\xB0\xA1"},
        {936, "\xB0\xA1\xB0\xA1", 4, "\xB0\xA1"},
        {936, "ab\xB0", 3, "ab"},
        {65001, "ab\xE4\xB8\xAD", 5, "ab"},
        {65001, "a\xE4\xB8\xADz", 5, "a\xE4\xB8\xAD"},
    };
    UINT saved = GetACP();
    for (const Row& r : rows) {
        ASSERT_TRUE(OamSetACP(r.codePage));
        char buf[16];
        memset(buf, '#', sizeof buf);
        CopyTextField(buf, r.size, r.src.data(), r.src.size());
        EXPECT_EQ(std::string(buf), r.stored) << r.codePage << " " << r.src;
        for (size_t i = r.size; i < sizeof buf; ++i) EXPECT_EQ(buf[i], '#') << "written past at " << i;
    }
    OamSetACP(saved);
}

TEST(ChannelInternals, ParseIntReadsLikeAtoiWithoutOverflow) {
    struct Row {
        const char* text;
        int value;
    } rows[] = {{"40", 40},           {"  -5", -5},          {"+7x", 7},          {"12ab", 12},
                {"abc", 0},           {"", 0},               {nullptr, 0},        {"- 3", 0},
                {"2147483647", INT_MAX}, {"2147483648", INT_MAX}, {"-2147483648", INT_MIN},
                {"-99999999999999999999", INT_MIN}, {"\t\n 9", 9}};
    for (const Row& r : rows) EXPECT_EQ(ParseInt(r.text), r.value) << (r.text ? r.text : "null");
}

}  // namespace
