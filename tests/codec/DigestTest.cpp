// The digest taken while an archive arrives: the same text as CMD5's digest
// of the whole range, however the bytes are cut into pieces.

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "Corbex.h"
#include "ZipTool.h"
#include "codec/StreamDigest.h"

namespace {

std::string Whole(const std::string& bytes) {
    CString text;
    CMD5 md5;
    md5.DigestBinary(reinterpret_cast<const unsigned char*>(bytes.data()), static_cast<unsigned>(bytes.size()), text);
    return text.GetString();
}

std::string InPieces(const std::string& bytes, const std::vector<size_t>& cuts) {
    oam::codec::StreamDigest d;
    size_t at = 0;
    for (size_t cut : cuts) {
        d.Update(reinterpret_cast<const unsigned char*>(bytes.data()) + at, cut - at);
        at = cut;
    }
    d.Update(reinterpret_cast<const unsigned char*>(bytes.data()) + at, bytes.size() - at);
    CString text;
    d.Finish(text);
    return text.GetString();
}

}  // namespace

TEST(StreamDigest, GivesCmd5sTextForEveryLengthAndEveryCut) {
    // Lengths around the block and padding boundaries (55, 56, 64, 119,
    // 120), cut once at every position.
    const std::string bytes = oamtest::RandomBytes(130, 4);
    for (size_t n = 0; n <= bytes.size(); ++n) {
        const std::string part = bytes.substr(0, n);
        for (size_t cut = 0; cut <= n; ++cut) {
            ASSERT_EQ(InPieces(part, {cut}), Whole(part)) << n << " cut at " << cut;
        }
    }
    EXPECT_EQ(InPieces("", {}), "d41d8cd98f00b204e9800998ecf8427e");
}

TEST(StreamDigest, GivesCmd5sTextForAnArchiveReceivedInUnevenPieces) {
    const std::string bytes = oamtest::SemiCompressible(1 << 20, 9);
    std::vector<size_t> cuts;
    // Pieces as reads return them: 60000 bytes, a few, one, then odd sizes.
    for (size_t at = 0, step = 60000; at + step < bytes.size(); at += step, step = step * 7 % 65521 + 1) {
        cuts.push_back(at + step);
    }
    ASSERT_GT(cuts.size(), 10u);
    EXPECT_EQ(InPieces(bytes, cuts), Whole(bytes));
}

TEST(StreamDigest, StartsAfreshAfterEachFinish) {
    oam::codec::StreamDigest d;
    CString first, second;
    d.Update(reinterpret_cast<const unsigned char*>("abc"), 3);
    d.Finish(first);
    d.Update(reinterpret_cast<const unsigned char*>("abc"), 3);
    d.Finish(second);
    EXPECT_EQ(std::string(first.GetString()), "900150983cd24fb0d6963f7d28e17f72");
    EXPECT_EQ(std::string(second.GetString()), std::string(first.GetString()));
}
