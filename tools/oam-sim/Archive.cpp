#include "Archive.h"

#include <minizip/unzip.h>
#include <minizip/zip.h>

#include <cstring>
#include <ctime>
#include <memory>

namespace oamsim {

namespace {

// A growable byte stream that minizip reads, writes and seeks through the
// 64-bit file function table. zip.c seeks back to patch local headers, so
// writes may land inside the data already written.
struct MemStream {
    std::string data;
    uint64_t pos = 0;
};

voidpf OpenMem(voidpf opaque, const void*, int) {
    return opaque;
}

uLong ReadMem(voidpf, voidpf stream, void* buf, uLong size) {
    auto* m = static_cast<MemStream*>(stream);
    if (m->pos >= m->data.size()) return 0;
    uint64_t n = std::min<uint64_t>(size, m->data.size() - m->pos);
    std::memcpy(buf, m->data.data() + m->pos, n);
    m->pos += n;
    return static_cast<uLong>(n);
}

uLong WriteMem(voidpf, voidpf stream, const void* buf, uLong size) {
    auto* m = static_cast<MemStream*>(stream);
    if (m->pos + size > m->data.size()) m->data.resize(m->pos + size);
    std::memcpy(&m->data[m->pos], buf, size);
    m->pos += size;
    return size;
}

ZPOS64_T TellMem(voidpf, voidpf stream) {
    return static_cast<MemStream*>(stream)->pos;
}

long SeekMem(voidpf, voidpf stream, ZPOS64_T offset, int origin) {
    auto* m = static_cast<MemStream*>(stream);
    uint64_t base = 0;
    switch (origin) {
        case ZLIB_FILEFUNC_SEEK_SET: base = 0; break;
        case ZLIB_FILEFUNC_SEEK_CUR: base = m->pos; break;
        case ZLIB_FILEFUNC_SEEK_END: base = m->data.size(); break;
        default: return -1;
    }
    // Reading never goes past the end; writing may extend the stream.
    if (offset > UINT64_MAX - base) return -1;
    m->pos = base + offset;
    return 0;
}

int CloseMem(voidpf, voidpf) {
    return 0;
}

int ErrorMem(voidpf, voidpf) {
    return 0;
}

zlib_filefunc64_def MemFuncs(MemStream* m) {
    zlib_filefunc64_def f;
    f.zopen64_file = OpenMem;
    f.zread_file = ReadMem;
    f.zwrite_file = WriteMem;
    f.ztell64_file = TellMem;
    f.zseek64_file = SeekMem;
    f.zclose_file = CloseMem;
    f.zerror_file = ErrorMem;
    f.opaque = m;
    return f;
}

struct UnzCloser {
    void operator()(void* u) const { unzClose(u); }
};

}  // namespace

std::optional<std::string> ZipOneEntry(const std::string& entryName, const std::string& content) {
    if (content.size() > UINT32_MAX) return std::nullopt;
    MemStream m;
    zlib_filefunc64_def f = MemFuncs(&m);
    zipFile zf = zipOpen2_64("memory", APPEND_STATUS_CREATE, nullptr, &f);
    if (!zf) return std::nullopt;
    zip_fileinfo zi;
    std::memset(&zi, 0, sizeof zi);
    std::time_t now = std::time(nullptr);
    std::tm tmv;
    localtime_r(&now, &tmv);
    zi.tmz_date.tm_sec = static_cast<uInt>(tmv.tm_sec);
    zi.tmz_date.tm_min = static_cast<uInt>(tmv.tm_min);
    zi.tmz_date.tm_hour = static_cast<uInt>(tmv.tm_hour);
    zi.tmz_date.tm_mday = static_cast<uInt>(tmv.tm_mday);
    zi.tmz_date.tm_mon = static_cast<uInt>(tmv.tm_mon);
    zi.tmz_date.tm_year = static_cast<uInt>(tmv.tm_year + 1900);
    bool ok = zipOpenNewFileInZip64(zf, entryName.c_str(), &zi, nullptr, 0, nullptr, 0, nullptr, Z_DEFLATED,
                                    Z_DEFAULT_COMPRESSION, 0) == ZIP_OK;
    if (ok && !content.empty())
        ok = zipWriteInFileInZip(zf, content.data(), static_cast<unsigned>(content.size())) == ZIP_OK;
    if (ok) ok = zipCloseFileInZip(zf) == ZIP_OK;
    if (zipClose(zf, nullptr) != ZIP_OK) ok = false;
    if (!ok) return std::nullopt;
    return std::move(m.data);
}

std::optional<Unzipped> UnzipFirstEntry(const std::string& archive, uint64_t maxSize, std::string& why,
                                        uint64_t* tooLarge) {
    if (tooLarge) *tooLarge = 0;
    MemStream m;
    m.data = archive;
    zlib_filefunc64_def f = MemFuncs(&m);
    std::unique_ptr<void, UnzCloser> uf(unzOpen2_64("memory", &f));
    if (!uf) {
        why = "not a ZIP archive";
        return std::nullopt;
    }
    if (unzGoToFirstFile(uf.get()) != UNZ_OK) {
        why = "archive has no entry";
        return std::nullopt;
    }
    unz_file_info64 info;
    char name[256] = {0};
    if (unzGetCurrentFileInfo64(uf.get(), &info, name, sizeof name - 1, nullptr, 0, nullptr, 0) != UNZ_OK) {
        why = "unreadable entry header";
        return std::nullopt;
    }
    if (info.uncompressed_size > maxSize) {
        why = "entry too large (" + std::to_string(info.uncompressed_size) + " bytes)";
        if (tooLarge) *tooLarge = info.uncompressed_size;
        return std::nullopt;
    }
    if (unzOpenCurrentFile(uf.get()) != UNZ_OK) {
        why = "entry cannot be opened (encrypted or unknown method)";
        return std::nullopt;
    }
    Unzipped out;
    out.entryName = name;
    out.content.resize(static_cast<size_t>(info.uncompressed_size));
    uint64_t got = 0;
    bool failed = false;
    while (got < info.uncompressed_size) {
        uint64_t want = std::min<uint64_t>(info.uncompressed_size - got, 1u << 20);
        int r = unzReadCurrentFile(uf.get(), &out.content[static_cast<size_t>(got)], static_cast<unsigned>(want));
        if (r <= 0) {
            failed = r < 0;
            break;
        }
        got += static_cast<uint64_t>(r);
    }
    // An entry that inflates to more than its header says is refused too.
    char probe;
    if (!failed && got == info.uncompressed_size && unzReadCurrentFile(uf.get(), &probe, 1) != 0) failed = true;
    int crc = unzCloseCurrentFile(uf.get());
    if (failed || got != info.uncompressed_size) {
        why = "entry data is damaged";
        return std::nullopt;
    }
    if (crc != UNZ_OK) {
        why = crc == UNZ_CRCERROR ? "entry CRC mismatch" : "entry data is damaged";
        return std::nullopt;
    }
    return out;
}

}  // namespace oamsim
