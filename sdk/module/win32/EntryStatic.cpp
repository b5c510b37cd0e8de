// Start-up for programs that link the library's objects statically (the
// in-tree tests): no DllMain runs there, so a load-time constructor does
// what process attach does for the DLL.
#include "module/OAMApp.h"

namespace {

__attribute__((constructor)) void ModuleAttach() {
    OamModuleAttach();
}

}  // namespace
