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
// is left behind.
#include <dirent.h>
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
#include "../support/LoopbackPeer.h"
#include "../support/FuzzCheck.h"

namespace {


const char kFileName[] = "fuzz.bin";

std::string g_dir;

void Hook(int, const char* line, void*) {
    CHECK(line != nullptr);
}

void RemoveDir() {
    if (g_dir.empty()) return;
    if (DIR* d = opendir(g_dir.c_str())) {
        while (dirent* e = readdir(d))
            if (e->d_name[0] != '.') unlink((g_dir + "/" + e->d_name).c_str());
        closedir(d);
    }
    rmdir(g_dir.c_str());
}

oamfuzz::ReplyPeer& Peer() {
    static oamfuzz::ReplyPeer* peer = [] {
        char tmpl[] = "/tmp/oamsdk-archive-fuzz-XXXXXX";
        if (!mkdtemp(tmpl)) abort();
        g_dir = tmpl;
        setenv("OAMSDK_MODULE_DIR", tmpl, 1);
        atexit(RemoveDir);
        CFunction::SetSinkHook(CFunction::SinkR, &Hook, nullptr);
        CFunction::SetSinkHook(CFunction::SinkD, &Hook, nullptr);
        return new oamfuzz::ReplyPeer;
    }();
    return *peer;
}

// Names in the module directory.
std::vector<std::string> Listing() {
    std::vector<std::string> names;
    if (DIR* d = opendir(g_dir.c_str())) {
        while (dirent* e = readdir(d))
            if (e->d_name[0] != '.') names.push_back(e->d_name);
        closedir(d);
    }
    return names;
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

    oamfuzz::ReplyPeer& peer = Peer();
    peer.Arm([&](const std::string& request) {
        std::string reply = "SESSIONID=" + oamfuzz::SessionOf(request) + ";RETURNCODE=0;FileName=" + kFileName +
                            ";FileLen=" + std::to_string(archive.size()) + ";MD5=" + announced + ";";
        if (together) return std::vector<std::string>{reply + archive};
        return std::vector<std::string>{reply, archive};
    });

    CClientSocket channel;
    if (!channel.Create(peer.port(), "127.0.0.1")) {
        fprintf(stderr, "cannot connect to the loopback peer\n");
        abort();
    }
    int ms = 5000;
    win::setsockopt(channel.GetSocket(), SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&ms), sizeof ms);
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
    std::vector<std::string> names = Listing();
    if (result == 0) {
        CHECK(names.size() == 1 && names[0] == kFileName);
        unlink((g_dir + "/" + kFileName).c_str());
    } else {
        CHECK(names.empty());
    }
    return 0;
}
