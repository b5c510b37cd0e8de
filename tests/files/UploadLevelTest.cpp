// The upload's deflate level, a per-channel setting (6 unless chosen): the
// archive the server gets is packed at the chosen level and reads back as
// the file with other tools; a level outside 1-12 changes nothing.

#include <stdlib.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ClientSocket.h"
#include "FakeServer.h"
#include "TempDir.h"
#include "ZipTool.h"

#ifdef OAM_HAVE_LIBDEFLATE
#include <libdeflate.h>
#endif

namespace oamtest {
namespace {

const std::string kContent = SemiCompressible(120000, 31);

// Uploads up.bin once and gives the archive the server received.
std::string UploadArchive(CClientSocket& sock) {
    std::string archive;
    FakeServer server([&archive](FakeConn& c) {
        std::string request = c.readRequest(10000);
        c.write(Reply(SessionText(request), 0));
        size_t len = strtoul(PairsOf(request)["FILELEN"].c_str(), nullptr, 10);
        if (c.readExactly(len, archive, 10000)) c.write(Reply(SessionText(request), 0));
        for (std::string r; !(r = c.readRequest(5000)).empty();) c.write(Reply(SessionText(r), 0));
    });
    if (!server.ok() || sock.Create(server.port(), "127.0.0.1") != 1) return std::string();
    int rc = sock.SendFile("2", "up.bin");
    sock.Close();
    return rc == 0 ? archive : std::string();
}

// The entry's deflated bytes (entry 0 of a one-entry archive).
std::string EntryData(const std::string& archive) {
    ZipLayout l = FindZipLayout(archive);
    if (l.dataStart == std::string::npos) return std::string();
    return archive.substr(l.dataStart, GetLE32(archive, l.central + 20));
}

#ifdef OAM_HAVE_LIBDEFLATE
std::string OwnDeflate(const std::string& data, int level) {
    libdeflate_compressor* c = libdeflate_alloc_compressor(level);
    std::string out(libdeflate_deflate_compress_bound(c, data.size()), '\0');
    out.resize(libdeflate_deflate_compress(c, data.data(), data.size(), &out[0], out.size()));
    libdeflate_free_compressor(c);
    return out;
}
#endif

}  // namespace

// Uploads at the level set last (bad values between them change nothing),
// checked as other tools read the archive and against libdeflate's own
// stream at that level.
TEST(UploadLevel, PacksAtTheChannelsLevelAndRefusesLevelsOutsideTheRange) {
    ModuleDir dir("oamsdk-upload-level");
    ASSERT_TRUE(dir.ok());
    ASSERT_TRUE(WriteFileBytes(dir.file("up.bin"), kContent));
    CClientSocket sock;
    std::vector<std::string> entries;
    for (int level : {6, 1, 12}) {
        SCOPED_TRACE(level);
        if (level != 6) {
            EXPECT_EQ(sock.SetUploadLevel(level), OAM_OPTION_OK);
        }
        for (int bad : {0, -1, 13}) EXPECT_EQ(sock.SetUploadLevel(bad), OAM_OPTION_BAD_VALUE);
        std::string archive = UploadArchive(sock);
        ASSERT_FALSE(archive.empty());
        std::vector<ZipItem> items;
        ASSERT_TRUE(PythonUnzip(archive, items));
        ASSERT_EQ(items.size(), 1u);
        EXPECT_FALSE(items[0].stored);
        EXPECT_TRUE(items[0].data == kContent);
        entries.push_back(EntryData(archive));
#ifdef OAM_HAVE_LIBDEFLATE
        EXPECT_TRUE(entries.back() == OwnDeflate(kContent, level));
#endif
    }
    ASSERT_EQ(entries.size(), 3u);
    // The fast level packs less tightly than the default, the slowest more.
    EXPECT_GT(entries[1].size(), entries[0].size());
    EXPECT_LT(entries[2].size(), entries[0].size());
}

}  // namespace oamtest
