// What the host's fuzz targets share: a promise checked on every input,
// which stops the run with the promise and the input's line of the target
// when it is broken (libFuzzer then keeps the input as a crash).
#pragma once

#include <cstdio>
#include <cstdlib>

#define FUZZ_CHECK(promise)                                                                        \
    do {                                                                                           \
        if (!(promise)) {                                                                          \
            std::fprintf(stderr, "%s:%d: broken promise: %s\n", __FILE__, __LINE__, #promise);     \
            std::abort();                                                                          \
        }                                                                                          \
    } while (0)
