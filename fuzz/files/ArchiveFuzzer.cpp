// Download of arbitrary archive bytes: each input (after its first byte) is
// the archive a loopback server announces, with its true length and digest,
// in answer to ReceiveFile of a real CClientSocket. So every input passes
// the count and digest checks and reaches the unpacking. The first byte:
//   bit 0  the reply and the archive in one write (else two)
//   bit 1  the digest announced in capitals
//
// Besides sanitizer findings, the target checks what must hold for any
// archive: the result is 0 or one of the data phase's failure codes, the
// requested file exists exactly when the result is 0, and no temporary file
// is left behind. A deflated entry is inflated from its raw bytes (minizip's
// raw mode, then libdeflate): whenever minizip's own inflate also reads
// entry 0 whole, both give the same bytes.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <string>
#include <vector>

#include "ClientSocket.h"
#include "Corbex.h"
#include "oam_win.h"
#include "ChannelLink.h"
#include "FuzzCheck.h"
#include "LogCapture.h"
#include "ReplyPeer.h"
#include "TempDir.h"
#include "ZipTool.h"
#include "codec/MemoryArchive.h"

namespace {


const char kFileName[] = "fuzz.bin";

// The module directory, where downloads go; removed at exit.
const oamtest::ModuleDir& Dir() {
    static const oamtest::ModuleDir dir("oamsdk-archive-fuzz");
    if (!dir.ok()) abort();
    return dir;
}

oamtest::ReplyPeer& Peer() {
    static oamtest::ReplyPeer* peer = [] {
        Dir();
        new oamtest::LogCapture(oamtest::LogCapture::CountOnly);
        return new oamtest::ReplyPeer;
    }();
    return *peer;
}

// Entry 0 as minizip's own inflate reads it (no raw mode); false unless
// it comes out whole with its CRC.
bool MinizipEntry(const std::string& archive, std::string& out) {
    oam::MemoryStream stream(reinterpret_cast<const unsigned char*>(archive.data()), archive.size());
    zlib_filefunc64_def funcs;
    stream.FillFileFuncs(&funcs);
    unzFile unz = unzOpen2_64("", &funcs);
    if (!unz) return false;
    unz_file_info64 fi;
    bool ok = unzGoToFirstFile(unz) == UNZ_OK &&
              unzGetCurrentFileInfo64(unz, &fi, nullptr, 0, nullptr, 0, nullptr, 0) == UNZ_OK &&
              fi.uncompressed_size < (1u << 24) && unzOpenCurrentFile(unz) == UNZ_OK;
    if (ok) {
        out.assign(static_cast<size_t>(fi.uncompressed_size), '\0');
        int n = out.empty() ? 0 : unzReadCurrentFile(unz, &out[0], static_cast<unsigned>(out.size()));
        char extra;
        ok = n == static_cast<int>(out.size()) && unzReadCurrentFile(unz, &extra, 1) == 0;
        ok = unzCloseCurrentFile(unz) == UNZ_OK && ok;
    }
    unzClose(unz);
    return ok;
}

bool KnownResult(int r) {
    return r == 0 || (r >= OAM_RECVFILE_NO_BUFFER && r <= OAM_RECVFILE_RENAME_FAILED);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const bool together = data[0] & 1;
    const bool capitals = data[0] & 2;
    const std::string archive(reinterpret_cast<const char*>(data + 1), size - 1);

    CString digest;
    CMD5 md5;
    md5.DigestBinary(reinterpret_cast<const unsigned char*>(archive.data()), static_cast<unsigned>(archive.size()),
                     digest);
    std::string announced = digest.str();
    if (capitals)
        for (char& ch : announced) ch = static_cast<char>(toupper(static_cast<unsigned char>(ch)));

    oamtest::ReplyPeer& peer = Peer();
    peer.Arm([&](const std::string& request) {
        std::string reply = oamtest::Reply(oamtest::SessionText(request), 0,
                                           std::string("FileName=") + kFileName + ";FileLen=" +
                                               std::to_string(archive.size()) + ";MD5=" + announced + ";");
        if (together) return std::vector<std::string>{reply + archive};
        return std::vector<std::string>{reply, archive};
    });

    CClientSocket channel;
    // Generous, only a guard: the peer always ends the stream.
    if (!oamtest::ConnectChannel(channel, peer.port(), 5000)) {
        fprintf(stderr, "cannot connect to the loopback peer\n");
        abort();
    }
    int result = channel.ReceiveFile("7", kFileName);
    channel.Close();
    if (!peer.WaitServed()) {
        fprintf(stderr, "the loopback peer did not finish\n");
        abort();
    }

    if (!KnownResult(result)) {
        fprintf(stderr, "unexpected result %d\n", result);
        abort();
    }
    // The bytes were all sent whole with their true digest: the data phase
    // can only fail at unpacking (or writing). Except that bytes arriving in
    // the reply's own read are kept only when they look like an archive
    // ("PK"); others are lost there and the count falls short.
    const bool looksLikeArchive = archive.compare(0, 2, "PK") == 0 || archive == "P";
    if (archive.empty()) CHECK(result == 0);
    if (result == OAM_RECVFILE_BAD_LENGTH) CHECK(!looksLikeArchive && !archive.empty());
    else CHECK(result == 0 || result >= OAM_RECVFILE_BAD_ARCHIVE);
    std::vector<std::string> names = Dir().list();
    if (result == 0) {
        CHECK(names.size() == 1 && names[0] == kFileName);
        std::string written, theirs;
        if (MinizipEntry(archive, theirs)) {
            CHECK(oamtest::ReadFileBytes(Dir().file(kFileName), written));
            CHECK(written == theirs);
        }
        unlink(Dir().file(kFileName).c_str());
    } else {
        CHECK(names.empty());
    }
    return 0;
}
