// Per-thread system error slot shared by liboamsdk and Corbex.
#include "Corbex.h"

namespace {
thread_local uint32_t t_error = 0;
}

extern "C" uint32_t CorbexGetThreadError() {
    return t_error;
}

extern "C" void CorbexSetThreadError(uint32_t code) {
    t_error = code;
}
