// Exact IEEE binary16 -> binary32 widening with integer operations only, so a
// signalling NaN keeps its payload and stays signalling.
#pragma once

#include <cstdint>
#include <cstring>

inline float half_to_float(uint16_t h) {
  uint32_t s = static_cast<uint32_t>(h & 0x8000u) << 16;
  uint32_t e = (h >> 10) & 0x1Fu;
  uint32_t m = h & 0x3FFu;
  uint32_t bits;
  if (e == 31) {
    bits = s | 0x7F800000u | (m << 13);
  } else if (e != 0) {
    bits = s | ((e + 112) << 23) | (m << 13);
  } else if (m != 0) {
    uint32_t p = 31 - static_cast<uint32_t>(__builtin_clz(m));
    bits = s | ((103 + p) << 23) | ((m - (1u << p)) << (23 - p));
  } else {
    bits = s;
  }
  float f;
  std::memcpy(&f, &bits, sizeof f);
  return f;
}
