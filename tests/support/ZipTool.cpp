#include "ZipTool.h"

#include <stdio.h>
#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <system_error>

#include "TestSystem.h"
#include "TestTools.h"

namespace oamtest {
namespace {

// Runs argv without a shell; true when it exits with 0 (TestTools.h: a
// child process on POSIX, the script's tool peer on Windows).
bool Run(const std::vector<std::string>& args) {
    return RunTool(args);
}

const char* kMakeScript = R"PY(
import sys, zipfile
d = sys.argv[1]
zip64 = sys.argv[2] == '1'
with open(d + '/manifest', 'rb') as m:
    lines = [l.rstrip(b'\n') for l in m if l.strip()]
with zipfile.ZipFile(d + '/out.zip', 'w') as z:
    for i, line in enumerate(lines):
        stored, name = line.split(b'\t', 1)
        with open('%s/in%d' % (d, i), 'rb') as f:
            data = f.read()
        method = zipfile.ZIP_STORED if stored == b'1' else zipfile.ZIP_DEFLATED
        info = zipfile.ZipInfo(name.decode('latin-1'), (2020, 1, 2, 3, 4, 6))
        info.compress_type = method
        with z.open(info, 'w', force_zip64=zip64) as w:
            w.write(data)
)PY";

const char* kReadScript = R"PY(
import sys, zipfile
d = sys.argv[1]
with zipfile.ZipFile(d + '/in.zip') as z:
    if z.testzip() is not None:
        sys.exit(3)
    with open(d + '/manifest', 'wb') as m:
        for i, info in enumerate(z.infolist()):
            with open('%s/out%d' % (d, i), 'wb') as f:
                f.write(z.read(info))
            stored = b'1' if info.compress_type == zipfile.ZIP_STORED else b'0'
            m.write(stored + b'\t' + info.filename.encode('latin-1') + b'\n')
)PY";

}  // namespace

bool WriteFileBytes(const std::string& path, const std::string& bytes) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(f);
}

bool ReadFileBytes(const std::string& path, std::string& bytes) {
    std::ifstream f(path, std::ios::binary);
    if (!f) return false;
    std::ostringstream ss;
    ss << f.rdbuf();
    bytes = ss.str();
    return true;
}

bool FileExists(const std::string& path) {
    std::error_code ec;
    return std::filesystem::exists(path, ec);
}

std::string PythonZip(const std::vector<ZipItem>& items, bool forceZip64) {
    TempDir dir;
    if (!dir.ok()) return std::string();
    std::string manifest;
    for (size_t i = 0; i < items.size(); ++i) {
        if (!WriteFileBytes(dir.file("in" + std::to_string(i)), items[i].data)) return std::string();
        manifest += (items[i].stored ? "1\t" : "0\t") + items[i].name + "\n";
    }
    if (!WriteFileBytes(dir.file("manifest"), manifest) || !WriteFileBytes(dir.file("make.py"), kMakeScript)) {
        return std::string();
    }
    std::string out;
    if (!Run({"python3", dir.file("make.py"), dir.path(), forceZip64 ? "1" : "0"}) ||
        !ReadFileBytes(dir.file("out.zip"), out)) {
        return std::string();
    }
    return out;
}

bool PythonUnzip(const std::string& archive, std::vector<ZipItem>& items) {
    items.clear();
    TempDir dir;
    if (!dir.ok() || !WriteFileBytes(dir.file("in.zip"), archive) ||
        !WriteFileBytes(dir.file("read.py"), kReadScript)) {
        return false;
    }
    if (!Run({"python3", dir.file("read.py"), dir.path()})) return false;
    std::string manifest;
    if (!ReadFileBytes(dir.file("manifest"), manifest)) return false;
    std::istringstream lines(manifest);
    std::string line;
    for (size_t i = 0; std::getline(lines, line); ++i) {
        if (line.empty()) continue;
        ZipItem it;
        it.stored = line[0] == '1';
        it.name = line.substr(2);
        if (!ReadFileBytes(dir.file("out" + std::to_string(i)), it.data)) return false;
        items.push_back(it);
    }
    return true;
}

std::string ZipCommand(const std::string& name, const std::string& data) {
    TempDir dir;
    if (!dir.ok() || !WriteFileBytes(dir.file(name), data)) return std::string();
    std::string out;
    // -j: no directory part in the stored name; -X: no extra attributes.
    if (!Run({"zip", "-q", "-j", "-X", dir.file("out.zip"), dir.file(name)}) ||
        !ReadFileBytes(dir.file("out.zip"), out)) {
        return std::string();
    }
    return out;
}

namespace {
uint32_t Next(uint32_t& s) {
    s ^= s << 13;
    s ^= s >> 17;
    s ^= s << 5;
    return s;
}
}  // namespace

std::string RandomBytes(size_t n, uint32_t seed) {
    uint32_t s = seed ? seed : 1;
    std::string out(n, '\0');
    for (size_t i = 0; i < n; ++i) out[i] = static_cast<char>(Next(s) >> 24);
    return out;
}

std::string SemiCompressible(size_t n, uint32_t seed) {
    // Alternating runs of random bytes and of words from a small list.
    static const char* const words[] = {"station ", "device ", "alarm ", "ptz ", "camera ", "config=", "value;", "\r\n"};
    uint32_t s = seed ? seed : 1;
    std::string out;
    out.reserve(n);
    while (out.size() < n) {
        uint32_t r = Next(s);
        size_t run = 16 + (r & 63);
        if (r & 0x100) {
            for (size_t i = 0; i < run && out.size() < n; ++i) out.push_back(static_cast<char>(Next(s) >> 24));
        } else {
            for (size_t i = 0; i < run / 4 && out.size() < n; ++i) out += words[Next(s) & 7];
        }
    }
    out.resize(n);
    return out;
}

uint32_t GetLE32(const std::string& s, size_t at) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(s.data()) + at;
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
           (static_cast<uint32_t>(p[3]) << 24);
}

void PutLE32(std::string& s, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) s[at + static_cast<size_t>(i)] = static_cast<char>((v >> (8 * i)) & 0xFF);
}

void PutLE16(std::string& s, size_t at, uint16_t v) {
    s[at] = static_cast<char>(v & 0xFF);
    s[at + 1] = static_cast<char>(v >> 8);
}

ZipLayout FindZipLayout(const std::string& archive) {
    ZipLayout l;
    l.local = archive.find(std::string("PK\3\4", 4));
    l.central = archive.rfind(std::string("PK\1\2", 4));
    // The first central entry: scan forward from the end record's pointer.
    l.end = archive.rfind(std::string("PK\5\6", 4));
    if (l.end != std::string::npos && l.end + 20 <= archive.size()) {
        size_t cd = GetLE32(archive, l.end + 16);
        if (cd + 4 <= archive.size() && archive.compare(cd, 4, std::string("PK\1\2", 4)) == 0) l.central = cd;
    }
    if (l.local != std::string::npos && l.local + 30 <= archive.size()) {
        size_t nameLen = static_cast<unsigned char>(archive[l.local + 26]) |
                         (static_cast<size_t>(static_cast<unsigned char>(archive[l.local + 27])) << 8);
        size_t extraLen = static_cast<unsigned char>(archive[l.local + 28]) |
                          (static_cast<size_t>(static_cast<unsigned char>(archive[l.local + 29])) << 8);
        l.dataStart = l.local + 30 + nameLen + extraLen;
    }
    return l;
}

}  // namespace oamtest
