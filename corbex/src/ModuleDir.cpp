// Directory of the loaded module. liboamsdk is installed beside Corbex
// (lib/ on POSIX, bin/ on Windows), so the directory of this library is
// the module's too.
#include <stdlib.h>

#include <string>

#include "Corbex.h"

namespace {

void Anchor() {}

bool IsSeparator(char c) {
    return c == '/' || c == '\\';
}

std::string WithoutTrailingSeparators(std::string s) {
    while (!s.empty() && IsSeparator(s.back())) s.pop_back();
    return s;
}

std::string LoadedDir() {
    char file[4096];
    const std::string path(file, OamGetModuleFileName(reinterpret_cast<const void*>(&Anchor), file, sizeof file));
    const size_t slash = path.find_last_of("/\\");
    if (slash == std::string::npos) return ".";
    return path.substr(0, slash);  // "" for a module in "/"
}

// Resolved while the library loads, so that a relative load path still
// means the directory current at that time.
const std::string* g_dir = new std::string(LoadedDir());

}  // namespace

CString CFunction::GetCurrentModuleDir() {
    const char* env = getenv("OAMSDK_MODULE_DIR");
    if (env && *env) return CString(WithoutTrailingSeparators(env));
    return CString(*g_dir);
}
