#pragma once

// Storage for the geometry stream's large arrays. A mesh of a million corners fills tens of
// megabytes within a fraction of a second, and handing that memory over page by page
// costs more than the work done in it. Blocks of a megabyte and more are therefore mapped
// on their own, aligned for large pages, and the system is asked to back them with large
// pages where it can; smaller blocks come from the ordinary heap.

#include <cstddef>
#include <new>
#include <vector>

namespace Zarnik {

void* AllocateLarge(std::size_t bytes);  // throws std::bad_alloc
void FreeLarge(void* block, std::size_t bytes) noexcept;

template <class T>
struct LargeAllocator {
  using value_type = T;

  LargeAllocator() = default;
  template <class U>
  LargeAllocator(const LargeAllocator<U>&) {}

  T* allocate(std::size_t count) {
    if (count > static_cast<std::size_t>(-1) / sizeof(T)) throw std::bad_alloc();
    return static_cast<T*>(AllocateLarge(count * sizeof(T)));
  }
  void deallocate(T* block, std::size_t count) noexcept { FreeLarge(block, count * sizeof(T)); }
};

template <class T, class U>
bool operator==(const LargeAllocator<T>&, const LargeAllocator<U>&) {
  return true;
}
template <class T, class U>
bool operator!=(const LargeAllocator<T>&, const LargeAllocator<U>&) {
  return false;
}

template <class T>
using LargeVector = std::vector<T, LargeAllocator<T>>;

}  // namespace Zarnik
