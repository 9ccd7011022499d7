// Matrix-vector kernels for AVX-512.
#include "matvec.h"

namespace detail {
const MvKernels* mv_kernels_avx512() { return nullptr; }
}  // namespace detail
