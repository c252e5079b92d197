// Storage for large attribute arrays. Meshes are rebuilt whenever the host re-sends a
// definition, and each rebuild frees arrays of megabytes and asks for arrays of about the
// same size right after. Memory the system hands out fresh costs far more than the copy
// into it, so freed large blocks are kept (up to a bound) and handed out again.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
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

// A run of bytes that copies of it share. The holder count is atomic, so a render snapshot
// may take a reference under the engine's lock and drop it later on a worker. Storage that
// more than one holder sees is never written: a writer asks for writable() first, which
// gives it a fresh block when the present one is shared.
//
// Every block ends in some zeroed bytes past its size, so that vector loads of its last
// element (the ray-query library reads vertices that way) stay inside the block.
class SharedBytes {
public:
    static constexpr std::size_t kSlack = 16;

    SharedBytes() noexcept = default;
    // `size` bytes, uninitialised (none at all for 0); throws std::bad_alloc.
    explicit SharedBytes(std::size_t size);
    SharedBytes(const SharedBytes& other) noexcept : mBlock(other.mBlock) { retain(); }
    SharedBytes(SharedBytes&& other) noexcept : mBlock(other.mBlock) { other.mBlock = nullptr; }
    SharedBytes& operator=(const SharedBytes& other) noexcept {
        SharedBytes copy(other);
        swap(copy);
        return *this;
    }
    SharedBytes& operator=(SharedBytes&& other) noexcept {
        SharedBytes moved(std::move(other));
        swap(moved);
        return *this;
    }
    ~SharedBytes() { release(); }

    void swap(SharedBytes& other) noexcept { std::swap(mBlock, other.mBlock); }
    std::size_t size() const noexcept { return mBlock ? mBlock->size : 0; }
    bool empty() const noexcept { return size() == 0; }
    // Null for an empty run.
    const unsigned char* data() const noexcept { return mBlock ? Bytes(mBlock) : nullptr; }
    // Whether another holder sees the same block.
    bool shared() const noexcept;
    // The same block as other's (not merely equal bytes).
    bool sameBlock(const SharedBytes& other) const noexcept { return mBlock == other.mBlock; }
    bool equals(const void* bytes, std::size_t size) const noexcept;
    bool operator==(const SharedBytes& other) const noexcept {
        return sameBlock(other) || equals(other.data(), other.size());
    }
    bool operator!=(const SharedBytes& other) const noexcept { return !(*this == other); }

    // Storage of `size` bytes that this holder alone sees: the present block when it is
    // unshared and of that size, else a fresh one (uninitialised); null for 0. Throws
    // std::bad_alloc.
    unsigned char* writable(std::size_t size);

private:
    struct Block {
        std::atomic<std::size_t> holders;
        std::size_t size;
    };
    static_assert(sizeof(Block) % 16 == 0, "the bytes after the header keep the heap's alignment");
    static unsigned char* Bytes(Block* b) noexcept { return reinterpret_cast<unsigned char*>(b + 1); }
    void retain() noexcept {
        if (mBlock) mBlock->holders.fetch_add(1, std::memory_order_relaxed);
    }
    void release() noexcept;

    Block* mBlock = nullptr;
};

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
