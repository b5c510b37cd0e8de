// The in-memory ZIP unit: its stream under minizip, archives it builds as
// other tools read them, archives other tools build as it reads them, and
// damaged archives.

#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ZipTool.h"
#include "codec/MemoryArchive.h"

#ifdef OAM_HAVE_LIBDEFLATE
#include <libdeflate.h>
#endif

namespace oamtest {

using oam::ExtractStatus;
using oam::MemoryStream;
using oam::MemoryZipReader;
using oam::MemoryZipWriter;
using oam::ZipEntryInfo;

namespace {

std::string Contents(const MemoryStream& s) {
    return std::string(reinterpret_cast<const char*>(s.Data()), s.Size());
}

// Builds a one-entry archive "FILE" with the writer under test (level 0:
// the writer's default).
std::string Pack(const std::string& data, size_t capacity, size_t limit = 1u << 30, int level = 0) {
    MemoryZipWriter zip(limit);
    if (!zip.Create(capacity) || (level && !zip.SetLevel(level)) || !zip.AddEntry("FILE", data.data(), data.size()) ||
        !zip.Finish()) {
        return std::string();
    }
    return std::string(reinterpret_cast<const char*>(zip.Data()), zip.Size());
}

struct Extracted {
    bool opened = false;
    uint64_t entries = 0;
    ZipEntryInfo info;
    ExtractStatus status = ExtractStatus::NoEntry;
    std::string data;
};

Extracted Unpack(const std::string& archive) {
    Extracted r;
    MemoryZipReader zip;
    r.opened = zip.Open(archive.data(), archive.size());
    if (!r.opened) return r;
    r.entries = zip.EntryCount();
    if (!zip.EntryInfo(0, &r.info)) return r;
    r.data.assign(static_cast<size_t>(r.info.uncompressedSize), '\0');
    r.status = zip.Extract(0, &r.data[0], r.data.size());
    return r;
}

}  // namespace

// ---- the stream minizip writes and reads through ----------------------------

TEST(MemoryStream, OverwritesAfterSeekingBackAndGrowsPastTheEnd) {
    MemoryStream s(1 << 20);
    ASSERT_EQ(s.Write("abcdefgh", 8), 8u);
    ASSERT_TRUE(s.Seek(2, SEEK_SET));
    ASSERT_EQ(s.Write("XY", 2), 2u);  // a patched header: no growth
    EXPECT_EQ(Contents(s), "abXYefgh");
    EXPECT_EQ(s.Tell(), 4u);
    ASSERT_TRUE(s.Seek(0, SEEK_END));
    ASSERT_EQ(s.Write("ij", 2), 2u);
    ASSERT_TRUE(s.Seek(3, SEEK_END));  // past the end: the gap reads as zeros
    ASSERT_EQ(s.Write("k", 1), 1u);
    EXPECT_EQ(Contents(s), std::string("abXYefghij\0\0\0k", 14));
    EXPECT_EQ(s.Error(), 0);
}

TEST(MemoryStream, ReadsFromTheEndAndRefusesPositionsBeforeTheStart) {
    const std::string bytes = "0123456789";
    MemoryStream s(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
    char buf[8] = {};
    ASSERT_TRUE(s.Seek(-3, SEEK_END));
    EXPECT_EQ(s.Read(buf, sizeof buf), 3u);
    EXPECT_EQ(std::string(buf, 3), "789");
    EXPECT_EQ(s.Read(buf, sizeof buf), 0u);
    ASSERT_TRUE(s.Seek(-4, SEEK_CUR));
    EXPECT_EQ(s.Tell(), 6u);
    EXPECT_FALSE(s.Seek(-11, SEEK_END));
    EXPECT_NE(s.Error(), 0);
    EXPECT_EQ(s.Write("x", 1), 0u);  // a view is read-only
    EXPECT_EQ(bytes, "0123456789");
}

TEST(MemoryStream, WritesAllOrNothingWithinTheLimit) {
    MemoryStream s(10);
    ASSERT_EQ(s.Write("12345678", 8), 8u);
    EXPECT_EQ(s.Write("abc", 3), 0u);
    EXPECT_NE(s.Error(), 0);
    EXPECT_EQ(Contents(s), "12345678");
    EXPECT_LE(s.Capacity(), 10u);
    EXPECT_FALSE(s.Reserve(11));
}

// ---- archives the writer builds ----------------------------------------------

struct RoundTripCase {
    const char* label;
    std::string data;
    size_t capacity;  // reserved up front; SIZE_MAX: the writer's bound
    int level = 0;    // 0: the default
};

class ArchiveRoundTrip : public ::testing::TestWithParam<RoundTripCase> {};

TEST_P(ArchiveRoundTrip, ReadsBackWhatItPacked) {
    const RoundTripCase& c = GetParam();
    size_t bound = MemoryZipWriter::Bound(c.data.size(), 4);
    std::string archive = Pack(c.data, c.capacity == SIZE_MAX ? bound : c.capacity, 1u << 30, c.level);
    ASSERT_FALSE(archive.empty());
    EXPECT_EQ(archive.compare(0, 4, std::string("PK\3\4", 4)), 0);
    EXPECT_LE(archive.size(), bound);

    Extracted r = Unpack(archive);
    ASSERT_TRUE(r.opened);
    EXPECT_EQ(r.entries, 1u);
    EXPECT_EQ(r.info.name, "FILE");
    EXPECT_EQ(r.info.method, 8u);  // deflate
    EXPECT_FALSE(r.info.encrypted);
    EXPECT_EQ(r.status, ExtractStatus::Ok);
    EXPECT_TRUE(r.data == c.data);
}

TEST_P(ArchiveRoundTrip, PythonReadsItWithAMatchingCrc) {
    const RoundTripCase& c = GetParam();
    std::string archive = Pack(c.data, c.capacity == SIZE_MAX ? 0 : c.capacity, 1u << 30, c.level);
    ASSERT_FALSE(archive.empty());
    std::vector<ZipItem> items;
    ASSERT_TRUE(oamtest::PythonUnzip(archive, items));
    ASSERT_EQ(items.size(), 1u);
    EXPECT_EQ(items[0].name, "FILE");
    EXPECT_FALSE(items[0].stored);
    EXPECT_TRUE(items[0].data == c.data);
}

INSTANTIATE_TEST_SUITE_P(
    Contents, ArchiveRoundTrip,
    ::testing::Values(RoundTripCase{"OneByte", "x", SIZE_MAX},
                      // Small and incompressible inputs give archives longer
                      // than themselves: the area must grow past them.
                      RoundTripCase{"OneByteTinyArea", "x", 1},
                      RoundTripCase{"RandomTinyArea", oamtest::RandomBytes(70000, 7), 16},
                      RoundTripCase{"RandomAreaOfItsLength", oamtest::RandomBytes(5000, 3), 5000},
                      RoundTripCase{"Text", std::string(200000, 'a') + "tail", SIZE_MAX},
                      RoundTripCase{"Mixed", oamtest::SemiCompressible(300000, 5), SIZE_MAX},
                      RoundTripCase{"NulBytes", std::string(1000, '\0'), 0},
                      // The ends of the level range, and incompressible bytes
                      // at the slowest level in an area that must grow.
                      RoundTripCase{"MixedLevel1", oamtest::SemiCompressible(300000, 6), SIZE_MAX, 1},
                      RoundTripCase{"MixedLevel12", oamtest::SemiCompressible(300000, 6), SIZE_MAX, 12},
                      RoundTripCase{"RandomLevel12TinyArea", oamtest::RandomBytes(70000, 8), 16, 12}),
    [](const ::testing::TestParamInfo<RoundTripCase>& i) { return std::string(i.param.label); });

TEST(ArchiveWriter, FailsCleanlyWhenTheArchiveWouldPassItsLimit) {
    std::string data = oamtest::RandomBytes(4096, 9);
    MemoryZipWriter zip(2048);
    ASSERT_TRUE(zip.Create(0));
    bool added = zip.AddEntry("FILE", data.data(), data.size());
    bool finished = zip.Finish();
    EXPECT_FALSE(added && finished);
    EXPECT_EQ(zip.Data(), nullptr);
    EXPECT_EQ(zip.Size(), 0u);
}

TEST(ArchiveWriter, TakesLevelsOneToTwelveOnly) {
    std::string data = oamtest::SemiCompressible(50000, 3);
    MemoryZipWriter zip(1u << 20);
    ASSERT_TRUE(zip.Create(0));
    for (int bad : {0, -1, 13, 100}) EXPECT_FALSE(zip.SetLevel(bad)) << bad;
    ASSERT_TRUE(zip.AddEntry("FILE", data.data(), data.size()));
    ASSERT_TRUE(zip.Finish());
    // The refused levels changed nothing: the default's bytes.
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(zip.Data()), zip.Size()), Pack(data, 0));
    EXPECT_NE(Pack(data, 0, 1u << 30, 1), Pack(data, 0));
    EXPECT_EQ(Pack(data, 0, 1u << 30, MemoryZipWriter::kDefaultLevel), Pack(data, 0));
}

#ifdef OAM_HAVE_LIBDEFLATE
// The entry's data is libdeflate's deflate of the file at the chosen level,
// byte for byte, under headers that give its true CRC and sizes.
TEST(ArchiveWriter, EntryIsLibdeflatesStreamAtTheChosenLevel) {
    std::string data = oamtest::SemiCompressible(200000, 12);
    for (int level : {1, 6, 9, 12}) {
        SCOPED_TRACE(level);
        std::string archive = Pack(data, 0, 1u << 30, level);
        oamtest::ZipLayout l = oamtest::FindZipLayout(archive);
        ASSERT_NE(l.dataStart, std::string::npos);
        libdeflate_compressor* c = libdeflate_alloc_compressor(level);
        ASSERT_NE(c, nullptr);
        std::string own(libdeflate_deflate_compress_bound(c, data.size()), '\0');
        own.resize(libdeflate_deflate_compress(c, data.data(), data.size(), &own[0], own.size()));
        libdeflate_free_compressor(c);
        ASSERT_FALSE(own.empty());
        EXPECT_EQ(oamtest::GetLE32(archive, l.central + 20), own.size());
        EXPECT_EQ(oamtest::GetLE32(archive, l.central + 24), data.size());
        EXPECT_EQ(oamtest::GetLE32(archive, l.central + 16), libdeflate_crc32(0, data.data(), data.size()));
        EXPECT_EQ(oamtest::GetLE32(archive, l.local + 14), oamtest::GetLE32(archive, l.central + 16));
        EXPECT_TRUE(archive.compare(l.dataStart, own.size(), own) == 0);
        EXPECT_EQ(archive.compare(l.dataStart + own.size(), 4, std::string("PK\1\2", 4)), 0);
    }
}
#endif

TEST(ArchiveWriter, SameInputGivesTheSameBytes) {
    std::string data = oamtest::SemiCompressible(10000, 2);
    EXPECT_EQ(Pack(data, 0), Pack(data, MemoryZipWriter::Bound(data.size(), 4)));
}

// ---- archives other tools build ----------------------------------------------

TEST(ArchiveReader, ReadsEntryZeroOfArchivesFromOtherTools) {
    std::string big = oamtest::SemiCompressible(100000, 11);
    struct Case {
        const char* label;
        std::string archive;
        std::string name;
        std::string data;
        uint64_t entries;
    } cases[] = {
        {"python deflate, another name", oamtest::PythonZip({{"cfg.ini", big, false}}), "cfg.ini", big, 1},
        {"python stored", oamtest::PythonZip({{"a.bin", "stored bytes", true}}), "a.bin", "stored bytes", 1},
        {"python two entries", oamtest::PythonZip({{"first", "one", false}, {"second", big, false}}), "first", "one", 2},
        {"python empty entry", oamtest::PythonZip({{"empty", "", false}}), "empty", "", 1},
        {"python zip64", oamtest::PythonZip({{"z64", big, false}}, true), "z64", big, 1},
        {"zip command", oamtest::ZipCommand("tool.txt", big), "tool.txt", big, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        ASSERT_FALSE(c.archive.empty());
        Extracted r = Unpack(c.archive);
        ASSERT_TRUE(r.opened);
        EXPECT_EQ(r.entries, c.entries);
        EXPECT_EQ(r.info.name, c.name);
        EXPECT_EQ(r.info.uncompressedSize, c.data.size());
        EXPECT_EQ(r.status, ExtractStatus::Ok);
        EXPECT_TRUE(r.data == c.data);
    }
}

TEST(ArchiveReader, HasNoEntryZeroInAnArchiveWithoutEntries) {
    std::string archive = oamtest::PythonZip({});
    ASSERT_EQ(archive.size(), 22u);  // the end record alone
    MemoryZipReader zip;
    if (!zip.Open(archive.data(), archive.size())) return;  // refused outright: as good
    ZipEntryInfo info;
    info.name = "untouched";
    EXPECT_FALSE(zip.EntryInfo(0, &info));
    EXPECT_EQ(info.name, "untouched");
    char b;
    EXPECT_EQ(zip.Extract(0, &b, 0), ExtractStatus::NoEntry);
}

// ---- damaged archives ---------------------------------------------------------

TEST(ArchiveReader, RefusesBytesThatAreNoArchive) {
    const std::string inputs[] = {std::string(), "PK", "not an archive at all", std::string(100, '\0'),
                                  std::string("PK\5\6", 4) + std::string(10, '\xff')};
    for (const std::string& in : inputs) {
        MemoryZipReader zip;
        EXPECT_FALSE(zip.Open(in.data(), in.size())) << in.size();
    }
}

TEST(ArchiveReader, NoCutShortArchiveExtractsWrongOrPartData) {
    std::string data = oamtest::SemiCompressible(3000, 4);
    std::string archive = Pack(data, 0);
    oamtest::ZipLayout l = oamtest::FindZipLayout(archive);
    ASSERT_NE(l.end, std::string::npos);
    for (size_t n = 0; n < archive.size(); ++n) {
        Extracted r = Unpack(archive.substr(0, n));
        bool ok = r.opened && r.status == ExtractStatus::Ok;
        // minizip overlooks the last bytes of the end record (directory
        // offset's high byte, comment length); everything before them counts.
        if (n < l.end + 18) {
            EXPECT_FALSE(ok) << "prefix " << n;
        }
        if (ok) {
            EXPECT_TRUE(r.data == data) << "prefix " << n;
        }
    }
}

TEST(ArchiveReader, DetectsDamageInsideTheEntry) {
    std::string data = oamtest::SemiCompressible(20000, 8);
    std::string good = Pack(data, 0);
    oamtest::ZipLayout l = oamtest::FindZipLayout(good);
    ASSERT_NE(l.central, std::string::npos);
    ASSERT_NE(l.dataStart, std::string::npos);
    uint32_t crc = oamtest::GetLE32(good, l.central + 16);

    struct Case {
        const char* label;
        std::string archive;
        std::vector<ExtractStatus> expected;
    };
    std::vector<Case> cases;

    // Both headers agree on a wrong CRC: the data inflates, the check fails.
    std::string badCrc = good;
    oamtest::PutLE32(badCrc, l.local + 14, crc ^ 1);
    oamtest::PutLE32(badCrc, l.central + 16, crc ^ 1);
    cases.push_back({"crc", badCrc, {ExtractStatus::CrcError}});

    // Flipped compressed bytes: a data error or a CRC mismatch, never Ok.
    std::string flipped = good;
    for (size_t i = l.dataStart + 10; i < l.dataStart + 40; ++i) flipped[i] = static_cast<char>(flipped[i] ^ 0x5A);
    cases.push_back({"flipped", flipped, {ExtractStatus::DataError, ExtractStatus::CrcError}});

    // Headers that understate the size, as a bomb would: the extra output
    // is never written and the entry fails.
    std::string smaller = good;
    oamtest::PutLE32(smaller, l.local + 22, 100);
    oamtest::PutLE32(smaller, l.central + 24, 100);
    cases.push_back({"understated size", smaller, {ExtractStatus::CrcError, ExtractStatus::Short}});

    // Headers that overstate it: the data ends early.
    std::string larger = good;
    oamtest::PutLE32(larger, l.local + 22, 30000);
    oamtest::PutLE32(larger, l.central + 24, 30000);
    cases.push_back({"overstated size", larger, {ExtractStatus::Short, ExtractStatus::DataError}});

    // Compressed sizes that cut the stream short, or reach past the
    // archive's end: never Ok.
    std::string cut = good;
    uint32_t packed = oamtest::GetLE32(good, l.central + 20);
    oamtest::PutLE32(cut, l.local + 18, packed / 2);
    oamtest::PutLE32(cut, l.central + 20, packed / 2);
    cases.push_back({"understated compressed size", cut, {ExtractStatus::Short, ExtractStatus::DataError}});
    std::string past = good;
    oamtest::PutLE32(past, l.local + 18, packed + 100000);
    oamtest::PutLE32(past, l.central + 20, packed + 100000);
    cases.push_back({"compressed size past the end", past, {ExtractStatus::DataError}});

    // Local and central headers disagree on the CRC.
    std::string mismatch = good;
    oamtest::PutLE32(mismatch, l.central + 16, crc ^ 1);
    cases.push_back({"header mismatch", mismatch, {ExtractStatus::NoEntry}});

    // An encrypted entry cannot be read without its password.
    std::string encrypted = good;
    encrypted[l.local + 6] = static_cast<char>(encrypted[l.local + 6] | 1);
    encrypted[l.central + 8] = static_cast<char>(encrypted[l.central + 8] | 1);
    cases.push_back({"encrypted", encrypted, {ExtractStatus::NoEntry}});

    // A method minizip cannot unpack (bzip2): never handed out raw.
    std::string method = good;
    oamtest::PutLE16(method, l.local + 8, 12);
    oamtest::PutLE16(method, l.central + 10, 12);
    cases.push_back({"method", method, {ExtractStatus::NoEntry}});

    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        Extracted r = Unpack(c.archive);
        ASSERT_TRUE(r.opened);
        EXPECT_NE(std::find(c.expected.begin(), c.expected.end(), r.status), c.expected.end())
            << static_cast<int>(r.status);
    }
}

TEST(ArchiveReader, ReportsAnAnnouncedSizeLargerThanAnyBufferWithoutReading) {
    // A bomb's header: 4 GiB - 1 bytes from a few hundred. The size is
    // reported so that the caller can refuse it before allocating anything.
    std::string archive = Pack(oamtest::SemiCompressible(500, 1), 0);
    oamtest::ZipLayout l = oamtest::FindZipLayout(archive);
    oamtest::PutLE32(archive, l.local + 22, 0xFFFFFFFEu);
    oamtest::PutLE32(archive, l.central + 24, 0xFFFFFFFEu);
    MemoryZipReader zip;
    ASSERT_TRUE(zip.Open(archive.data(), archive.size()));
    ZipEntryInfo info;
    ASSERT_TRUE(zip.EntryInfo(0, &info));
    EXPECT_EQ(info.uncompressedSize, 0xFFFFFFFEu);
    // Offered a buffer of the true size, the entry does not pass either.
    std::string out(500, '\0');
    EXPECT_NE(zip.Extract(0, &out[0], out.size()), ExtractStatus::Ok);
}

}  // namespace oamtest
