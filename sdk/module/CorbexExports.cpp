// The inline members of Base64, CMD5 and CFunction that this module
// defines and exports (Corbex defines the rest). An inline member is only
// emitted where a call to it survives, so EmitInlineMembers calls or takes
// the address of each one in a function that is never optimised; it is
// kept but never run.
#include "oam_string.h"

// No specialised local clones of the members below: the calls must reach
// the real, exported definitions.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC push_options
#pragma GCC optimize("no-ipa-cp", "no-ipa-sra")
#endif
#include "Corbex.h"
#include "CorbexAccess.h"
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC pop_options
#endif

// Callers create CMD5 objects as locals, so its layout is shared with
// Corbex: vptr, seven 32-bit state words, a 64-byte block.
static_assert(sizeof(uint32_t) == 4, "32-bit state words");
static_assert((sizeof(void*) + 7 * 4 + 64 + alignof(void*) - 1) / alignof(void*) * alignof(void*) == sizeof(CMD5),
              "CMD5 layout: vptr, 7 words, 64-byte block");
static_assert(alignof(CMD5) == alignof(void*), "CMD5 alignment");
// No data: the objects only carry the static operations.
static_assert(sizeof(CFunction) == 1 && sizeof(Base64) == 1, "CFunction and Base64 have no data");

#if defined(__clang__)
#define OAM_UNOPTIMISED __attribute__((optnone, noinline, used))
#else
#define OAM_UNOPTIMISED __attribute__((optimize("O0"), noinline, used))
#endif

namespace {

// Volatile, so that no store below, and with it no reference, is dropped.
const void* volatile g_sink;
Base64& (Base64::*volatile g_b64Assign)(const Base64&);
CMD5& (CMD5::*volatile g_md5Assign)(const CMD5&);
CFunction& (CFunction::*volatile g_fnAssign)(const CFunction&);

OAM_UNOPTIMISED void EmitInlineMembers() {
    // Constructors and destructors cannot be named by address: use them.
    Base64 b64;
    g_sink = &b64;
    CMD5 md5;
    CMD5 md5copy(md5);
    g_sink = &md5copy;

    g_sink = reinterpret_cast<const void*>(&Base64::calculateBase64Len);
    g_sink = reinterpret_cast<const void*>(&Base64::calculateBinLen);
    g_sink = reinterpret_cast<const void*>(Base64Access::decode64());
    g_sink = reinterpret_cast<const void*>(CMD5Access::F());
    g_sink = reinterpret_cast<const void*>(CMD5Access::G());
    g_sink = reinterpret_cast<const void*>(CMD5Access::H());
    g_sink = reinterpret_cast<const void*>(CMD5Access::I());
    g_sink = reinterpret_cast<const void*>(CMD5Access::MD5STEP());
    g_b64Assign = &Base64::operator=;
    g_md5Assign = &CMD5::operator=;
    g_fnAssign = &CFunction::operator=;
}

}  // namespace
