// File transfer against servers that misbehave: huge announced downloads,
// zip bombs, resets in the middle of the archive, uploads answered with
// garbage, cut off or never answered. Each ends in its documented result,
// leaves no file or temporary behind, releases what it took and leaves no
// descriptor open.
#include <stdlib.h>

#include <atomic>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ClientSocket.h"
#include "Corbex.h"
#include "FakeServer.h"
#include "ChannelFixture.h"
#include "ZipTool.h"

namespace oamtest {
namespace {

std::string Digest(const std::string& bytes) {
    CString d;
    CMD5 md5;
    md5.DigestBinary(reinterpret_cast<const unsigned char*>(bytes.data()), static_cast<unsigned>(bytes.size()), d);
    return d.str();
}

// The announcement of a download: the three pairs after the return code.
std::string Announce(int session, const std::string& length, const std::string& digest) {
    return Reply(session, 0, "FileName=f.bin;FileLen=" + length + ";MD5=" + digest + ";");
}

// Answers every further request with 0 until the client goes.
void AnswerTheRest(FakeConn& c) {
    for (std::string r; !(r = c.readRequest(10000)).empty();) c.write(Reply(SessionOf(r), 0));
}

struct BreakCounter {
    std::atomic<int> calls{0};
    static void OnBreak(LONG_PTR, LONG_PTR user) { ++reinterpret_cast<BreakCounter*>(user)->calls; }
};

class HostileFiles : public NoLeaks {
protected:
    void SetUp() override {
        NoLeaks::SetUp();
        ASSERT_TRUE(m_dir.ok());
    }
    // The old local copy that every download deletes first.
    void PlaceOldCopy() { ASSERT_TRUE(oamtest::WriteFileBytes(m_dir.file("f.bin"), "old copy")); }

    ModuleDir m_dir;
};

// ---- announced lengths --------------------------------------------------------

struct LengthCase {
    const char* name;
    const char* announced;
    int expected;
};

class AnnouncedLength : public HostileFiles, public ::testing::WithParamInterface<LengthCase> {};

// Lengths beyond what a download accepts fail before a byte is read; the
// largest accepted one is allocated, falls short and is released.
TEST_P(AnnouncedLength, RefusedOrShortNeverAFile) {
    const LengthCase& p = GetParam();
    PlaceOldCopy();
    FakeServer server([&](FakeConn& c) {
        std::string r = c.readRequest();
        if (r.empty()) return;
        c.write(Announce(SessionOf(r), p.announced, "0123456789abcdef0123456789abcdef"));
        c.writeDelayed(std::string(100, 'P'), 20);
        c.closeConn();
    });
    CClientSocket c;
    ASSERT_TRUE(Connect(c, server, 3000));
    int result = 0;
    Within(30000, [&] { result = c.ReceiveFile("1", "f.bin"); }, "ReceiveFile of a huge announcement");
    EXPECT_EQ(result, p.expected);
    EXPECT_TRUE(m_dir.list().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Lengths, AnnouncedLength,
    ::testing::Values(LengthCase{"four_GiB", "4294967296", OAM_RECVFILE_NO_BUFFER},
                      LengthCase{"four_GiB_with_trailing_text", "4294967296x", OAM_RECVFILE_NO_BUFFER},
                      LengthCase{"one_GiB_and_one", "1073741825", OAM_RECVFILE_NO_BUFFER},
                      LengthCase{"one_GiB_accepted_then_short", "1073741824", OAM_RECVFILE_BAD_LENGTH}),
    [](const ::testing::TestParamInfo<LengthCase>& i) { return std::string(i.param.name); });

// ---- zip bombs --------------------------------------------------------------------

enum class Bomb { HeaderUnderstates, HeaderClaims900MiB, Honest64MiB };

struct BombCase {
    const char* name;
    Bomb kind;
    int expected;
};

std::string MakeBomb(Bomb kind) {
    const size_t big = 64u << 20;
    if (kind == Bomb::HeaderClaims900MiB) {
        std::string a = oamtest::PythonZip({{"FILE", std::string(1000, 'z')}});
        oamtest::ZipLayout l = oamtest::FindZipLayout(a);
        oamtest::PutLE32(a, l.local + 22, 900u << 20);
        oamtest::PutLE32(a, l.central + 24, 900u << 20);
        return a;
    }
    std::string a = oamtest::PythonZip({{"FILE", std::string(big, '\0')}});
    if (kind == Bomb::HeaderUnderstates && !a.empty()) {
        // Says 1000 bytes; the data inflates to 64 MiB.
        oamtest::ZipLayout l = oamtest::FindZipLayout(a);
        oamtest::PutLE32(a, l.local + 22, 1000);
        oamtest::PutLE32(a, l.central + 24, 1000);
    }
    return a;
}

class ZipBomb : public HostileFiles, public ::testing::WithParamInterface<BombCase> {};

// The entry is never extracted past the size its header gives, a size that
// the data does not fill is a failure, and an honest archive that unpacks
// to a thousand times its size is just a large file.
TEST_P(ZipBomb, ExtractsOnlyWhatTheHeaderSaysAndOnlyWhole) {
    const BombCase& p = GetParam();
    const std::string archive = MakeBomb(p.kind);
    ASSERT_FALSE(archive.empty());
    ASSERT_LT(archive.size(), 1u << 20);
    PlaceOldCopy();
    FakeServer server([&](FakeConn& c) {
        std::string r = c.readRequest();
        if (r.empty()) return;
        c.write(Announce(SessionOf(r), std::to_string(archive.size()), Digest(archive)));
        c.writeDelayed(archive, 20);
        AnswerTheRest(c);
    });
    CClientSocket c;
    ASSERT_TRUE(Connect(c, server, 3000));
    int result = 0;
    Within(60000, [&] { result = c.ReceiveFile("1", "f.bin"); }, "ReceiveFile of a zip bomb");
    EXPECT_EQ(result, p.expected);
    if (p.expected == 0) {
        std::string got;
        ASSERT_TRUE(oamtest::ReadFileBytes(m_dir.file("f.bin"), got));
        EXPECT_EQ(got.size(), 64u << 20);
        EXPECT_EQ(got.find_first_not_of('\0'), std::string::npos);
        EXPECT_EQ(m_dir.list(), std::vector<std::string>{"f.bin"});
    } else {
        EXPECT_TRUE(m_dir.list().empty());
    }
    // The channel goes on.
    EXPECT_EQ(c.SendCommand("1", "Ping", ""), 0);
}

INSTANTIATE_TEST_SUITE_P(Bombs, ZipBomb,
                         ::testing::Values(BombCase{"header_understates", Bomb::HeaderUnderstates,
                                                    OAM_RECVFILE_BAD_ENTRY},
                                           BombCase{"header_claims_900MiB", Bomb::HeaderClaims900MiB,
                                                    OAM_RECVFILE_BAD_ENTRY},
                                           BombCase{"honest_64MiB_of_zeros", Bomb::Honest64MiB, 0}),
                         [](const ::testing::TestParamInfo<BombCase>& i) { return std::string(i.param.name); });

// ---- resets -------------------------------------------------------------------------

// Half the archive, then a reset: a short count, no file; the next command
// finds the link broken and says so once.
TEST_F(HostileFiles, ResetInsideTheArchive) {
    const std::string archive = oamtest::PythonZip({{"FILE", oamtest::SemiCompressible(200000, 5)}});
    ASSERT_FALSE(archive.empty());
    PlaceOldCopy();
    FakeServer server([&](FakeConn& c) {
        std::string r = c.readRequest();
        if (r.empty()) return;
        c.write(Announce(SessionOf(r), std::to_string(archive.size()), Digest(archive)));
        c.writeDelayed(archive.substr(0, archive.size() / 2), 20);
        c.reset();
    });
    BreakCounter breaks;
    CClientSocket c;
    c.SetWnd(nullptr, &BreakCounter::OnBreak, reinterpret_cast<LONG_PTR>(&breaks));
    ASSERT_TRUE(Connect(c, server, 3000));
    EXPECT_EQ(c.ReceiveFile("1", "f.bin"), OAM_RECVFILE_BAD_LENGTH);
    EXPECT_TRUE(m_dir.list().empty());
    ASSERT_TRUE(server.waitClosed(0));
    EXPECT_EQ(c.SendCommand("1", "Ping", ""), -1);
    EXPECT_EQ(c.SendCommand("1", "Ping", ""), -1);
    EXPECT_EQ(breaks.calls.load(), 1);
}

// ---- uploads ----------------------------------------------------------------------------

enum class UploadPeer { Garbage, ResetInThePause, NoFinalReply };

struct UploadCase {
    const char* name;
    UploadPeer peer;
    int expected;
    size_t requestsSeen;  // by the server
};

class HostileUpload : public HostileFiles, public ::testing::WithParamInterface<UploadCase> {};

// The upload's documented failures: a refused command gives 1 and sends no
// archive; a connection gone before the raw send gives -1; no final reply
// gives -1. The source file stays as it was.
TEST_P(HostileUpload, FailsWithItsResult) {
    const UploadCase& p = GetParam();
    const std::string content = oamtest::SemiCompressible(100000, 9);
    ASSERT_TRUE(oamtest::WriteFileBytes(m_dir.file("up.bin"), content));
    std::atomic<size_t> archiveBytes{0};
    FakeServer server([&](FakeConn& c) {
        std::string r = c.readRequest();
        if (r.empty()) return;
        switch (p.peer) {
        case UploadPeer::Garbage:
            c.write(std::string("\x01\x02garbage;;==", 12));
            break;
        case UploadPeer::ResetInThePause:
            c.write(Reply(SessionOf(r), 0));
            c.reset();
            return;
        case UploadPeer::NoFinalReply:
            c.write(Reply(SessionOf(r), 0));
            break;
        }
        // Whatever comes now is archive bytes; never answered.
        for (std::string more; !(more = c.readSome(3000)).empty();) archiveBytes += more.size();
    });
    CClientSocket c;
    ASSERT_TRUE(Connect(c, server, 500));
    EXPECT_EQ(c.SendFile("1", "up.bin"), p.expected);
    EXPECT_EQ(server.requests().size(), p.requestsSeen);
    if (p.peer == UploadPeer::Garbage) {
        EXPECT_EQ(archiveBytes.load(), 0u);
    }
    std::string still;
    ASSERT_TRUE(oamtest::ReadFileBytes(m_dir.file("up.bin"), still));
    EXPECT_TRUE(still == content);
    EXPECT_EQ(m_dir.list(), std::vector<std::string>{"up.bin"});
}

INSTANTIATE_TEST_SUITE_P(Peers, HostileUpload,
                         ::testing::Values(UploadCase{"garbage_answer", UploadPeer::Garbage, 1, 1},
                                           UploadCase{"reset_in_the_pause", UploadPeer::ResetInThePause, -1, 1},
                                           UploadCase{"no_final_reply", UploadPeer::NoFinalReply, -1, 1}),
                         [](const ::testing::TestParamInfo<UploadCase>& i) { return std::string(i.param.name); });

}  // namespace
}  // namespace oamtest
