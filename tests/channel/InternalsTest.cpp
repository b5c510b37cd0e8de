// Channel helpers that the wire tests cannot reach: the error codes that
// count as a broken link and the wrapping session counter.
#include <string.h>

#include <algorithm>
#include <iterator>

#include <gtest/gtest.h>

#include "channel/ChannelInternal.h"

namespace oamtest {

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

// Where strict session mode finds the request's reply in what one read got.
TEST(ChannelInternals, FindReplyForASession) {
    const size_t none = static_cast<size_t>(-1);
    struct Row {
        const char* text;
        int32_t session;
        size_t at;
    } rows[] = {
        {"SESSIONID=3;RETURNCODE=0;", 3, 0},
        {"SESSIONID=2;RETURNCODE=0;X=1;SESSIONID=3;RETURNCODE=0;", 3, 29},
        {"Tail=1;\r\n sessionid = 3 ;RETURNCODE=0;", 3, 10},  // names without case, white space
        {"SESSIONID=-1;RETURNCODE=0;", -1, 0},
        {"SESSIONID=30;RETURNCODE=0;", 3, none},
        {"X=SESSIONID=3;", 3, none},  // inside a value, not a pair of its own
        {"SESSIONID=2;RETURNCODE=0;SESSIONID=3", 3, none},  // no ";": no whole pair
        {"", 0, none},
    };
    for (const Row& r : rows) EXPECT_EQ(FindReplyFor(r.text, strlen(r.text), r.session), r.at) << r.text;
}

}  // namespace

TEST(ChannelInternals, TraceTextsMaskEveryPasswordValue) {
    const std::pair<const char*, const char*> cases[] = {
        {"SESSIONID=0;CMD=Login;User=admin;Password=admin;", "SESSIONID=0;CMD=Login;User=admin;Password=***;"},
        {"CMD=Login;password=a=b;User=x;", "CMD=Login;password=***;User=x;"},   // any case, '=' inside
        {"CMD=Login; Password =secret", "CMD=Login; Password =***"},           // spaces, last pair unterminated
        {"Password=;Password=x;", "Password=***;Password=***;"},               // empty, repeated
        {"Passwords=x;OldPassword=y;", "Passwords=x;OldPassword=y;"},          // other names stay
        {"SESSIONID=1;RETURNCODE=0;", "SESSIONID=1;RETURNCODE=0;"},
    };
    for (const auto& [in, out] : cases) EXPECT_STREQ(oam::channel::MaskSecrets(CString(in)).GetString(), out) << in;
}

}  // namespace oamtest
