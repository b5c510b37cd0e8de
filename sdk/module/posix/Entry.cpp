// Process attach and detach of the shared library: load-time constructor
// and unload-time destructor. A failed start-up cannot make dlopen fail on
// this platform; OamModuleAttach handles that.
#include "module/OAMApp.h"

namespace {

__attribute__((constructor)) void ModuleAttach() {
    OamModuleAttach();
}

__attribute__((destructor)) void ModuleDetach() {
    OamModuleDetach();
}

}  // namespace
