// half_to_float against an independent conversion, over every 16-bit pattern,
// and the fixture writer's float_to_half as its inverse.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "kernels/half.h"
#include "olvt_writer.h"

namespace {

uint32_t bits_of(float f) {
  uint32_t b;
  std::memcpy(&b, &f, 4);
  return b;
}

// Reference: the value by its definition, sign * mantissa * 2^exponent, in double.
double half_value(uint16_t h) {
  int s = (h >> 15) & 1, e = (h >> 10) & 31, m = h & 1023;
  double v = e == 0 ? std::ldexp(m, -24) : std::ldexp(1024 + m, e - 25);
  return s ? -v : v;
}

TEST(HalfToFloat, EveryPatternMatchesItsDefinition) {
  for (uint32_t h = 0; h < 65536; ++h) {
    const float f = half_to_float(static_cast<uint16_t>(h));
    const int e = (h >> 10) & 31, m = h & 1023;
    if (e == 31) {
      const uint32_t want = ((h & 0x8000u) << 16) | 0x7F800000u | (uint32_t(m) << 13);
      ASSERT_EQ(bits_of(f), want) << std::hex << h;
    } else {
      ASSERT_EQ(static_cast<double>(f), half_value(static_cast<uint16_t>(h))) << std::hex << h;
      ASSERT_EQ(std::signbit(f), (h & 0x8000u) != 0) << std::hex << h;
    }
  }
}

TEST(HalfToFloat, NamedValues) {
  EXPECT_EQ(half_to_float(0x3C00), 1.0f);
  EXPECT_EQ(half_to_float(0x7BFF), 65504.0f);
  EXPECT_EQ(half_to_float(0x0001), std::ldexp(1.0f, -24));
  EXPECT_EQ(bits_of(half_to_float(0x8000)), 0x80000000u);
  EXPECT_EQ(half_to_float(0x7C00), INFINITY);
  EXPECT_EQ(half_to_float(0xFC00), -INFINITY);
  // signalling NaN: payload moved up 13 bits, quiet bit still clear
  EXPECT_EQ(bits_of(half_to_float(0x7D00)), 0x7F800000u | (0x100u << 13));
}

TEST(FloatToHalf, InvertsHalfToFloat) {
  for (uint32_t h = 0; h < 65536; ++h) {
    if (((h >> 10) & 31) == 31 && (h & 1023)) continue;  // NaN payloads need not survive
    ASSERT_EQ(olvt::float_to_half(half_to_float(static_cast<uint16_t>(h))), h) << std::hex << h;
  }
  EXPECT_EQ(olvt::float_to_half(65520.0f), 0x7C00);  // the tie above the largest half rounds up
  EXPECT_EQ(olvt::float_to_half(std::ldexp(1.0f, -25)), 0x0000);  // tie to even: zero
  EXPECT_EQ(olvt::float_to_half(std::ldexp(1.5f, -25)), 0x0001);
}

}  // namespace
