#include "TempDir.h"

#include <algorithm>
#include <filesystem>
#include <system_error>

#include "TestSystem.h"

namespace oamtest {

TempDir::TempDir(const char* prefix) : m_path(MakeTempDir(prefix)) {}

TempDir::~TempDir() {
    std::error_code ec;
    if (!m_path.empty()) std::filesystem::remove_all(m_path, ec);
}

std::vector<std::string> TempDir::list() const {
    std::vector<std::string> names;
    std::error_code ec;
    for (std::filesystem::directory_iterator it(path(), ec), end; !ec && it != end; it.increment(ec))
        names.push_back(it->path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

ModuleDir::ModuleDir(const char* prefix) : TempDir(prefix) {
    if (ok()) SetEnv("OAMSDK_MODULE_DIR", path().c_str());
}

ModuleDir::~ModuleDir() {
    UnsetEnv("OAMSDK_MODULE_DIR");
}

}  // namespace oamtest
