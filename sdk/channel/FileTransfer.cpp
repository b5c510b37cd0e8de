// File transfer on the command channel: a file travels as the single entry
// of a ZIP archive built in memory, announced by its length and MD5 digest
// and sent as raw bytes right after the command exchange.

#include <limits.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <atomic>
#include <memory>

#include "ClientSocket.h"
#include "Corbex.h"
#include "OamCommand.h"
#include "OamSession.h"
#include "channel/ChannelInternal.h"
#include "channel/ChannelOptions.h"
#include "codec/MemoryArchive.h"
#include "channel/TransferProgress.h"
#include "codec/Reply.h"
#include "codec/StreamDigest.h"

using oam::channel::LockGuard;
using oam::channel::SetResultOrigin;

namespace {

// Largest archive or file a download accepts: a hostile length must not be
// able to take the host's memory.
const uint64_t kMaxDownload = 1u << 30;

// One send call carries the whole archive, and send counts in int.
const size_t kMaxUpload = INT_MAX;

struct FreeBytes {
    void operator()(unsigned char* p) const { free(p); }
};
typedef std::unique_ptr<unsigned char, FreeBytes> Bytes;

// Null when the memory cannot be had; never throws. A zero length still
// gives a valid pointer, so that empty data has an address.
Bytes Allocate(uint64_t length) {
    if (length > SIZE_MAX) return Bytes();
    return Bytes(static_cast<unsigned char*>(malloc(length ? static_cast<size_t>(length) : 1)));
}

class FileHandle {
public:
    explicit FileHandle(HANDLE h) : m_h(h) {}
    ~FileHandle() { Close(); }
    FileHandle(const FileHandle&) = delete;
    FileHandle& operator=(const FileHandle&) = delete;
    bool IsOpen() const { return m_h != INVALID_HANDLE_VALUE; }
    HANDLE Get() const { return m_h; }
    bool Close() {
        if (!IsOpen()) return true;
        BOOL ok = CloseHandle(m_h);
        m_h = INVALID_HANDLE_VALUE;
        return ok != FALSE;
    }

private:
    HANDLE m_h;
};

// A short name in the final file's directory, for writing the download
// before it is moved into place. Its length does not depend on the final
// name's, so that a name of the longest length a directory takes still
// downloads.
FileHandle CreateTempBeside(const CString& path, CString& tempPath) {
    static std::atomic<unsigned> counter{0};
    const int slash = std::max(path.ReverseFind('/'), path.ReverseFind('\\'));
    const CString dir = slash >= 0 ? path.Left(slash + 1) : CString();
    for (int attempt = 0; attempt < 32; ++attempt) {
        tempPath.Format("%s.~oam%08x", dir.GetString(), counter.fetch_add(1) * 2654435761u);
        HANDLE h = CreateFileA(tempPath, GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h != INVALID_HANDLE_VALUE) return FileHandle(h);
        DWORD err = GetLastError();
        if (err != ERROR_FILE_EXISTS && err != ERROR_ALREADY_EXISTS) break;
    }
    return FileHandle(INVALID_HANDLE_VALUE);
}

// With a progress hook, archives are packed and sent in pieces of this
// size, so that the hook sees them move and can stop them.
const size_t kProgressPiece = 64 * 1024;

bool PackStep(void* context, size_t done) {
    return static_cast<oam::channel::TransferProgress*>(context)->Step(done);
}

// At the channel's chosen level (6 unless set).
bool AddFileEntry(const CClientSocket* channel, oam::MemoryZipWriter& zip, const unsigned char* data, size_t length,
                  oam::channel::TransferProgress& progress) {
    oam::channel::ChannelOptions o;
    oam::channel::GetOptions(channel, &o);
    if (!zip.SetLevel(o.uploadLevel)) return false;
    if (!progress.Active()) return zip.AddEntry("FILE", data, length);
    return zip.AddEntry("FILE", data, length, kProgressPiece, &PackStep, &progress);
}


// The file to upload, whole; false (logged where the cause is worth a
// line) when it cannot be had.
bool ReadWholeFile(const CString& path, Bytes& content, DWORD& length) {
    FileHandle file(CreateFileA(path, GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.IsOpen()) {
        CFunction::RLog("File Open Error:%s", path.GetString());
        return false;
    }
    // A file of 4 GiB or more has no 32-bit length: refused like one whose
    // buffer cannot be had, rather than sent cut short.
    DWORD high = 0;
    length = GetFileSize(file.Get(), &high);
    if (high != 0 || length == INVALID_FILE_SIZE) return false;
    // The archive's length travels as a long (32 bits on Windows) and in one
    // send: a file whose archive may not fit is refused before it is read.
    if (oam::MemoryZipWriter::Bound(length, 4) > kMaxUpload) {
        CFunction::RLog("File Too Large Error:%s", path.GetString());
        return false;
    }
    content = Allocate(length);
    if (!content) return false;
    DWORD got = 0;
    if (!ReadFile(file.Get(), content.get(), length, &got, nullptr) || got != length) {
        CFunction::RLog("Read File Error:%d", static_cast<int>(length));
        return false;
    }
    return true;
}

// The data phase of a download, in three steps: read the archive, unpack
// its entry, write the file. Each gives 0, OAM_TRANSFER_CANCELLED when the
// host's hook asked to stop (the caller logs it and knows what the channel
// is left in), or an OamReceiveFileResult it has logged.

// Reads the announced archive from the channel's socket through its
// receive buffer, whose first pending bytes are the archive's head that
// the reply's read already took. The first piece is taken before any
// comparison, so even a length of 0 waits for one read. Once the count
// passes the length it can never match again: stop there rather than read
// whatever the server sends. Each piece joins the digest as it is copied,
// while it is still in the cache, rather than in a pass of its own.
int ReadArchive(SOCKET s, char* recvBuf, int recvBufSize, int32_t& recvLen, int pending, unsigned char* archive,
                unsigned int length, oam::codec::StreamDigest& digest, oam::channel::TransferProgress& progress) {
    uint64_t count = 0;
    for (;;) {
        int n;
        if (pending > 0) {
            n = pending;
            pending = 0;
        } else {
            n = win::recv(s, recvBuf, recvBufSize, 0);
            recvLen = n;
        }
        if (n <= 0) break;
        if (count + static_cast<uint64_t>(n) > length) {
            count += static_cast<uint64_t>(n);
            break;
        }
        memcpy(archive + count, recvBuf, static_cast<size_t>(n));
        digest.Update(reinterpret_cast<const unsigned char*>(recvBuf), static_cast<size_t>(n));
        count += static_cast<uint64_t>(n);
        if (count == length) break;
        if (progress.Step(count)) return OAM_TRANSFER_CANCELLED;
    }
    if (count != length) {
        CFunction::RLog("Receive File Length Error:%llu,%u", static_cast<unsigned long long>(count), length);
        return OAM_RECVFILE_BAD_LENGTH;
    }
    if (progress.End()) return OAM_TRANSFER_CANCELLED;
    return 0;
}

// No bytes at all (with the digest of no bytes) is how an empty file
// travels; anything else must be an archive whose entry 0 comes out whole.
// Begins the unpacking phase, which ends once the file is written.
int UnpackEntry(const unsigned char* archive, unsigned int length, const CString& fileName,
                oam::channel::TransferProgress& progress, Bytes& entry, size_t& entryLen) {
    entryLen = 0;
    if (length == 0) {
        if (progress.Begin(OAM_PHASE_UNPACKING, 0)) return OAM_TRANSFER_CANCELLED;
        entry = Allocate(0);
    } else {
        oam::MemoryZipReader zip;
        oam::ZipEntryInfo info;
        if (!zip.Open(archive, length) || !zip.EntryInfo(0, &info)) {
            CFunction::RLog("Receive File Unpack Error:%s", fileName.GetString());
            return OAM_RECVFILE_BAD_ARCHIVE;
        }
        // A directory entry (its name ends in "/") extracts as nothing at
        // all: it is not the file that was asked for.
        if (!info.name.empty() && info.name.back() == '/') {
            CFunction::RLog("Receive File Unpack Error:%s,entry 0 is a directory", fileName.GetString());
            return OAM_RECVFILE_BAD_ARCHIVE;
        }
        if (info.uncompressedSize <= kMaxDownload) entry = Allocate(info.uncompressedSize);
        if (!entry) {
            CFunction::RLog("Receive File Entry Size Error:%llu",
                            static_cast<unsigned long long>(info.uncompressedSize));
            return OAM_RECVFILE_ENTRY_TOO_LARGE;
        }
        entryLen = static_cast<size_t>(info.uncompressedSize);
        if (progress.Begin(OAM_PHASE_UNPACKING, entryLen)) return OAM_TRANSFER_CANCELLED;
        oam::ExtractStatus status = zip.Extract(0, entry.get(), entryLen);
        if (status != oam::ExtractStatus::Ok) {
            CFunction::RLog("Receive File Extract Error:%s,%d", fileName.GetString(), static_cast<int>(status));
            return OAM_RECVFILE_BAD_ENTRY;
        }
    }
    if (!entry) {
        CFunction::RLog("Receive File Entry Size Error:%llu", 0ull);
        return OAM_RECVFILE_ENTRY_TOO_LARGE;
    }
    return 0;
}

// Written under a temporary name beside the file and moved into place, so
// that no half-written file ever bears the requested name.
int WriteBesideAndRename(const CString& fileName, const unsigned char* data, size_t length,
                         oam::channel::TransferProgress& progress) {
    CString path, tempPath;
    path.Format("%s/%s", CFunction::GetCurrentModuleDir().GetString(), fileName.GetString());
    FileHandle out = CreateTempBeside(path, tempPath);
    if (!out.IsOpen()) {
        CFunction::RLog("Receive File Create Error:%s", path.GetString());
        return OAM_RECVFILE_CREATE_FAILED;
    }
    DWORD written = 0;
    bool ok = length == 0 ||
              (WriteFile(out.Get(), data, static_cast<DWORD>(length), &written, nullptr) && written == length);
    ok = out.Close() && ok;
    if (!ok) {
        DeleteFileA(tempPath);
        CFunction::RLog("Receive File Write Error:%s", path.GetString());
        return OAM_RECVFILE_WRITE_FAILED;
    }
    if (progress.End()) {
        DeleteFileA(tempPath);
        return OAM_TRANSFER_CANCELLED;
    }
    if (!MoveFileExA(tempPath, path, MOVEFILE_REPLACE_EXISTING)) {
        DeleteFileA(tempPath);
        CFunction::RLog("Receive File Rename Error:%s", path.GetString());
        return OAM_RECVFILE_RENAME_FAILED;
    }
    return 0;
}

}  // namespace

int CClientSocket::SendFile(const char* station, const char* fileName) {
    LockGuard lock(&m_csLock);
    // Until the exchange: whatever fails is local.
    SetResultOrigin(OAM_ORIGIN_LIBRARY);
    CString name(fileName);
    CString path;
    path.Format("%s\\%s", CFunction::GetCurrentModuleDir().GetString(), name.GetString());

    Bytes content;
    DWORD length = 0;
    if (!ReadWholeFile(path, content, length)) return 1;

    // The archive area is sized for the worst case (and may grow), so that
    // small and incompressible files pack too. An empty file travels as no
    // archive at all.
    oam::channel::TransferProgress progress(this);
    // Cancelled before anything went out: the channel is as it was.
    auto cancelledLocally = [&] {
        CFunction::RLog("Send File Cancelled:%s", path.GetString());
        return OAM_TRANSFER_CANCELLED;
    };
    if (progress.Begin(OAM_PHASE_PACKING, length)) return cancelledLocally();
    oam::MemoryZipWriter zip(kMaxUpload);
    const unsigned char* archive = content.get();
    size_t archiveLen = 0;
    if (length > 0) {
        if (!zip.Create(oam::MemoryZipWriter::Bound(length, 4)) || !AddFileEntry(this, zip, content.get(), length, progress) ||
            !zip.Finish()) {
            if (progress.Cancelled()) return cancelledLocally();
            CFunction::RLog("Pack File Error:%s", path.GetString());
            return 1;
        }
        content.reset();
        archive = zip.Data();
        archiveLen = zip.Size();
    }

    if (progress.End()) return cancelledLocally();

    CString digest;
    CMD5 md5;
    md5.DigestBinary(archive, static_cast<unsigned int>(archiveLen), digest);
    CString params;
    params.Format("FILENAME=%s;FILELEN=%ld;MD5=%s;", name.GetString(), static_cast<long>(archiveLen),
                  digest.GetString());

    CString reply;
    if (SendCommandEx(station, "FileSet", params, reply) != 0) {
        // Another command's go-ahead is none: a session's channel says so.
        if (oam::channel::RefusedForeignReply(this)) return OAM_SESSION_DESYNCHRONISED;
        CFunction::RLog("Send File Command Timeout");
        return 1;  // the origin of the exchange's failure stands
    }
    // The server needs the pause to get ready for the raw bytes. A session
    // closing the channel cuts it short.
    oam::channel::PauseBeforeArchive(this, 1000);
    // A connection lost under the archive is a link break like one under a
    // command's request.
    auto ArchiveSendFailed = [this]() {
        const DWORD code = GetLastError();
        CFunction::RLog("Send File ROI Error:%s", CFunction::GetLastErrorString().GetString());
        if (oam::channel::IsLinkBreakError(code)) NotifyLinkBreak("CClientSocket::SendFile", false);
        SetResultOrigin(OAM_ORIGIN_LIBRARY);
        return -1;
    };
    if (!progress.Active()) {
        if (win::send(m_hSocket, reinterpret_cast<const char*>(archive), static_cast<int>(archiveLen), 0) ==
            SOCKET_ERROR) {
            return ArchiveSendFailed();
        }
        return ReceiveReturnMsg(reply);
    }

    // In pieces, for the hook. The server is waiting for the announced
    // bytes, so a cancel from here on can only end the connection; and once
    // the last byte is out the server has the file: the final report (done
    // == total, also the start of an empty archive) can no longer cancel.
    bool cancelled = progress.Begin(OAM_PHASE_SENDING, archiveLen) && archiveLen > 0;
    size_t sent = 0;
    while (!cancelled && sent < archiveLen) {
        size_t piece = archiveLen - sent < kProgressPiece ? archiveLen - sent : kProgressPiece;
        int n = win::send(m_hSocket, reinterpret_cast<const char*>(archive + sent), static_cast<int>(piece), 0);
        if (n == SOCKET_ERROR || n <= 0) return ArchiveSendFailed();
        sent += static_cast<size_t>(n);
        if (sent < archiveLen) cancelled = progress.Step(sent);
    }
    if (cancelled) {
        CFunction::RLog("Send File Cancelled:%s", path.GetString());
        NotifyLinkBreak("CClientSocket::SendFile", false);
        Close();
        SetResultOrigin(OAM_ORIGIN_LIBRARY);
        return OAM_TRANSFER_CANCELLED;
    }
    progress.End();  // too late to cancel
    return ReceiveReturnMsg(reply);
}

int CClientSocket::ReceiveFile(const char* station, const char* fileName) {
    CString name(fileName);
    CString path;
    path.Format("%s/%s", CFunction::GetCurrentModuleDir().GetString(), name.GetString());
    DeleteFileA(path);

    // Held across the data phase too: the archive arrives on the channel's
    // socket and in its receive buffer, where another command would eat it.
    LockGuard lock(&m_csLock);
    CString params;
    params.Format("FileName=%s;", name.GetString());
    CString reply;
    int rc = SendCommand(station, "FileGet", params, reply);
    if (rc == 1 || rc == 7) return rc;
    if (oam::channel::RefusedForeignReply(this)) return OAM_SESSION_DESYNCHRONISED;

    // Three pairs (the name, the length, the digest), read where the reply
    // lies in the receive buffer, so that their end is known.
    const oam::channel::ExchangeState& ex = oam::channel::StateOf(this);
    oam::codec::Span rest(m_RecvBuf + ex.m_nRestFrom, static_cast<size_t>(ex.m_nReplyTo - ex.m_nRestFrom));
    oam::codec::Pair pairs[3];
    for (oam::codec::Pair& pair : pairs) {
        pair = oam::codec::ScanPair(rest);
        if (pair.got != oam::codec::Got::Whole) {
            // An accepted reply without them is no usable reply; a refusal
            // or a failed exchange keeps its origin.
            if (rc == 0) SetResultOrigin(OAM_ORIGIN_LIBRARY);
            return 1;
        }
        rest.DropFront(pair.length);
    }
    // atoi's conversion, saturating at the int range instead of overflowing.
    unsigned int length = static_cast<unsigned int>(oam::codec::Atoi(pairs[1].value));
    CString digest(pairs[2].value.p, static_cast<int>(pairs[2].value.n));
    // A server may write its reply and the archive back to back, so that the
    // read that took the reply holds the archive's first bytes too: they
    // wait at the front of the receive buffer for the data phase, and the
    // received length now counts them.
    oam::codec::Span head = oam::codec::ArchiveHead(m_RecvBuf, m_nRecvLen > 0 ? static_cast<size_t>(m_nRecvLen) : 0,
                                                    static_cast<size_t>(rest.p - m_RecvBuf));
    if (head.n) memmove(m_RecvBuf, head.p, head.n);
    m_nRecvLen = static_cast<int32_t>(head.n);
    rc = ReceiveFile(name, length, digest);
    // The file written is the server's answer; every failure of the data
    // phase is found here.
    SetResultOrigin(rc == 0 ? OAM_ORIGIN_SERVER : OAM_ORIGIN_LIBRARY);
    return rc;
}

int CClientSocket::ReceiveFile(CString fileName, unsigned int length, CString digest) {
    int pending = m_nRecvLen > 0 && m_nRecvLen <= RECV_BUFFER_SIZE ? m_nRecvLen : 0;
    Bytes archive;
    if (length <= kMaxDownload) archive = Allocate(length);
    if (!archive) {
        CFunction::RLog("Receive File Buffer Error:%u", length);
        return OAM_RECVFILE_NO_BUFFER;
    }

    // A cancel while the archive comes in can only end the connection: the
    // rest would otherwise arrive as the next command's reply.
    oam::channel::TransferProgress progress(this);
    auto abandon = [&] {
        CFunction::RLog("Receive File Cancelled:%s", fileName.GetString());
        NotifyLinkBreak("CClientSocket::ReceiveFile", false);
        Close();
        return OAM_TRANSFER_CANCELLED;
    };
    if (progress.Begin(OAM_PHASE_RECEIVING, length)) return abandon();
    oam::codec::StreamDigest md5;
    int rc = ReadArchive(m_hSocket, m_RecvBuf, RECV_BUFFER_SIZE, m_nRecvLen, pending, archive.get(), length, md5,
                         progress);
    if (rc == OAM_TRANSFER_CANCELLED) return abandon();
    if (rc != 0) return rc;

    CString computed;
    md5.Finish(computed);
    if (computed.CompareNoCase(digest) != 0) {
        CFunction::RLog("Receive File MD5 Error:%s,%.64s", computed.GetString(), digest.GetString());
        return OAM_RECVFILE_BAD_DIGEST;
    }

    // Everything announced has been read: a cancel from here on leaves the
    // channel usable.
    Bytes entry;
    size_t entryLen = 0;
    rc = UnpackEntry(archive.get(), length, fileName, progress, entry, entryLen);
    archive.reset();
    if (rc == 0) rc = WriteBesideAndRename(fileName, entry.get(), entryLen, progress);
    if (rc == OAM_TRANSFER_CANCELLED) CFunction::RLog("Receive File Cancelled:%s", fileName.GetString());
    if (rc != 0) return rc;
    CFunction::DLog("File received ok:%s", fileName.GetString());
    return 0;
}
