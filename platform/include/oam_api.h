// Export marks of the two libraries. OAMSDK_API marks what liboamsdk
// exports, CORBEX_API what libcorbex exports (the classes of Corbex.h and
// the few system services below both libraries that Corbex carries). On
// Windows they are dllexport while the library itself is built and
// dllimport for its users; with GCC and Clang elsewhere, default
// visibility (the libraries are built with hidden visibility, so only what
// is marked is exported); nothing with other compilers.
// OAMSDK_STATIC: the program links liboamsdk's objects themselves (the
// in-tree tests' internal archive): nothing of liboamsdk is imported.
#pragma once

#if defined(_WIN32)
#define OAM_EXPORT_MARK __declspec(dllexport)
#define OAM_IMPORT_MARK __declspec(dllimport)
#elif defined(__GNUC__) || defined(__clang__)
#define OAM_EXPORT_MARK __attribute__((visibility("default")))
#define OAM_IMPORT_MARK __attribute__((visibility("default")))
#else
#define OAM_EXPORT_MARK
#define OAM_IMPORT_MARK
#endif

#if defined(OAMSDK_BUILDING)
#define OAMSDK_API OAM_EXPORT_MARK
#elif defined(OAMSDK_STATIC) && defined(_WIN32)
#define OAMSDK_API
#else
#define OAMSDK_API OAM_IMPORT_MARK
#endif

#if defined(CORBEX_BUILDING)
#define CORBEX_API OAM_EXPORT_MARK
#else
#define CORBEX_API OAM_IMPORT_MARK
#endif
