// Export marker for the classes and functions of liboamsdk.so.
#pragma once

#if defined(OAMSDK_BUILDING)
#define OAMSDK_API __attribute__((visibility("default")))
#else
#define OAMSDK_API __attribute__((visibility("default")))
#endif
