// Base64: RFC 4648 vectors, text that is not clean base64, the capacity
// bound, agreement with a reference encoder (OpenSSL's; the system's
// CryptoAPI on Windows), and the inline size helpers and alphabet.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "Corbex.h"
#include "CorbexAccess.h"
#include "TestReference.h"

namespace oamtest {
namespace {

constexpr unsigned char kPoison = 0xA5;

std::string Decode(const char* text, int capacity = 256) {
    std::vector<unsigned char> out(static_cast<size_t>(capacity > 0 ? capacity : 0) + 16, kPoison);
    const int n = Base64::base64ToBin(text, out.data(), capacity);
    EXPECT_GE(n, 0);
    EXPECT_LE(n, capacity > 0 ? capacity : 0);
    for (size_t i = static_cast<size_t>(n); i < out.size(); ++i) EXPECT_EQ(kPoison, out[i]) << "byte " << i;
    // The counted form reads the same text with no NUL after it (a heap
    // block of exactly its length, so a read past it is caught).
    const size_t len = strlen(text);
    std::unique_ptr<char[]> bare(new char[len ? len : 1]);
    memcpy(bare.get(), text, len);
    std::vector<unsigned char> counted(out.size(), kPoison);
    EXPECT_EQ(n, Base64::base64ToBin(bare.get(), len, counted.data(), capacity)) << text;
    EXPECT_TRUE(std::equal(out.begin(), out.end(), counted.begin())) << text;
    return std::string(out.begin(), out.begin() + n);
}

std::string Encode(const std::string& bin) {
    return oamtest::ReferenceBase64(bin);
}

struct Case {
    const char* text;
    const char* decoded;
};

void PrintTo(const Case& c, std::ostream* os) {
    *os << '"' << c.text << '"';
}

class Base64Decode : public ::testing::TestWithParam<Case> {};

TEST_P(Base64Decode, Text) {
    EXPECT_EQ(GetParam().decoded, Decode(GetParam().text)) << GetParam().text;
}

INSTANTIATE_TEST_SUITE_P(Rfc4648, Base64Decode,
                         ::testing::Values(Case{"", ""}, Case{"Zg==", "f"}, Case{"Zm8=", "fo"}, Case{"Zm9v", "foo"},
                                           Case{"Zm9vYg==", "foob"}, Case{"Zm9vYmE=", "fooba"},
                                           Case{"Zm9vYmFy", "foobar"}, Case{"WWFyZA==", "Yard"}));

// White space is skipped; "=" and any other byte outside the alphabet end
// the data; missing padding is accepted; a lone trailing character adds no
// byte.
INSTANTIATE_TEST_SUITE_P(Unclean, Base64Decode,
                         ::testing::Values(Case{"Zm9v\r\nYmFy", "foobar"}, Case{" Zm 9v\tYmFy ", "foobar"},
                                           Case{"Zm9vYg", "foob"}, Case{"Zm9vY", "foo"}, Case{"Zm9=YmFy", "fo"},
                                           Case{"Zm9v!YmFy", "foo"}, Case{"Zm9v\xc3YmFy", "foo"},
                                           Case{"Zm9v-_", "foo"}, Case{"=Zm9v", ""}, Case{"Z", ""}));

TEST(Base64, DecodesArbitraryBytesEncodedByOpenSsl) {
    std::mt19937 rng(7);
    for (size_t n = 0; n <= 256; ++n) {
        std::string bin(n, '\0');
        for (auto& c : bin) c = static_cast<char>(rng());
        if (n >= 2) {
            bin[0] = '\0';  // NUL and 0xFF bytes decode like any other
            bin[1] = '\xff';
        }
        ASSERT_EQ(bin, Decode(Encode(bin).c_str(), 300)) << "length " << n;
    }
}

TEST(Base64, CountedTextEndsAtItsLength) {
    const char text[] = "Zm9vYmFy";  // "foobar"
    unsigned char out[8] = {};
    EXPECT_EQ(3, Base64::base64ToBin(text, 4, out, sizeof out));
    EXPECT_EQ(0, memcmp(out, "foo", 3));
    EXPECT_EQ(4, Base64::base64ToBin(text, 6, out, sizeof out));  // "Zm9vYm": foob, two bits left over
    EXPECT_EQ(0, Base64::base64ToBin(text, 0, out, sizeof out));
    EXPECT_EQ(0, Base64::base64ToBin(nullptr, 4, out, sizeof out));
    EXPECT_EQ(3, Base64::base64ToBin("Zm9v\0YmFy", 9, out, sizeof out));  // a NUL still ends the data
}

TEST(Base64, NeverWritesPastCapacity) {
    const std::string bin = "The quick brown fox jumps over the lazy dog";
    const std::string text = Encode(bin);
    for (int cap = 0; cap <= static_cast<int>(bin.size()) + 2; ++cap)
        EXPECT_EQ(bin.substr(0, static_cast<size_t>(cap)), Decode(text.c_str(), cap)) << "capacity " << cap;
}

TEST(Base64, NullArgumentsAndNegativeCapacityWriteNothing) {
    unsigned char out[8];
    memset(out, kPoison, sizeof out);
    EXPECT_EQ(0, Base64::base64ToBin(nullptr, out, 8));
    EXPECT_EQ(0, Base64::base64ToBin("Zm9v", nullptr, 8));
    EXPECT_EQ(0, Base64::base64ToBin("Zm9v", out, -1));
    EXPECT_EQ(0, Base64::base64ToBin("Zm9v", out, 0));
    for (unsigned char c : out) EXPECT_EQ(kPoison, c);
}

TEST(Base64, CallersNameBufferStaysTerminated) {
    // The callers' pattern: zero-filled 256 bytes, capacity 256, read as text.
    unsigned char name[256] = {};
    Base64::base64ToBin(Encode("Camera 01").c_str(), name, sizeof name);
    EXPECT_STREQ("Camera 01", reinterpret_cast<const char*>(name));
}

TEST(Base64, CalculatedLengths) {
    struct {
        unsigned n;
        int textLen, binLen;
    } const table[] = {{0, 1, 0}, {1, 5, 0}, {2, 5, 0}, {3, 5, 0}, {4, 9, 3}, {7, 13, 3}, {8, 13, 6}, {9, 13, 6}};
    for (const auto& row : table) {
        EXPECT_EQ(row.textLen, Base64::calculateBase64Len(row.n)) << row.n;
        EXPECT_EQ(row.binLen, Base64::calculateBinLen(row.n)) << row.n;
    }
    // Room for OpenSSL's text of n bytes plus the NUL, exactly.
    for (unsigned n = 0; n < 200; ++n)
        EXPECT_EQ(static_cast<int>(Encode(std::string(n, 'x')).size()) + 1, Base64::calculateBase64Len(n)) << n;
}

TEST(Base64, Decode64CoversExactlyTheAlphabet) {
    const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    const auto decode64 = Base64Access::decode64();
    for (int c = 0; c < 256; ++c) {
        const size_t pos = alphabet.find(static_cast<char>(c));
        const int expected = (c != 0 && pos != std::string::npos) ? static_cast<int>(pos) : -1;
        EXPECT_EQ(expected, static_cast<int>(static_cast<signed char>(decode64(static_cast<unsigned char>(c))))) << c;
    }
    EXPECT_EQ(static_cast<char>(-1), decode64('='));
    EXPECT_EQ(static_cast<char>(-1), decode64(0x80));
    EXPECT_EQ(static_cast<char>(0xFF), decode64(0));
    EXPECT_EQ(0, decode64('A'));
    EXPECT_EQ(63, decode64('/'));
}

}  // namespace
}  // namespace oamtest
