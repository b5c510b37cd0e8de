// ZIP archives held wholly in memory, on top of minizip. minizip only knows
// streams, so MemoryStream gives it one over a byte area: a growable,
// writable one for building an archive, a read-only view of the caller's
// bytes for reading one.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>

#include <minizip/ioapi.h>
#include <minizip/unzip.h>
#include <minizip/zip.h>

namespace oam {

class MemoryStream {
public:
    // Growable area that never exceeds limit bytes.
    explicit MemoryStream(size_t limit);
    // Read-only view of size bytes that the caller keeps alive.
    MemoryStream(const unsigned char* data, size_t size);
    ~MemoryStream();
    MemoryStream(const MemoryStream&) = delete;
    MemoryStream& operator=(const MemoryStream&) = delete;

    // Makes room for capacity bytes; false when that is over the limit or
    // cannot be allocated (or the stream is a read-only view).
    bool Reserve(size_t capacity);

    // File-like operations at the current position. Write overwrites what is
    // there and grows the area (zero-filling any gap left by a seek past the
    // end); it writes all or nothing. Seek takes SEEK_SET, SEEK_CUR or
    // SEEK_END; a position before the start fails.
    size_t Read(void* buf, size_t n);
    size_t Write(const void* buf, size_t n);
    bool Seek(int64_t offset, int origin);
    uint64_t Tell() const { return m_pos; }
    // Non-zero once a write or seek has failed.
    int Error() const { return m_error; }

    const unsigned char* Data() const { return m_data; }
    size_t Size() const { return m_size; }
    size_t Capacity() const { return m_capacity; }
    size_t Limit() const { return m_limit; }
    // The owned area, for filling in place up to Capacity (null for a view).
    unsigned char* Area() { return m_owned ? m_data : nullptr; }

    // minizip's stream callbacks, bound to this stream. The "path" handed
    // to zipOpen2_64/unzOpen2_64 is not looked at.
    void FillFileFuncs(zlib_filefunc64_def* funcs);

private:
    unsigned char* m_data;
    size_t m_size = 0;      // bytes written or viewed
    size_t m_capacity = 0;  // bytes allocated (owned areas only)
    size_t m_limit;
    uint64_t m_pos = 0;
    bool m_owned;
    int m_error = 0;
};

// Builds an archive in memory: Create, AddEntry (once or more), Finish,
// then Data/Size. The bytes stay valid until the writer is destroyed.
class MemoryZipWriter {
public:
    explicit MemoryZipWriter(size_t limit);
    ~MemoryZipWriter();
    MemoryZipWriter(const MemoryZipWriter&) = delete;
    MemoryZipWriter& operator=(const MemoryZipWriter&) = delete;

    // Deflate levels: 1 (fastest) to 12 (smallest); 6 unless set. Without
    // libdeflate (OAM_HAVE_LIBDEFLATE unset) zlib packs, and levels above 9
    // pack as 9.
    static const int kMinLevel = 1, kMaxLevel = 12, kDefaultLevel = 6;
    static bool ValidLevel(int level) { return level >= kMinLevel && level <= kMaxLevel; }

    // Opens an empty archive with room for capacity bytes reserved; it
    // grows beyond that up to the limit. False when nothing could be opened.
    bool Create(size_t capacity);
    // The level of the entries added from now on; false (and unchanged)
    // outside 1-12.
    bool SetLevel(int level);
    // One entry, deflated, no password. With libdeflate the whole buffer is
    // deflated in one call straight into the archive's area, and minizip
    // writes those bytes as the entry's raw data.
    bool AddEntry(const char* name, const void* data, size_t length);
    // The same, deflating in pieces of `piece` bytes and calling step with
    // the bytes taken so far after each; step returning true stops it (and
    // the archive fails). libdeflate packs a buffer in one call: there is
    // no piece to report, so step is not called.
    typedef bool (*StepFn)(void* context, size_t done);
    bool AddEntry(const char* name, const void* data, size_t length, size_t piece, StepFn step, void* context);
    // Writes the central directory and closes the archive handle.
    bool Finish();

    const unsigned char* Data() const;
    size_t Size() const;

    // Room that always holds a one-entry archive of length bytes stored
    // under a name of nameLength bytes, however badly the data compresses.
    static size_t Bound(size_t length, size_t nameLength);

private:
    MemoryStream m_stream;
    zipFile m_zip = nullptr;
    bool m_finished = false;
    bool m_failed = false;
    int m_level = kDefaultLevel;
};

struct ZipEntryInfo {
    unsigned index = 0;
    std::string name;
    uint64_t uncompressedSize = 0;
    uint64_t compressedSize = 0;
    unsigned long method = 0;
    uint32_t crc = 0;
    bool encrypted = false;
};

enum class ExtractStatus {
    Ok,
    NoEntry,    // no such entry, or it cannot be opened (method, password)
    Short,      // the data ends before the size asked for, or goes beyond it
    DataError,  // the compressed data is corrupt
    CrcError,   // extracted whole, but the CRC differs
};

// Reads an archive held in the caller's memory, which must outlive the
// reader.
class MemoryZipReader {
public:
    MemoryZipReader() = default;
    ~MemoryZipReader();
    MemoryZipReader(const MemoryZipReader&) = delete;
    MemoryZipReader& operator=(const MemoryZipReader&) = delete;

    // False when the bytes are no archive.
    bool Open(const void* data, size_t size);
    uint64_t EntryCount() const;
    // Header of entry index; false (info untouched) without one.
    bool EntryInfo(unsigned index, ZipEntryInfo* info);
    // Extracts entry index into buf, which must be exactly the entry's
    // uncompressed size (else Short), and checks the CRC. Only stored and
    // deflated entries without a password can be extracted. With libdeflate
    // a deflated entry's bytes are inflated in place in the archive (minizip
    // in raw mode finds them); stored entries go through minizip.
    ExtractStatus Extract(unsigned index, void* buf, size_t size);
    void Close();

private:
    bool GoTo(unsigned index);
    ExtractStatus Inflate(const ZipEntryInfo& info, void* buf, size_t size);

    MemoryStream* m_stream = nullptr;
    unzFile m_unz = nullptr;
};

}  // namespace oam
