#include "sketchup/index_table.h"

#include <algorithm>

namespace Zarnik {

namespace {

constexpr unsigned kMinBits = 6;
// Tables up to this many slots are always kept when emptied.
constexpr std::size_t kKeptSlots = std::size_t{1} << 15;

}  // namespace

void IndexTable::Clear() {
  // Wiping costs the table's size. A table that the last use filled well is kept (the
  // wipe is paid for by that use, and the next use finds its pages ready); one much too
  // large for it is given back, so that many small uses never pay for one large one.
  const bool well_used = slots_.size() <= kKeptSlots || count_ * 8 >= slots_.size();
  count_ = 0;
  if (!well_used) {
    Release();
    return;
  }
  std::fill(slots_.begin(), slots_.end(), std::uint64_t{0});
}

void IndexTable::Release() {
  count_ = 0;
  LargeVector<std::uint64_t>().swap(slots_);
  shift_ = 32;
}

void IndexTable::Grow() {
  const unsigned bits = slots_.empty() ? kMinBits : 32 - shift_ + 1;
  LargeVector<std::uint64_t> grown(std::size_t{1} << bits, 0);
  const unsigned shift = 32 - bits;
  const std::size_t mask = grown.size() - 1;
  for (std::uint64_t slot : slots_) {
    if (slot == 0) continue;
    std::size_t i = static_cast<std::uint32_t>(slot >> 32) >> shift;
    while (grown[i] != 0) i = (i + 1) & mask;
    grown[i] = slot;
  }
  slots_.swap(grown);
  shift_ = shift;
}

}  // namespace Zarnik
