// Storage for large attribute arrays. Meshes are rebuilt whenever the host re-sends a
// definition, and each rebuild frees arrays of megabytes and asks for arrays of about the
// same size right after. Memory the system hands out fresh costs far more than the copy
// into it, so freed large blocks are kept (up to a bound) and handed out again.
#pragma once

#include <cstddef>
#include <new>
#include <utility>

namespace Zarnik {
namespace Engine {
namespace BlockCache {

// At least `bytes` of uninitialised storage; throws std::bad_alloc.
void* Allocate(std::size_t bytes);
// `bytes` must be what the block was asked for with.
void Release(void* block, std::size_t bytes) noexcept;
// Gives every kept block back to the system.
void Trim() noexcept;
// What is kept now, in bytes (for tests).
std::size_t KeptBytes() noexcept;

}  // namespace BlockCache

// Allocator of raw attribute storage: large blocks through the cache, and new elements left
// uninitialised (storage is always written right after it grows, and zeroing a large mesh
// array first would touch every page twice).
template <typename T>
struct RawAllocator {
    using value_type = T;
    RawAllocator() = default;
    template <typename U>
    RawAllocator(const RawAllocator<U>&) noexcept {}

    T* allocate(std::size_t count) {
        if (count > static_cast<std::size_t>(-1) / sizeof(T)) throw std::bad_alloc();
        return static_cast<T*>(BlockCache::Allocate(count * sizeof(T)));
    }
    void deallocate(T* block, std::size_t count) noexcept { BlockCache::Release(block, count * sizeof(T)); }

    template <typename U>
    void construct(U* p) noexcept {
        ::new (static_cast<void*>(p)) U;
    }
    template <typename U, typename... Args>
    void construct(U* p, Args&&... args) {
        ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
    }
};

template <typename T, typename U>
bool operator==(const RawAllocator<T>&, const RawAllocator<U>&) {
    return true;
}
template <typename T, typename U>
bool operator!=(const RawAllocator<T>&, const RawAllocator<U>&) {
    return false;
}

}  // namespace Engine
}  // namespace Zarnik
