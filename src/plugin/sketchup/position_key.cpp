#include "sketchup/position_key.h"

namespace Zarnik {
namespace StreamKeys {

FloatKey KeyOf(float value) {
  std::uint32_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  const std::uint8_t sign = (bits >> 31) != 0 ? kSignBit : 0;
  const std::uint32_t exponent_bits = (bits >> 23) & 0xFFu;
  const std::uint32_t fraction = bits & 0x7FFFFFu;

  if (exponent_bits == 0xFFu) return FloatKey{0, static_cast<std::uint8_t>(sign | (fraction ? kNaN : kInfinity))};

  // |value| = significand * 2^exponent exactly, and 10^6 = 15625 * 2^6, so
  // |value| * 10^6 = significand * 15625 * 2^(exponent + 6), with the product below 2^38.
  const std::uint64_t significand = exponent_bits ? (fraction | 0x800000u) : fraction;
  const int exponent = exponent_bits ? static_cast<int>(exponent_bits) - 150 : -149;
  const std::uint64_t scaled = significand * 15625u;
  const int shift = exponent + 6;

  if (shift > 25) {
    // From 2^43 up every float is a whole number that prints exactly (and no smaller float
    // prints as much), so two of them print alike only when they are equal.
    return FloatKey{bits & 0x7FFFFFFFu, static_cast<std::uint8_t>(sign | kExact)};
  }
  if (shift >= 0) return FloatKey{scaled << shift, static_cast<std::uint8_t>(sign | kFinite)};

  const int down = -shift;
  // Below one half of a millionth: rounds to zero, ties impossible at this distance.
  if (down >= 40) return FloatKey{0, static_cast<std::uint8_t>(sign | kFinite)};
  std::uint64_t rounded = scaled >> down;
  const std::uint64_t rest = scaled & ((std::uint64_t{1} << down) - 1);
  const std::uint64_t half = std::uint64_t{1} << (down - 1);
  if (rest > half || (rest == half && (rounded & 1u))) ++rounded;
  return FloatKey{rounded, static_cast<std::uint8_t>(sign | kFinite)};
}

CornerKey PositionKey(float x, float y, float z) {
  const FloatKey kx = KeyOf(x);
  const FloatKey ky = KeyOf(y);
  const FloatKey kz = KeyOf(z);
  CornerKey key;
  key.magnitude[0] = kx.magnitude;
  key.magnitude[1] = ky.magnitude;
  key.magnitude[2] = kz.magnitude;
  key.tags = static_cast<std::uint32_t>(kx.tag) | (static_cast<std::uint32_t>(ky.tag) << 8) |
             (static_cast<std::uint32_t>(kz.tag) << 16);
  key.surface = 0;
  return key;
}

CornerKey NormalKey(const CornerKey& position, std::int32_t surface) {
  CornerKey key = position;
  key.surface = surface;
  return key;
}

}  // namespace StreamKeys
}  // namespace Zarnik
