#include "sketchup/corner_table.h"

namespace Zarnik {

namespace {

constexpr std::size_t kMinCapacity = 64;
// Tables above this many slots are freed rather than wiped when the stream empties.
constexpr std::size_t kKeptCapacity = 1u << 14;

std::size_t CapacityFor(std::size_t keys) {
  std::size_t capacity = kMinCapacity;
  while (capacity < keys * 2) capacity *= 2;  // at most half full
  return capacity;
}

}  // namespace

const std::int32_t* CornerTable::Find(const StreamKeys::CornerKey& key) const {
  if (slots_.empty()) return nullptr;
  const std::size_t mask = slots_.size() - 1;
  for (std::size_t i = IndexFor(key);; i = (i + 1) & mask) {
    const Slot& slot = slots_[i];
    if (slot.value < 0) return nullptr;
    if (slot.key == key) return &slot.value;
  }
}

std::int32_t* CornerTable::FindOrInsert(const StreamKeys::CornerKey& key, std::int32_t value, bool& inserted) {
  if ((count_ + 1) * 2 > slots_.size()) Rehash(CapacityFor(count_ + 1));
  const std::size_t mask = slots_.size() - 1;
  for (std::size_t i = IndexFor(key);; i = (i + 1) & mask) {
    Slot& slot = slots_[i];
    if (slot.value < 0) {
      slot.key = key;
      slot.value = value;
      ++count_;
      inserted = true;
      return &slot.value;
    }
    if (slot.key == key) {
      inserted = false;
      return &slot.value;
    }
  }
}

void CornerTable::Reserve(std::size_t expected) {
  if (expected * 2 > slots_.size()) Rehash(CapacityFor(expected));
}

void CornerTable::Clear() {
  count_ = 0;
  if (slots_.size() > kKeptCapacity) {
    std::vector<Slot>().swap(slots_);
    return;
  }
  for (Slot& slot : slots_) slot.value = -1;
}

void CornerTable::Rehash(std::size_t capacity) {
  std::vector<Slot> old(capacity, Slot{StreamKeys::CornerKey{}, -1});
  old.swap(slots_);
  const std::size_t mask = slots_.size() - 1;
  for (const Slot& slot : old) {
    if (slot.value < 0) continue;
    std::size_t i = IndexFor(slot.key);
    while (slots_[i].value >= 0) i = (i + 1) & mask;
    slots_[i] = slot;
  }
}

}  // namespace Zarnik
