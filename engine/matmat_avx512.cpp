// Batched-product pool kernels for AVX-512.
#include "matmat.h"

namespace detail {
const MmKernels* mm_kernels_avx512() { return nullptr; }
}  // namespace detail
