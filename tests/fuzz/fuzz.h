#ifndef FUZZ_H
#define FUZZ_H

// Shared by the fuzz targets: a property that must hold for every input.
// abort() rather than assert(), so release builds check it too and both the
// fuzzer and the corpus replay count it as a finding.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#define FUZZ_CHECK(cond)                                                         \
    do {                                                                         \
        if (!(cond)) {                                                           \
            std::fprintf(stderr, "%s:%d: property failed: %s\n", __FILE__,      \
                         __LINE__, #cond);                                       \
            std::abort();                                                        \
        }                                                                        \
    } while (0)

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

#endif
