// Matrix-vector kernels for AVX2 with FMA and F16C.
#include "matvec.h"

namespace detail {
const MvKernels* mv_kernels_avx2() { return nullptr; }
}  // namespace detail
