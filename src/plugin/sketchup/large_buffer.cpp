#include "sketchup/large_buffer.h"

#include <sys/mman.h>

#include <cstdint>
#include <cstdlib>

namespace Zarnik {

namespace {

constexpr std::size_t kLargePage = std::size_t{2} << 20;
constexpr std::size_t kMappedFrom = std::size_t{1} << 20;

std::size_t MappedLength(std::size_t bytes) { return (bytes + kLargePage - 1) & ~(kLargePage - 1); }

}  // namespace

void* AllocateLarge(std::size_t bytes) {
  if (bytes < kMappedFrom) {
    void* block = std::malloc(bytes == 0 ? 1 : bytes);
    if (!block) throw std::bad_alloc();
    return block;
  }
  const std::size_t length = MappedLength(bytes);
  if (length < bytes || length + kLargePage < length) throw std::bad_alloc();
  // Map one large page more than needed and keep the aligned part.
  void* mapped = mmap(nullptr, length + kLargePage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (mapped == MAP_FAILED) throw std::bad_alloc();
  const std::uintptr_t start = reinterpret_cast<std::uintptr_t>(mapped);
  const std::uintptr_t aligned = (start + kLargePage - 1) & ~(std::uintptr_t{kLargePage} - 1);
  if (aligned > start) munmap(mapped, aligned - start);
  const std::uintptr_t end = start + length + kLargePage;
  if (end > aligned + length) munmap(reinterpret_cast<void*>(aligned + length), end - (aligned + length));
  madvise(reinterpret_cast<void*>(aligned), length, MADV_HUGEPAGE);  // a hint; without it, small pages
  return reinterpret_cast<void*>(aligned);
}

void FreeLarge(void* block, std::size_t bytes) noexcept {
  if (!block) return;
  if (bytes < kMappedFrom) {
    std::free(block);
    return;
  }
  munmap(block, MappedLength(bytes));
}

}  // namespace Zarnik
