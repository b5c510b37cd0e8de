#include "codec/MemoryArchive.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <zlib.h>

#include <new>

#ifdef OAM_HAVE_LIBDEFLATE
#include <libdeflate.h>
#endif

namespace oam {

// ---- MemoryStream ----------------------------------------------------------

MemoryStream::MemoryStream(size_t limit) : m_data(nullptr), m_limit(limit), m_owned(true) {}

MemoryStream::MemoryStream(const unsigned char* data, size_t size)
    : m_data(const_cast<unsigned char*>(data)), m_size(size), m_limit(size), m_owned(false) {}

MemoryStream::~MemoryStream() {
    if (m_owned) free(m_data);
}

bool MemoryStream::Reserve(size_t capacity) {
    if (!m_owned || capacity > m_limit) return false;
    if (capacity <= m_capacity) return true;
    void* p = realloc(m_data, capacity);
    if (!p) return false;
    m_data = static_cast<unsigned char*>(p);
    m_capacity = capacity;
    return true;
}

size_t MemoryStream::Read(void* buf, size_t n) {
    if (m_pos >= m_size || n == 0) return 0;
    size_t avail = m_size - static_cast<size_t>(m_pos);
    if (n > avail) n = avail;
    memcpy(buf, m_data + m_pos, n);
    m_pos += n;
    return n;
}

size_t MemoryStream::Write(const void* buf, size_t n) {
    if (n == 0) return 0;
    if (!m_owned || m_pos > m_limit || n > m_limit - m_pos) {
        m_error = 1;
        return 0;
    }
    size_t pos = static_cast<size_t>(m_pos);
    size_t end = pos + n;
    if (end > m_capacity) {
        // Grow geometrically so that many small writes stay linear.
        size_t want = m_capacity + m_capacity / 2;
        if (want < end) want = end;
        if (want > m_limit) want = m_limit;
        if (!Reserve(want)) {
            m_error = 1;
            return 0;
        }
    }
    if (pos > m_size) memset(m_data + m_size, 0, pos - m_size);
    memcpy(m_data + pos, buf, n);
    if (end > m_size) m_size = end;
    m_pos = end;
    return n;
}

bool MemoryStream::Seek(int64_t offset, int origin) {
    int64_t base;
    switch (origin) {
    case SEEK_SET: base = 0; break;
    case SEEK_CUR: base = static_cast<int64_t>(m_pos); break;
    case SEEK_END: base = static_cast<int64_t>(m_size); break;
    default: m_error = 1; return false;
    }
    if ((offset < 0 && base + offset < 0) || (offset > 0 && base > INT64_MAX - offset)) {
        m_error = 1;
        return false;
    }
    m_pos = static_cast<uint64_t>(base + offset);
    return true;
}

namespace {

MemoryStream* Of(voidpf stream) { return static_cast<MemoryStream*>(stream); }

voidpf ZCALLBACK StreamOpen(voidpf opaque, const void*, int) { return opaque; }

uLong ZCALLBACK StreamRead(voidpf, voidpf stream, void* buf, uLong size) {
    return static_cast<uLong>(Of(stream)->Read(buf, static_cast<size_t>(size)));
}

uLong ZCALLBACK StreamWrite(voidpf, voidpf stream, const void* buf, uLong size) {
    return static_cast<uLong>(Of(stream)->Write(buf, static_cast<size_t>(size)));
}

ZPOS64_T ZCALLBACK StreamTell(voidpf, voidpf stream) { return Of(stream)->Tell(); }

long ZCALLBACK StreamSeek(voidpf, voidpf stream, ZPOS64_T offset, int origin) {
    int o = origin == ZLIB_FILEFUNC_SEEK_CUR ? SEEK_CUR
          : origin == ZLIB_FILEFUNC_SEEK_END ? SEEK_END
          : origin == ZLIB_FILEFUNC_SEEK_SET ? SEEK_SET
                                             : -1;
    return Of(stream)->Seek(static_cast<int64_t>(offset), o) ? 0 : -1;
}

int ZCALLBACK StreamClose(voidpf, voidpf) { return 0; }

int ZCALLBACK StreamError(voidpf, voidpf stream) { return Of(stream)->Error(); }

// 1980-01-01 00:00, the earliest DOS date: the archive is only an envelope,
// and a fixed date keeps the same file giving the same bytes and digest.
const uLong kDosEpoch = (1u + 32u * 1u) << 16;

// minizip counts lengths in unsigned int.
const size_t kChunk = 1u << 30;

}  // namespace

void MemoryStream::FillFileFuncs(zlib_filefunc64_def* funcs) {
    funcs->zopen64_file = StreamOpen;
    funcs->zread_file = StreamRead;
    funcs->zwrite_file = StreamWrite;
    funcs->ztell64_file = StreamTell;
    funcs->zseek64_file = StreamSeek;
    funcs->zclose_file = StreamClose;
    funcs->zerror_file = StreamError;
    funcs->opaque = this;
}

// ---- MemoryZipWriter ---------------------------------------------------------

MemoryZipWriter::MemoryZipWriter(size_t limit) : m_stream(limit) {}

MemoryZipWriter::~MemoryZipWriter() {
    if (m_zip) zipClose(m_zip, nullptr);
}

size_t MemoryZipWriter::Bound(size_t length, size_t nameLength) {
    // Deflate's own worst case plus the local header, central directory
    // entry and end record (each with the name and a possible ZIP64 extra).
    const size_t overhead = 2 * nameLength + 30 + 46 + 22 + 2 * 32 + 56 + 20 + 64;
    if (length > (SIZE_MAX - overhead) / 2) return SIZE_MAX;
    size_t bound = static_cast<size_t>(compressBound(static_cast<uLong>(length)));
#ifdef OAM_HAVE_LIBDEFLATE
    // Any libdeflate compressor's worst case, at whatever level.
    size_t own = libdeflate_deflate_compress_bound(nullptr, length);
    if (own > bound) bound = own;
#endif
    return bound + overhead;
}

bool MemoryZipWriter::SetLevel(int level) {
    if (!ValidLevel(level)) return false;
    m_level = level;
    return true;
}

bool MemoryZipWriter::Create(size_t capacity) {
    if (m_zip || m_finished) return false;
    if (capacity && !m_stream.Reserve(capacity)) return false;
    zlib_filefunc64_def funcs;
    m_stream.FillFileFuncs(&funcs);
    m_zip = zipOpen2_64("", APPEND_STATUS_CREATE, nullptr, &funcs);
    return m_zip != nullptr;
}

bool MemoryZipWriter::AddEntry(const char* name, const void* data, size_t length) {
    return AddEntry(name, data, length, kChunk, nullptr, nullptr);
}

bool MemoryZipWriter::AddEntry(const char* name, const void* data, size_t length, size_t piece, StepFn step,
                               void* context) {
    if (!m_zip || m_failed) return false;
    zip_fileinfo info;
    memset(&info, 0, sizeof info);
    info.dosDate = kDosEpoch;
    int zip64 = length >= 0xFFFFFFFFu ? 1 : 0;
    // zlib's levels end at 9, and the header's level bits say only "fast"
    // (1, 2) or "maximum" (8, 9); the default is zlib's own default.
    const int zlibLevel = m_level == kDefaultLevel ? Z_DEFAULT_COMPRESSION : m_level > 9 ? 9 : m_level;
#ifdef OAM_HAVE_LIBDEFLATE
    (void)piece;
    (void)step;
    (void)context;
    if (zipOpenNewFileInZip2_64(m_zip, name, &info, nullptr, 0, nullptr, 0, nullptr, Z_DEFLATED, zlibLevel, 1,
                                zip64) != ZIP_OK) {
        m_failed = true;
        return false;
    }
    // The entry's data starts where minizip left the stream after its
    // local header. The deflated bytes go straight there, in room reserved
    // up to the worst case (never beyond the limit), and minizip then
    // writes those same bytes onto themselves: every piece it writes lies
    // at or before what it has read, and within the room, so the area is
    // neither overrun nor moved under it.
    libdeflate_compressor* c = libdeflate_alloc_compressor(m_level);
    const size_t at = static_cast<size_t>(m_stream.Tell());
    size_t packed = 0;
    uLong crc = 0;
    if (c && at == m_stream.Size() && at <= m_stream.Limit()) {
        size_t want = libdeflate_deflate_compress_bound(c, length);
        want = want > m_stream.Limit() - at ? m_stream.Limit() : at + want;
        if (want <= m_stream.Capacity() || m_stream.Reserve(want)) {
            unsigned char* room = m_stream.Area() + at;
            packed = libdeflate_deflate_compress(c, data, length, room, m_stream.Capacity() - at);
            crc = libdeflate_crc32(0, data, length);
            const unsigned char* p = room;
            size_t left = packed;
            // 0: the entry does not fit within the limit.
            int rc = packed > 0 ? ZIP_OK : ZIP_INTERNALERROR;
            while (left > 0 && rc == ZIP_OK) {
                size_t n = left < kChunk ? left : kChunk;
                rc = zipWriteInFileInZip(m_zip, p, static_cast<unsigned>(n));
                p += n;
                left -= n;
            }
            if (rc != ZIP_OK) packed = 0;
        }
    }
    libdeflate_free_compressor(c);
    // Even an empty entry has a stream (one empty final block).
    bool ok = packed > 0;
    if (zipCloseFileInZipRaw64(m_zip, length, crc) != ZIP_OK || !ok || m_stream.Error()) {
        m_failed = true;
        return false;
    }
    return true;
#else
    if (piece == 0 || piece > kChunk) piece = kChunk;
    const size_t total = length;
    if (zipOpenNewFileInZip64(m_zip, name, &info, nullptr, 0, nullptr, 0, nullptr, Z_DEFLATED, zlibLevel, zip64) !=
        ZIP_OK) {
        m_failed = true;
        return false;
    }
    const unsigned char* p = static_cast<const unsigned char*>(data);
    int rc = ZIP_OK;
    while (length > 0 && rc == ZIP_OK) {
        size_t n = length < piece ? length : piece;
        rc = zipWriteInFileInZip(m_zip, p, static_cast<unsigned>(n));
        p += n;
        length -= n;
        if (rc == ZIP_OK && step && step(context, total - length)) rc = ZIP_INTERNALERROR;
    }
    if (zipCloseFileInZip(m_zip) != ZIP_OK || rc != ZIP_OK || m_stream.Error()) {
        m_failed = true;
        return false;
    }
    return true;
#endif
}

bool MemoryZipWriter::Finish() {
    if (!m_zip) return false;
    int rc = zipClose(m_zip, nullptr);
    m_zip = nullptr;
    m_finished = true;
    if (rc != ZIP_OK || m_stream.Error()) m_failed = true;
    return !m_failed;
}

const unsigned char* MemoryZipWriter::Data() const {
    return m_finished && !m_failed ? m_stream.Data() : nullptr;
}

size_t MemoryZipWriter::Size() const { return m_finished && !m_failed ? m_stream.Size() : 0; }

// ---- MemoryZipReader ---------------------------------------------------------

MemoryZipReader::~MemoryZipReader() { Close(); }

bool MemoryZipReader::Open(const void* data, size_t size) {
    Close();
    if (!data) return false;
    m_stream = new (std::nothrow) MemoryStream(static_cast<const unsigned char*>(data), size);
    if (!m_stream) return false;
    zlib_filefunc64_def funcs;
    m_stream->FillFileFuncs(&funcs);
    m_unz = unzOpen2_64("", &funcs);
    if (!m_unz) {
        Close();
        return false;
    }
    return true;
}

void MemoryZipReader::Close() {
    if (m_unz) unzClose(m_unz);
    m_unz = nullptr;
    delete m_stream;
    m_stream = nullptr;
}

uint64_t MemoryZipReader::EntryCount() const {
    unz_global_info64 gi;
    if (!m_unz || unzGetGlobalInfo64(m_unz, &gi) != UNZ_OK) return 0;
    return gi.number_entry;
}

bool MemoryZipReader::GoTo(unsigned index) {
    if (!m_unz || unzGoToFirstFile(m_unz) != UNZ_OK) return false;
    for (unsigned i = 0; i < index; ++i) {
        if (unzGoToNextFile(m_unz) != UNZ_OK) return false;
    }
    return true;
}

bool MemoryZipReader::EntryInfo(unsigned index, ZipEntryInfo* info) {
    if (!GoTo(index)) return false;
    unz_file_info64 fi;
    char name[1024];
    if (unzGetCurrentFileInfo64(m_unz, &fi, name, sizeof name - 1, nullptr, 0, nullptr, 0) != UNZ_OK) {
        return false;
    }
    name[sizeof name - 1] = '\0';
    size_t nameLen = fi.size_filename < sizeof name - 1 ? fi.size_filename : sizeof name - 1;
    info->index = index;
    info->name.assign(name, nameLen);
    info->uncompressedSize = fi.uncompressed_size;
    info->compressedSize = fi.compressed_size;
    info->method = fi.compression_method;
    info->crc = static_cast<uint32_t>(fi.crc);
    info->encrypted = (fi.flag & 1u) != 0;
    return true;
}

ExtractStatus MemoryZipReader::Extract(unsigned index, void* buf, size_t size) {
    ZipEntryInfo info;
    // Only stored and deflated entries: minizip would hand out other
    // methods' data raw.
    if (!EntryInfo(index, &info) || info.encrypted || (info.method != 0 && info.method != Z_DEFLATED)) {
        return ExtractStatus::NoEntry;
    }
    // The CRC is only checked for an entry read to the size its header
    // gives, so the buffer must be exactly that size.
    if (info.uncompressedSize != size) return ExtractStatus::Short;
#ifdef OAM_HAVE_LIBDEFLATE
    if (info.method == Z_DEFLATED) return Inflate(info, buf, size);
#endif
    if (unzOpenCurrentFile(m_unz) != UNZ_OK) return ExtractStatus::NoEntry;

    unsigned char* p = static_cast<unsigned char*>(buf);
    size_t done = 0;
    ExtractStatus status = ExtractStatus::Ok;
    while (done < size) {
        size_t want = size - done < kChunk ? size - done : kChunk;
        int n = unzReadCurrentFile(m_unz, p + done, static_cast<unsigned>(want));
        if (n < 0) {
            status = ExtractStatus::DataError;
            break;
        }
        if (n == 0) {
            status = ExtractStatus::Short;
            break;
        }
        done += static_cast<size_t>(n);
    }
    if (status == ExtractStatus::Ok) {
        // Nothing may follow what the header announced.
        unsigned char extra;
        int n = unzReadCurrentFile(m_unz, &extra, 1);
        if (n > 0) status = ExtractStatus::Short;
        else if (n < 0) status = ExtractStatus::DataError;
    }
    int rc = unzCloseCurrentFile(m_unz);
    if (status == ExtractStatus::Ok && rc == UNZ_CRCERROR) status = ExtractStatus::CrcError;
    else if (status == ExtractStatus::Ok && rc != UNZ_OK) status = ExtractStatus::DataError;
    return status;
}

#ifdef OAM_HAVE_LIBDEFLATE
// The entry's deflated bytes are read where they lie in the caller's
// archive: minizip in raw mode checks the local header and says where the
// data begins. Like minizip's own reads, a stream that ends before its
// announced compressed size is whole, and one announced to run past the
// archive's end is not.
ExtractStatus MemoryZipReader::Inflate(const ZipEntryInfo& info, void* buf, size_t size) {
    int method = 0, level = 0;
    if (unzOpenCurrentFile2(m_unz, &method, &level, 1) != UNZ_OK) return ExtractStatus::NoEntry;
    const uint64_t at = unzGetCurrentFileZStreamPos64(m_unz);
    unzCloseCurrentFile(m_unz);
    if (at > m_stream->Size() || info.compressedSize > m_stream->Size() - at) return ExtractStatus::DataError;
    const size_t in = static_cast<size_t>(info.compressedSize);
    libdeflate_decompressor* d = libdeflate_alloc_decompressor();
    if (!d) return ExtractStatus::DataError;
    size_t out = 0;
    libdeflate_result r = libdeflate_deflate_decompress(d, m_stream->Data() + at, in, buf, size, &out);
    libdeflate_free_decompressor(d);
    // More than the header's size is data beyond it, like fewer.
    if (r == LIBDEFLATE_INSUFFICIENT_SPACE || (r == LIBDEFLATE_SUCCESS && out != size)) return ExtractStatus::Short;
    if (r != LIBDEFLATE_SUCCESS) return ExtractStatus::DataError;
    if (libdeflate_crc32(0, buf, size) != info.crc) return ExtractStatus::CrcError;
    return ExtractStatus::Ok;
}
#endif

}  // namespace oam
