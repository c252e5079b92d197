#include "sketchup/index_table.h"

namespace Zarnik {

namespace {

constexpr unsigned kMinBits = 6;
// Tables above this many slots are freed rather than wiped when the stream empties.
constexpr std::size_t kKeptSlots = std::size_t{1} << 15;

}  // namespace

void IndexTable::Clear() {
  count_ = 0;
  if (slots_.size() > kKeptSlots) {
    LargeVector<std::uint64_t>().swap(slots_);
    shift_ = 32;
    return;
  }
  for (std::uint64_t& slot : slots_) slot = 0;
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
