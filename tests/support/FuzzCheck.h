// Invariant check for the fuzz targets: a violated one aborts, so that
// libFuzzer keeps the input that broke it.
#pragma once

#include <stdio.h>
#include <stdlib.h>

#define CHECK(cond)                                                                  \
    do {                                                                             \
        if (!(cond)) {                                                               \
            fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
            abort();                                                                 \
        }                                                                            \
    } while (0)
