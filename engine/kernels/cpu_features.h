// Which vector instruction sets the running processor offers. The build has no
// -march: every kernel family ships a scalar path plus per-set paths, and the
// choice among them is made here, once, at run time on x86. On arm64 Advanced
// SIMD (NEON) is part of the base architecture, so it is chosen at build time.
#pragma once

#if defined(__x86_64__)
#include <cpuid.h>
#endif

enum class Isa : int { Scalar = 0, Avx2 = 1, Avx512 = 2, Neon = 3 };

inline const char* isa_name(Isa isa) {
  switch (isa) {
    case Isa::Avx2: return "avx2";
    case Isa::Avx512: return "avx512";
    case Isa::Neon: return "neon";
    default: return "scalar";
  }
}

// True when this processor can run the given set (the scalar path always can).
// AVX2 here means AVX2 with FMA and F16C; AVX-512 means F, BW, DQ and VL.
inline bool isa_supported(Isa isa) {
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
  // Not every compiler knows "f16c" as a feature name: read its CPUID bit.
  unsigned a = 0, b = 0, c = 0, d = 0;
  const bool f16c = __get_cpuid(1, &a, &b, &c, &d) && ((c >> 29) & 1u);
  const bool avx2 = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma") && f16c;
  switch (isa) {
    case Isa::Scalar: return true;
    case Isa::Avx2: return avx2;
    case Isa::Avx512:
      return avx2 && __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
             __builtin_cpu_supports("avx512dq") && __builtin_cpu_supports("avx512vl");
    case Isa::Neon: return false;
  }
  return false;
#elif defined(__aarch64__)
  return isa == Isa::Scalar || isa == Isa::Neon;
#else
  return isa == Isa::Scalar;
#endif
}

// The widest supported set; on x86 decided on the first call.
inline Isa best_isa() {
#if defined(__aarch64__)
  return Isa::Neon;
#else
  static const Isa best = isa_supported(Isa::Avx512) ? Isa::Avx512
                          : isa_supported(Isa::Avx2) ? Isa::Avx2
                                                     : Isa::Scalar;
  return best;
#endif
}
