// What the shared parts of the platform layer need from the backend.
#pragma once

#include "oam_win.h"

namespace oam {
namespace platform {

// The system's ANSI code page, for when no host set one.
UINT SystemACP();

}  // namespace platform
}  // namespace oam
