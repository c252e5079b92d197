// The stream's in-place number reads agree with Ruby's own, value for value.

#include <gtest/gtest.h>

#include <climits>
#include <random>

#include "sketchup/stream_numbers.h"

namespace Zarnik {
namespace {

TEST(StreamNumbersTest, ImmediateFloatsReadAsRubyReadsThem) {
  ASSERT_TRUE(StreamNumbers::VerifyImmediateFloats());
  std::mt19937_64 random(7);
  int immediate = 0;
  for (int i = 0; i < 200000; ++i) {
    // Random bit patterns cover every exponent; Ruby keeps some of them on the heap.
    std::uint64_t bits = random();
    double value;
    __builtin_memcpy(&value, &bits, sizeof value);
    const VALUE ruby = rb_float_new(value);
    const double ours = StreamNumbers::ToDouble(ruby);
    const double theirs = rb_float_value(ruby);
    ASSERT_EQ(0, __builtin_memcmp(&ours, &theirs, sizeof ours)) << "bits " << std::hex << bits;
    if (RB_FLONUM_P(ruby)) ++immediate;
  }
  EXPECT_GT(immediate, 1000) << "the in-place road was hardly taken";
}

VALUE ReadInt(VALUE value) { return INT2NUM(StreamNumbers::ToInt(value)); }

TEST(StreamNumbersTest, IntegersKeepRubysRangeChecks) {
  for (long value : {0L, 1L, -1L, static_cast<long>(INT_MAX), static_cast<long>(INT_MIN)}) {
    EXPECT_EQ(value, StreamNumbers::ToInt(LONG2NUM(value)));
  }
  for (long value : {static_cast<long>(INT_MAX) + 1, static_cast<long>(INT_MIN) - 1, LONG_MAX}) {
    int state = 0;
    rb_protect(ReadInt, LONG2NUM(value), &state);
    EXPECT_NE(0, state) << value << " must raise";
    rb_set_errinfo(Qnil);
  }
}

}  // namespace
}  // namespace Zarnik
