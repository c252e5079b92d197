#pragma once

// An open-addressing table from corner keys to non-negative ints: the merge tables of the
// geometry stream, which see one lookup per streamed corner and so must not allocate per
// entry or chase pointers.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "sketchup/position_key.h"

namespace Zarnik {

class CornerTable {
 public:
  CornerTable() = default;

  std::size_t size() const { return count_; }

  // The value stored for key, or null. The pointer lives until the next insertion.
  const std::int32_t* Find(const StreamKeys::CornerKey& key) const;

  // Stores value under key unless the key is present. Answers the slot's value (the old
  // one when the key was there) and whether it was inserted.
  std::int32_t* FindOrInsert(const StreamKeys::CornerKey& key, std::int32_t value, bool& inserted);

  // Makes room for `expected` keys without rehashing.
  void Reserve(std::size_t expected);

  // Forgets every key; a large table also gives its memory back.
  void Clear();

 private:
  struct Slot {
    StreamKeys::CornerKey key;
    std::int32_t value;  // -1 marks an empty slot
  };

  std::size_t IndexFor(const StreamKeys::CornerKey& key) const {
    return StreamKeys::CornerKeyHash()(key) & (slots_.size() - 1);
  }
  void Rehash(std::size_t capacity);

  std::vector<Slot> slots_;  // size is zero or a power of two
  std::size_t count_ = 0;
};

}  // namespace Zarnik
