#pragma once

// What the fuzz targets share.

#include <openssl/err.h>

#include <cstdio>

// A property of a target: when it does not hold, say which and stop as a crash, so that libFuzzer
// keeps the input.
#define CHECK(cond)                                                                \
    do {                                                                           \
        if (!(cond)) {                                                             \
            std::fprintf(stderr, "check failed: %s (line %d)\n", #cond, __LINE__); \
            __builtin_trap();                                                      \
        }                                                                          \
    } while (0)

// OpenSSL keeps the errors of a failed parse in its thread's queue (bounded, so no leak). Emptied
// after every run, so that a run frees all it allocated: libFuzzer makes its costly leak check
// after every run that does not.
struct GcFuzzErrorQueueReset {
    ~GcFuzzErrorQueueReset() { ERR_clear_error(); }
};
