// A broken property ends the fuzz run with a message; libFuzzer keeps the
// input that broke it.
#pragma once

#include <cstdio>
#include <cstdlib>

#define VL_FUZZ_CHECK(cond, what)                                                     \
    do {                                                                              \
        if (!(cond)) {                                                                \
            std::fprintf(stderr, "%s:%d: %s (%s)\n", __FILE__, __LINE__, what, #cond); \
            std::abort();                                                             \
        }                                                                             \
    } while (0)
