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
// floats.

#include <cstddef>
#include <cstdint>
#include <cstring>

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

FloatKey KeyOf(float value);

inline bool operator==(const FloatKey& a, const FloatKey& b) { return a.magnitude == b.magnitude && a.tag == b.tag; }
inline bool operator!=(const FloatKey& a, const FloatKey& b) { return !(a == b); }

// A position, or a position with its smoothing surface (surface stays 0 for plain
// positions). Concatenated renderings cannot run into each other, since every finite
// rendering ends six digits after its point, so comparing part by part is the same as
// comparing the concatenated text.
struct CornerKey {
  std::uint64_t magnitude[3];
  std::uint32_t tags;  // tag of x, y, z in bytes 0, 1, 2
  std::int32_t surface;
};

CornerKey PositionKey(float x, float y, float z);
CornerKey NormalKey(const CornerKey& position, std::int32_t surface);

inline bool operator==(const CornerKey& a, const CornerKey& b) {
  return a.magnitude[0] == b.magnitude[0] && a.magnitude[1] == b.magnitude[1] && a.magnitude[2] == b.magnitude[2] &&
         a.tags == b.tags && a.surface == b.surface;
}

inline std::uint64_t Mix(std::uint64_t h) {
  h *= 0x9E3779B97F4A7C15ull;
  return h ^ (h >> 29);
}

struct CornerKeyHash {
  std::size_t operator()(const CornerKey& key) const {
    std::uint64_t h = Mix(key.magnitude[0] ^ 0x6A09E667F3BCC908ull);
    h = Mix(h ^ key.magnitude[1]);
    h = Mix(h ^ key.magnitude[2]);
    h = Mix(h ^ (key.tags | (static_cast<std::uint64_t>(static_cast<std::uint32_t>(key.surface)) << 32)));
    return static_cast<std::size_t>(h ^ (h >> 32));
  }
};

}  // namespace StreamKeys
}  // namespace Zarnik
