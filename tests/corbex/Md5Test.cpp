// CMD5: RFC 1321 vectors, agreement with a reference digest (OpenSSL; the
// system's CryptoAPI on Windows) on random buffers around
// the block and padding boundaries, the auxiliary functions and the step,
// and the shared layout carried by copies.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "Corbex.h"
#include "CorbexAccess.h"
#include "TestReference.h"
#include "WireText.h"

namespace oamtest {
namespace {

std::string Digest(const void* data, size_t n) {
    CMD5 md5;
    CString out;
    EXPECT_EQ(0, md5.DigestBinary(static_cast<const unsigned char*>(data), static_cast<unsigned>(n), out));
    return out.str();
}

std::string Reference(const void* data, size_t n) {
    return HexOf(ReferenceMd5(data, n));
}

std::vector<unsigned char> RandomBytes(size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    std::vector<unsigned char> v(n);
    for (auto& c : v) c = static_cast<unsigned char>(rng());
    return v;
}

struct Vector {
    const char* text;
    const char* digest;
};

void PrintTo(const Vector& v, std::ostream* os) {
    *os << '"' << v.text << '"';
}

class Rfc1321 : public ::testing::TestWithParam<Vector> {};

TEST_P(Rfc1321, TestSuite) {
    EXPECT_EQ(GetParam().digest, Digest(GetParam().text, strlen(GetParam().text)));
}

INSTANTIATE_TEST_SUITE_P(
    Md5, Rfc1321,
    ::testing::Values(
        Vector{"", "d41d8cd98f00b204e9800998ecf8427e"}, Vector{"a", "0cc175b9c0f1b6a831c399e269772661"},
        Vector{"abc", "900150983cd24fb0d6963f7d28e17f72"},
        Vector{"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
        Vector{"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
        Vector{"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789", "d174ab98d277d9f5a5611c2c9f419d9f"},
        Vector{"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
               "57edf4a22be3c955ac49da2e2107b67a"}));

class AgainstOpenSsl : public ::testing::TestWithParam<size_t> {};

TEST_P(AgainstOpenSsl, RandomBuffer) {
    const size_t n = GetParam();
    // One spare byte in front: the message also starts at an odd address.
    const auto buf = RandomBytes(n + 1, static_cast<unsigned>(n) * 7919u + 1u);
    EXPECT_EQ(Reference(buf.data() + 1, n), Digest(buf.data() + 1, n)) << "length " << n;
    EXPECT_EQ(Reference(buf.data(), n), Digest(buf.data(), n)) << "length " << n;
}

// Around one and two blocks and the 56-byte padding limit, and a few MiB.
INSTANTIATE_TEST_SUITE_P(Md5, AgainstOpenSsl,
                         ::testing::Values(0, 1, 55, 56, 57, 63, 64, 65, 119, 120, 121, 127, 128, 129, 1000,
                                           (3u << 20) + 17u, 5u << 20));

TEST(Md5, EveryLengthUpToFourBlocks) {
    const auto buf = RandomBytes(256, 99);
    for (size_t n = 0; n <= buf.size(); ++n) ASSERT_EQ(Reference(buf.data(), n), Digest(buf.data(), n)) << n;
}

TEST(Md5, OneObjectDigestsAgainAndGivesLowercaseHex) {
    const auto a = RandomBytes(300, 1), b = RandomBytes(70, 2);
    CMD5 md5;
    CString out;
    ASSERT_EQ(0, md5.DigestBinary(a.data(), 300, out));
    EXPECT_EQ(Reference(a.data(), 300), out.str());
    ASSERT_EQ(0, md5.DigestBinary(b.data(), 70, out));
    EXPECT_EQ(Reference(b.data(), 70), out.str());
    ASSERT_EQ(32, out.GetLength());
    for (char c : out.str()) EXPECT_TRUE((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')) << c;
}

TEST(Md5, NullDataWithLengthIsRefused) {
    CMD5 md5;
    CString out("stale");
    EXPECT_EQ(-1, md5.DigestBinary(nullptr, 10, out));
    EXPECT_TRUE(out.IsEmpty());
    EXPECT_EQ(0, md5.DigestBinary(nullptr, 0, out));
    EXPECT_EQ("d41d8cd98f00b204e9800998ecf8427e", out.str());
}

// Bit i of these three words walks through all eight (x, y, z) inputs, so
// each result byte is the function's truth table read from row 7 to 0.
constexpr uint32_t kX = 0xF0F0F0F0u, kY = 0xCCCCCCCCu, kZ = 0xAAAAAAAAu;

uint32_t TruthTable(bool (*f)(bool, bool, bool)) {
    uint32_t byte = 0;
    for (int row = 0; row < 8; ++row) {
        const bool x = (kX >> row) & 1, y = (kY >> row) & 1, z = (kZ >> row) & 1;
        if (f(x, y, z)) byte |= 1u << row;
    }
    return byte * 0x01010101u;
}

TEST(Md5, AuxiliaryFunctionsMatchTheirTruthTables) {
    EXPECT_EQ(TruthTable([](bool x, bool y, bool z) { return x ? y : z; }), CMD5Access::F()(kX, kY, kZ));
    EXPECT_EQ(TruthTable([](bool x, bool y, bool z) { return z ? x : y; }), CMD5Access::G()(kX, kY, kZ));
    EXPECT_EQ(TruthTable([](bool x, bool y, bool z) { return x != (y != z); }), CMD5Access::H()(kX, kY, kZ));
    EXPECT_EQ(TruthTable([](bool x, bool y, bool z) { return y != (x || !z); }), CMD5Access::I()(kX, kY, kZ));
}

uint32_t RotateLeft(uint32_t v, unsigned s) {
    const uint64_t wide = (static_cast<uint64_t>(v) << 32 | v) << (s % 32);
    return static_cast<uint32_t>(wide >> 32);
}

TEST(Md5, StepRotatesByCountModulo32) {
    const uint32_t x = 0x01234567u, y = 0x89abcdefu, z = 0xfedcba98u, data = 0xdeadbeefu;
    for (uint32_t s : {0u, 1u, 7u, 12u, 22u, 31u, 32u, 33u, 39u, 63u, 64u, 0xFFFFFFFFu}) {
        for (auto f : {CMD5Access::F(), CMD5Access::G(), CMD5Access::H(), CMD5Access::I()}) {
            uint32_t w = 0x76543210u;
            // Wrap-around: the sum below exceeds 32 bits.
            const uint32_t expected = x + RotateLeft(w + f(x, y, z) + data, s);
            CMD5Access::MD5STEP()(f, w, x, y, z, data, s);
            EXPECT_EQ(expected, w) << "s=" << s;
        }
    }
}

void Fill(CMD5& m, unsigned seed) {
    for (int i = 0; i < 7; ++i) CMD5Access::State(m)[i] = 0x9e3779b9u * (seed + static_cast<unsigned>(i) + 1);
    for (int i = 0; i < 64; ++i) CMD5Access::Block(m)[i] = static_cast<unsigned char>(seed * 31 + static_cast<unsigned>(i) * 7);
}

void ExpectSameState(CMD5& a, CMD5& b) {
    EXPECT_EQ(0, memcmp(CMD5Access::State(a), CMD5Access::State(b), 7 * sizeof(uint32_t)));
    EXPECT_EQ(0, memcmp(CMD5Access::Block(a), CMD5Access::Block(b), 64));
}

TEST(Md5, CopiesCarryAllSevenWordsAndTheBlock) {
    CMD5 src;
    Fill(src, 5);
    CMD5 constructed(src);
    ExpectSameState(src, constructed);

    CMD5 assigned;
    Fill(assigned, 9);
    CMD5& result = (assigned = src);
    EXPECT_EQ(&assigned, &result);
    ExpectSameState(src, assigned);

    // The state after a real digest, too: the tail block and length words.
    const auto data = RandomBytes(100, 3);
    CString out;
    src.DigestBinary(data.data(), 100, out);
    CMD5 afterDigest(src);
    ExpectSameState(src, afterDigest);
    EXPECT_EQ(800u, CMD5Access::State(afterDigest)[4]);
}

TEST(Md5, LayoutIsVptrThenWordsThenBlock) {
    CMD5 m;
    const char* base = reinterpret_cast<const char*>(&m);
    EXPECT_EQ(sizeof(void*), static_cast<size_t>(reinterpret_cast<const char*>(CMD5Access::State(m)) - base));
    EXPECT_EQ(sizeof(void*) + 28, static_cast<size_t>(reinterpret_cast<const char*>(CMD5Access::Block(m)) - base));
    EXPECT_GE(sizeof(CMD5), sizeof(void*) + 28 + 64);
    EXPECT_TRUE(std::has_virtual_destructor<CMD5>::value);
}

}  // namespace
}  // namespace oamtest
