// The x86 intrinsics header for the AVX-512 paths, with the warnings GCC 12
// raises inside it silenced: its _mm512_undefined_* placeholders read as
// uninitialised values to the compiler's own checks.
#pragma once

#if defined(__x86_64__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#if !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <immintrin.h>
#pragma GCC diagnostic pop
#endif
