// fuzz_check.h: a failed property ends the fuzzing run with a message and a crash.
#pragma once

#include <cstdio>
#include <cstdlib>

#define FUZZ_CHECK(condition)                                                          \
    do {                                                                               \
        if (!(condition)) {                                                            \
            std::fprintf(stderr, "%s:%d: property failed: %s\n", __FILE__, __LINE__,  \
                         #condition);                                                  \
            std::abort();                                                              \
        }                                                                              \
    } while (0)
