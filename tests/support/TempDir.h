// Temporary directories for tests, fuzz targets and benchmarks: a fresh
// directory removed with its contents, and one that stands as the
// library's module directory (OAMSDK_MODULE_DIR) while it lives.
#pragma once

#include <string>
#include <vector>

namespace oamtest {

// A fresh directory under $TMPDIR (or /tmp), removed with its contents.
class TempDir {
public:
    explicit TempDir(const char* prefix = "oamsdk-files");
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    bool ok() const { return !m_path.empty(); }
    const std::string& path() const { return m_path; }
    std::string file(const std::string& name) const { return m_path + "/" + name; }
    // Names of the entries in the directory, sorted.
    std::vector<std::string> list() const;

private:
    std::string m_path;
};

// A TempDir named to the library as its module directory (where logs and
// downloads go) until destroyed, which unsets the variable again.
class ModuleDir : public TempDir {
public:
    explicit ModuleDir(const char* prefix = "oamsdk-files");
    ~ModuleDir();
};

}  // namespace oamtest
