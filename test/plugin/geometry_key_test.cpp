// The merge key must decide exactly as comparing std::to_string renderings would.

#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <string>

#include "sketchup/position_key.h"

namespace Zarnik {
namespace {

using StreamKeys::KeyOf;

float FromBits(std::uint32_t bits) {
  float value;
  std::memcpy(&value, &bits, sizeof value);
  return value;
}

std::uint32_t BitsOf(float value) {
  std::uint32_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  return bits;
}

// The rule the key stands for.
bool SameRendering(float a, float b) { return std::to_string(a) == std::to_string(b); }
bool SameKey(float a, float b) { return KeyOf(a) == KeyOf(b); }

::testing::AssertionResult Agrees(float a, float b) {
  if (SameKey(a, b) == SameRendering(a, b)) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "bits " << std::hex << BitsOf(a) << " and " << BitsOf(b) << ": renderings \""
                                       << std::to_string(a) << "\" and \"" << std::to_string(b) << "\", keys "
                                       << (SameKey(a, b) ? "equal" : "different");
}

// Walks `count` consecutive floats upward from `start` (same sign), comparing neighbours.
// Both the rendering and the key are monotonic in the magnitude, so agreement between
// neighbours means agreement between any two floats of the walk.
int DisagreementsInWalk(std::uint32_t start, std::uint32_t count) {
  int failures = 0;
  for (std::uint32_t i = 0; i + 1 < count; ++i) {
    const float a = FromBits(start + i);
    const float b = FromBits(start + i + 1);
    if (!Agrees(a, b)) {
      ADD_FAILURE() << Agrees(a, b).message();
      if (++failures > 5) break;
    }
  }
  return failures;
}

TEST(MergeKeyTest, SignedZerosAndTinyValues) {
  EXPECT_FALSE(SameKey(0.0f, -0.0f));
  // Values that round to zero keep their sign: a tiny negative is a negative zero.
  EXPECT_TRUE(SameKey(-1e-9f, -0.0f));
  EXPECT_TRUE(SameKey(-4.9e-7f, -0.0f));
  EXPECT_TRUE(SameKey(1e-9f, 0.0f));
  EXPECT_TRUE(SameKey(FromBits(1), 0.0f));             // smallest subnormal
  EXPECT_TRUE(SameKey(FromBits(0x80000001u), -0.0f));
  EXPECT_FALSE(SameKey(-1e-9f, 1e-9f));
  EXPECT_FALSE(SameKey(5.1e-7f, 0.0f));                // rounds up to one millionth
  for (float v : {0.0f, -0.0f, -1e-9f, 5.1e-7f, -5.1e-7f}) {
    EXPECT_TRUE(Agrees(v, 0.0f));
    EXPECT_TRUE(Agrees(v, -0.0f));
  }
}

TEST(MergeKeyTest, TiesRoundToEven) {
  // Odd multiples of 1/128 end in a 5 at the seventh decimal: printf rounds them to even.
  const float one = 1.0f / 128;     // 0.0078125 -> 0.007812
  const float three = 3.0f / 128;   // 0.0234375 -> 0.023438
  EXPECT_EQ(std::to_string(one), "0.007812");
  EXPECT_EQ(std::to_string(three), "0.023438");
  EXPECT_TRUE(SameKey(one, 0.007812f));
  EXPECT_FALSE(SameKey(one, 0.007813f));
  EXPECT_TRUE(SameKey(three, 0.023438f));
  EXPECT_FALSE(SameKey(three, 0.023437f));
  // The float just above a tie is no tie and rounds up.
  EXPECT_FALSE(SameKey(one, std::nextafter(one, 1.0f)));
  EXPECT_TRUE(SameKey(std::nextafter(one, 1.0f), 0.007813f));

  // Every tie, with its neighbours, over a range of magnitudes and both signs.
  int failures = 0;
  for (std::uint32_t j = 1; j < (1u << 20) && failures == 0; j += 2) {
    for (float sign : {1.0f, -1.0f}) {
      const float tie = sign * static_cast<float>(j) / 128.0f;
      if (static_cast<double>(tie) * 128.0 != sign * static_cast<double>(j)) continue;  // not exact in a float
      const float below = std::nextafter(tie, 0.0f);
      const float above = std::nextafter(tie, sign * 2e9f);
      if (!Agrees(below, tie) || !Agrees(tie, above)) ++failures;
    }
  }
  EXPECT_EQ(failures, 0);
}

TEST(MergeKeyTest, LargeValuesNaNsAndInfinities) {
  const float big = std::ldexp(1.0f, 43);  // from here on every float prints exactly
  EXPECT_TRUE(Agrees(big, std::nextafter(big, 0.0f)));
  EXPECT_TRUE(Agrees(big, std::nextafter(big, FLT_MAX)));
  EXPECT_FALSE(SameKey(big, std::nextafter(big, FLT_MAX)));
  EXPECT_TRUE(SameKey(FLT_MAX, FLT_MAX));
  EXPECT_FALSE(SameKey(FLT_MAX, -FLT_MAX));
  EXPECT_TRUE(Agrees(FLT_MAX, std::nextafter(FLT_MAX, 0.0f)));

  const float inf = std::numeric_limits<float>::infinity();
  EXPECT_TRUE(SameKey(inf, inf));
  EXPECT_FALSE(SameKey(inf, -inf));
  EXPECT_FALSE(SameKey(inf, FLT_MAX));
  EXPECT_TRUE(Agrees(inf, -inf));

  // NaNs print as "nan" or "-nan" whatever their payload.
  const float nan = FromBits(0x7FC00000u);
  const float other_nan = FromBits(0x7F800001u);
  const float negative_nan = FromBits(0xFFC00000u);
  EXPECT_TRUE(SameKey(nan, other_nan));
  EXPECT_FALSE(SameKey(nan, negative_nan));
  EXPECT_FALSE(SameKey(nan, inf));
  EXPECT_TRUE(Agrees(nan, other_nan));
  EXPECT_TRUE(Agrees(nan, negative_nan));
  EXPECT_TRUE(Agrees(negative_nan, FromBits(0xFF800123u)));
}

TEST(MergeKeyTest, WalksThroughCriticalRanges) {
  const float starts[] = {
      0.0f,                                   // subnormals
      4.9e-7f, 9.9e-7f, 1.5e-6f,               // first rounding boundaries
      0.001f, 0.25f, 1.0f, 3.1415f, 100.0f,
      std::ldexp(1.0f, 17) - 1.0f,            // where every float starts to print exactly
      std::ldexp(1.0f, 43) * (1.0f - 1e-4f),  // where the key switches to the float's bits
      FLT_MAX / 2.0f,
  };
  for (float start : starts) {
    for (float sign : {1.0f, -1.0f}) {
      EXPECT_EQ(DisagreementsInWalk(BitsOf(sign * start), 200000), 0) << "walk from " << sign * start;
    }
  }
}

TEST(MergeKeyTest, AgreesWithRenderingOnRandomFloats) {
  std::mt19937 random(20240613u);
  std::uniform_int_distribution<std::uint32_t> any_bits;
  std::uniform_real_distribution<float> metres(-100.0f, 100.0f);
  std::uniform_int_distribution<int> steps(1, 40);
  int failures = 0;
  for (int i = 0; i < 1000000 && failures < 5; ++i) {
    // Any float at all, against its neighbours.
    const float x = FromBits(any_bits(random));
    if (!Agrees(x, std::nextafter(x, FLT_MAX)) || !Agrees(x, std::nextafter(x, -FLT_MAX))) ++failures;
    // Model-sized coordinates against a float a few steps away, often in the same millionth.
    const float m = metres(random);
    std::uint32_t near_bits = BitsOf(m) + static_cast<std::uint32_t>(steps(random));
    if (!Agrees(m, FromBits(near_bits))) ++failures;
  }
  EXPECT_EQ(failures, 0);
}

TEST(MergeKeyTest, PositionKeysCompareComponentWise) {
  using StreamKeys::HashOf;
  using StreamKeys::KeyOfPosition;
  EXPECT_TRUE(KeyOfPosition(0.25f, -1.0f, -0.0f) == KeyOfPosition(0.25f, -1.0f, -1e-9f));
  EXPECT_FALSE(KeyOfPosition(0.25f, -1.0f, -0.0f) == KeyOfPosition(0.25f, -1.0f, 0.0f));
  // Same magnitudes in other places are other positions.
  EXPECT_FALSE(KeyOfPosition(1.0f, 2.0f, 3.0f) == KeyOfPosition(2.0f, 1.0f, 3.0f));
  EXPECT_FALSE(KeyOfPosition(1.0f, -2.0f, 3.0f) == KeyOfPosition(-1.0f, 2.0f, 3.0f));
  EXPECT_EQ(HashOf(KeyOfPosition(1.0f, 2.0f, 3.0f)), HashOf(KeyOfPosition(1.0f, 2.0f, 3.0f)));
}

}  // namespace
}  // namespace Zarnik
