#pragma once

// An open-addressing hash index for the merge tables of the geometry stream, which see a
// lookup per streamed corner. A slot is eight bytes: the upper half of the key's hash and
// the index of the stored item. The items themselves live in the caller's arrays, and the
// caller says whether an item has the key being looked for; the table never holds keys.
// Small slots keep the tables (and the pages the system has to hand over for them) small.

#include <cstddef>
#include <cstdint>
#include "sketchup/large_buffer.h"

namespace Zarnik {

class IndexTable {
 public:
  std::size_t size() const { return count_; }

  // The stored index whose item `same(index)` accepts among those filed under `hash`;
  // -1 when there is none.
  template <class Same>
  std::int32_t Find(std::uint64_t hash, Same&& same) const {
    if (slots_.empty()) return -1;
    const std::uint32_t fingerprint = Fingerprint(hash);
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t i = fingerprint >> shift_;; i = (i + 1) & mask) {
      const std::uint64_t slot = slots_[i];
      if (slot == 0) return -1;
      if (static_cast<std::uint32_t>(slot >> 32) == fingerprint && same(IndexOf(slot))) return IndexOf(slot);
    }
  }

  // Brings the home slot of `hash` towards the cache, for a lookup soon after.
  void Prefetch(std::uint64_t hash) const {
    if (!slots_.empty()) __builtin_prefetch(&slots_[Fingerprint(hash) >> shift_]);
  }

  // As Find; when nothing matches, files `index` under `hash` and answers it.
  template <class Same>
  std::int32_t FindOrInsert(std::uint64_t hash, std::int32_t index, Same&& same, bool& inserted) {
    if ((count_ + 1) * 10 > slots_.size() * 7) Grow();  // at most 70% full
    const std::uint32_t fingerprint = Fingerprint(hash);
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t i = fingerprint >> shift_;; i = (i + 1) & mask) {
      const std::uint64_t slot = slots_[i];
      if (slot == 0) {
        slots_[i] = (static_cast<std::uint64_t>(fingerprint) << 32) | (static_cast<std::uint32_t>(index) + 1u);
        ++count_;
        inserted = true;
        return index;
      }
      if (static_cast<std::uint32_t>(slot >> 32) == fingerprint && same(IndexOf(slot))) {
        inserted = false;
        return IndexOf(slot);
      }
    }
  }

  // Forgets everything; a table far larger than its last use needed gives its memory back.
  void Clear();
  // Forgets everything and gives the memory back.
  void Release();

 private:
  static std::uint32_t Fingerprint(std::uint64_t hash) { return static_cast<std::uint32_t>(hash >> 32); }
  static std::int32_t IndexOf(std::uint64_t slot) {
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(slot) - 1u);
  }
  // Doubles the slots. The home slot is taken from the fingerprint's top bits, so moving
  // needs no hashing.
  void Grow();

  LargeVector<std::uint64_t> slots_;  // 0: empty; size zero or a power of two
  unsigned shift_ = 32;               // 32 - log2(size)
  std::size_t count_ = 0;
};

}  // namespace Zarnik
