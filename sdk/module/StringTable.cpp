// The module's string table.
#include "AppFramework.h"
#include "module/Resource.h"

namespace {

struct Resource {
    UINT id;
    const char* text;
};

const Resource kStrings[] = {
    {IDP_SOCKETS_INIT_FAILED, "Windows Sockets initialization failed."},
};

}  // namespace

const char* AfxLoadString(UINT id) {
    for (const Resource& r : kStrings) {
        if (r.id == id) return r.text;
    }
    return "";
}
