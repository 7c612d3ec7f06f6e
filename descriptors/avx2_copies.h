// Functions whose loops over patch pixels gain from wider vectors: compiled
// twice, for the baseline processor and for AVX2 (eight floats at a time
// rather than four), everything they call compiled into each copy, the copy
// chosen when the program loads by what the processor has. They must have
// internal linkage (the symbols that make the choice would be exported from
// the shared library otherwise) and be no templates. Both copies perform
// the same single-precision operations in the same order (the project never
// fuses multiply-adds), so their results agree bit for bit; only the speed
// differs. With other compilers than GCC (clang neither inlines into the
// copies nor keeps their choice local), on other platforms, or where AVX2
// is the baseline already, there is one copy.
#pragma once

#include <cstddef>  // __GLIBC__, whose loader makes the choice

#if defined(__x86_64__) && defined(__linux__) && defined(__GLIBC__) && !defined(__AVX2__) && defined(__GNUC__) && \
    !defined(__clang__)
#define ORVO_ALSO_FOR_AVX2 __attribute__((target_clones("avx2", "default"), flatten))
#else
#define ORVO_ALSO_FOR_AVX2
#endif
