// Directory of the loaded module. liboamsdk.so is installed beside
// libcorbex.so, so the directory of this library is the module's too.
#include <dlfcn.h>
#include <limits.h>
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
    Dl_info info{};
    std::string path;
    if (dladdr(reinterpret_cast<void*>(&Anchor), &info) && info.dli_fname && *info.dli_fname) {
        path = info.dli_fname;
        // A relative name is relative to the directory current at load time;
        // resolve it before the host changes directory.
        if (path[0] != '/') {
            char resolved[PATH_MAX];
            if (realpath(path.c_str(), resolved)) path = resolved;
        }
    }
    const size_t slash = path.find_last_of('/');
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
