#pragma once

// Number conversions for the geometry stream's per-corner methods, which Ruby calls
// millions of times for one large mesh. Ruby's own NUM2DBL and NUM2INT are calls into the
// interpreter; here the common cases are read in place and everything else goes to them,
// so answers and errors stay exactly Ruby's.
//
// Small Integers are read through Ruby's public inline accessors. Most Floats are immediate
// values whose 64 bits hold the double rotated and retagged; that layout is not part of
// Ruby's public headers, so it is used only after VerifyImmediateFloats has compared it
// with Ruby's own reading on a set of values.

#include "application/ruby_bridge.h"  // ruby.h with the extension's settings

#include <climits>
#include <cstdint>

namespace Zarnik {
namespace StreamNumbers {

static_assert(sizeof(VALUE) == 8, "immediate Floats exist only where a Ruby value has 64 bits");

// True once the immediate-Float layout has been checked against Ruby's reading.
extern bool immediate_floats_verified;

// Compares the layout with Ruby's reading on a set of values and sets the flag; false
// (and the flag cleared) when any value reads differently.
bool VerifyImmediateFloats();

inline double DecodeImmediateFloat(VALUE value) {
  // The immediate zero has a form of its own.
  if (value == static_cast<VALUE>(0x8000000000000002ull)) return 0.0;
  const VALUE high_bit = value >> 63;
  const VALUE rotated = (2 - high_bit) | (value & ~static_cast<VALUE>(3));
  const std::uint64_t bits = (static_cast<std::uint64_t>(rotated) >> 3) | (static_cast<std::uint64_t>(rotated) << 61);
  double result;
  __builtin_memcpy(&result, &bits, sizeof result);
  return result;
}

// NUM2DBL, read in place for immediate Floats.
inline double ToDouble(VALUE value) {
  if (RB_FLONUM_P(value) && immediate_floats_verified) return DecodeImmediateFloat(value);
  return NUM2DBL(value);
}

// The same, taken on to single precision, as the stream keeps its numbers.
inline float ToFloat(VALUE value) { return static_cast<float>(ToDouble(value)); }

// NUM2INT, read in place for small Integers that fit.
inline std::int32_t ToInt(VALUE value) {
  if (RB_FIXNUM_P(value)) {
    const long number = RB_FIX2LONG(value);
    if (number >= INT_MIN && number <= INT_MAX) return static_cast<std::int32_t>(number);
  }
  return NUM2INT(value);
}

}  // namespace StreamNumbers
}  // namespace Zarnik
