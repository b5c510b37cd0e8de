// The system's ANSI code page on Windows is the system's own.
#include "PlatformShared.h"

namespace oam {
namespace platform {

UINT SystemACP() {
    return ::GetACP();
}

}  // namespace platform
}  // namespace oam
