#pragma once

// Keys under which streamed corners are merged.
//
// Two positions are the same vertex exactly when every coordinate, in metres, prints the
// same with six decimals ("%f", as std::to_string writes it): a resolution of one
// micrometre, where a negative zero (and any tiny negative value that rounds to zero) keeps
// its minus sign and so stays apart from a positive zero, and NaNs print as "nan" or "-nan"
// whatever their payload. A corner's normal is shared by the corners that have the same
// position key and the same smoothing-surface id.
//
// Formatting text for every coordinate of every corner is far too slow for a stream that
// arrives one Ruby call at a time, so the rendering is reproduced as an integer instead:
// the sign, the kind of number, and the magnitude in millionths rounded as printf rounds
// (to nearest, ties to even, on the float's exact binary value). Equal keys mean equal
// renderings and the other way round; the unit tests compare the two across millions of
// floats. A normal's key is its position's and the surface id's text run together, which
// likewise compares part by part.

#include <cstddef>
#include <cstdint>

namespace Zarnik {
namespace StreamKeys {

// What the six-decimal rendering of one float depends on.
struct FloatKey {
  // Finite: the magnitude in millionths, rounded. Exact: the float's magnitude bits.
  std::uint64_t magnitude;
  // Kind (low bits) and sign (kSignBit).
  std::uint8_t tag;
};

enum : std::uint8_t {
  kFinite = 0,    // below 2^43: printed as magnitude / 10^6 with six decimals
  kExact = 1,     // 2^43 and above: an integer that prints exactly, so the bits decide
  kInfinity = 2,
  kNaN = 3,       // payload ignored: every NaN of one sign prints the same
  kSignBit = 0x80,
};

// The builtin, not memcpy: Ruby's headers redefine that name in files that include them.
inline std::uint32_t FloatBits(float value) {
  std::uint32_t bits;
  __builtin_memcpy(&bits, &value, sizeof bits);
  return bits;
}

inline FloatKey KeyOf(float value) {
  const std::uint32_t bits = FloatBits(value);
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

inline bool operator==(const FloatKey& a, const FloatKey& b) { return a.magnitude == b.magnitude && a.tag == b.tag; }
inline bool operator!=(const FloatKey& a, const FloatKey& b) { return !(a == b); }

// A position's three renderings. Concatenated renderings cannot run into each other, since
// every finite rendering ends six digits after its point, so comparing part by part is
// the same as comparing the concatenated text.
struct PositionKey {
  std::uint64_t magnitude[3];
  std::uint32_t tags;  // tag of x, y, z in bytes 0, 1, 2
};

inline PositionKey KeyOfPosition(float x, float y, float z) {
  const FloatKey kx = KeyOf(x);
  const FloatKey ky = KeyOf(y);
  const FloatKey kz = KeyOf(z);
  PositionKey key;
  key.magnitude[0] = kx.magnitude;
  key.magnitude[1] = ky.magnitude;
  key.magnitude[2] = kz.magnitude;
  key.tags = static_cast<std::uint32_t>(kx.tag) | (static_cast<std::uint32_t>(ky.tag) << 8) |
             (static_cast<std::uint32_t>(kz.tag) << 16);
  return key;
}

inline bool operator==(const PositionKey& a, const PositionKey& b) {
  return a.magnitude[0] == b.magnitude[0] && a.magnitude[1] == b.magnitude[1] && a.magnitude[2] == b.magnitude[2] &&
         a.tags == b.tags;
}
inline bool operator!=(const PositionKey& a, const PositionKey& b) { return !(a == b); }

inline std::uint64_t Mix(std::uint64_t h) {
  h *= 0x9E3779B97F4A7C15ull;
  return h ^ (h >> 29);
}

inline std::uint64_t HashOf(const PositionKey& key) {
  std::uint64_t h = Mix(key.magnitude[0] ^ 0x6A09E667F3BCC908ull);
  h = Mix(h ^ key.magnitude[1]);
  h = Mix(h ^ key.magnitude[2]);
  return Mix(h ^ key.tags) * 0xD6E8FEB86659FD93ull;
}

inline std::uint64_t HashOf(std::uint64_t key) { return Mix(Mix(key ^ 0xBB67AE8584CAA73Bull)) * 0xD6E8FEB86659FD93ull; }

}  // namespace StreamKeys
}  // namespace Zarnik
