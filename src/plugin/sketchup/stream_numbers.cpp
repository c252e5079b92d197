#include "sketchup/stream_numbers.h"

#include <cmath>
#include <limits>

namespace Zarnik {
namespace StreamNumbers {

bool immediate_floats_verified = false;

bool VerifyImmediateFloats() {
  immediate_floats_verified = false;
  static const double kSamples[] = {0.0,
                                    -0.0,
                                    1.0,
                                    -1.0,
                                    0.1,
                                    -2.25,
                                    39.3701,
                                    -123456.789,
                                    1e-30,
                                    -3e30,
                                    1e70,
                                    std::numeric_limits<double>::min(),
                                    1.0 / 3.0};
  for (const double sample : kSamples) {
    const VALUE value = rb_float_new(sample);
    if (!RB_FLONUM_P(value)) continue;  // kept on the heap: read by Ruby anyway
    const double ours = DecodeImmediateFloat(value);
    const double ruby = rb_float_value(value);
    if (__builtin_memcmp(&ours, &ruby, sizeof ours) != 0) return false;
  }
  immediate_floats_verified = true;
  return true;
}

}  // namespace StreamNumbers
}  // namespace Zarnik
