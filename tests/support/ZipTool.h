// Independent ZIP tooling for tests: archives made and read by Python's
// zipfile and by the `zip` command, file helpers, and offsets into an
// archive's headers for corrupting it on purpose (temporary directories:
// TempDir.h).
// Plain POSIX + std; knows nothing of the library under test.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

#include "TempDir.h"

namespace oamtest {

bool WriteFileBytes(const std::string& path, const std::string& bytes);
bool ReadFileBytes(const std::string& path, std::string& bytes);
bool FileExists(const std::string& path);

struct ZipItem {
    std::string name;
    std::string data;
    bool stored = false;  // ZIP_STORED instead of deflate
};

// Archive made by Python's zipfile (in a real file, so without data
// descriptors); empty on failure.
std::string PythonZip(const std::vector<ZipItem>& items, bool forceZip64 = false);
// Entries as Python's zipfile reads them, after its CRC test of every
// entry; false when it refuses the archive.
bool PythonUnzip(const std::string& archive, std::vector<ZipItem>& items);
// Archive of one file made by the `zip` command; empty on failure.
std::string ZipCommand(const std::string& name, const std::string& data);

// Deterministic test data: n bytes that deflate to roughly half their size.
std::string SemiCompressible(size_t n, uint32_t seed = 1);
std::string RandomBytes(size_t n, uint32_t seed = 1);

// Header fields of an archive, for corrupting it on purpose.
struct ZipLayout {
    size_t local = std::string::npos;    // first local header ("PK\3\4")
    size_t central = std::string::npos;  // first central directory entry ("PK\1\2")
    size_t end = std::string::npos;      // end of central directory record
    size_t dataStart = std::string::npos;  // first byte of entry 0's data
};
ZipLayout FindZipLayout(const std::string& archive);
void PutLE32(std::string& s, size_t at, uint32_t v);
void PutLE16(std::string& s, size_t at, uint16_t v);
uint32_t GetLE32(const std::string& s, size_t at);

}  // namespace oamtest
