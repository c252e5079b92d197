#include "block_cache.h"

#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <vector>

namespace Zarnik {
namespace Engine {
namespace BlockCache {

namespace {

// Smaller blocks are the heap's business.
constexpr std::size_t kCachedFrom = std::size_t{1} << 20;
// The most that freed blocks may hold at once.
constexpr std::size_t kKeptLimit = std::size_t{128} << 20;

// Large sizes are rounded up to steps of an eighth of their power of two, so that a block
// serves any request of its class, wasting at most an eighth.
std::size_t ClassOf(std::size_t bytes) {
    int top = 63 - __builtin_clzll(static_cast<unsigned long long>(bytes));
    const std::size_t step = std::size_t{1} << (top - 3);
    return (bytes + step - 1) & ~(step - 1);
}

struct Cache {
    std::mutex mutex;
    std::map<std::size_t, std::vector<void*>> free_blocks;  // by class size
    std::size_t kept = 0;
};

Cache& State() {
    // Never destroyed: attribute arrays may be freed while the process exits.
    static Cache* cache = new Cache();
    return *cache;
}

}  // namespace

void* Allocate(std::size_t bytes) {
    if (bytes < kCachedFrom) {
        void* block = std::malloc(bytes == 0 ? 1 : bytes);
        if (!block) throw std::bad_alloc();
        return block;
    }
    const std::size_t size = ClassOf(bytes);
    if (size < bytes) throw std::bad_alloc();
    {
        Cache& cache = State();
        std::lock_guard<std::mutex> lock(cache.mutex);
        auto found = cache.free_blocks.find(size);
        if (found != cache.free_blocks.end() && !found->second.empty()) {
            void* block = found->second.back();
            found->second.pop_back();
            cache.kept -= size;
            return block;
        }
    }
    void* block = std::malloc(size);
    if (!block) throw std::bad_alloc();
    return block;
}

void Release(void* block, std::size_t bytes) noexcept {
    if (!block) return;
    if (bytes >= kCachedFrom) {
        const std::size_t size = ClassOf(bytes);
        Cache& cache = State();
        std::lock_guard<std::mutex> lock(cache.mutex);
        if (cache.kept + size <= kKeptLimit) {
            try {
                cache.free_blocks[size].push_back(block);
                cache.kept += size;
                return;
            } catch (...) {
                // No room to remember it: give it back below.
            }
        }
    }
    std::free(block);
}

void Trim() noexcept {
    Cache& cache = State();
    std::lock_guard<std::mutex> lock(cache.mutex);
    for (auto& entry : cache.free_blocks) {
        for (void* block : entry.second) std::free(block);
    }
    cache.free_blocks.clear();
    cache.kept = 0;
}

std::size_t KeptBytes() noexcept {
    Cache& cache = State();
    std::lock_guard<std::mutex> lock(cache.mutex);
    return cache.kept;
}

}  // namespace BlockCache

SharedBytes::SharedBytes(std::size_t size) {
    if (size == 0) return;
    if (size > static_cast<std::size_t>(-1) / 2) throw std::bad_alloc();
    void* raw = BlockCache::Allocate(sizeof(Block) + size + kSlack);
    mBlock = ::new (raw) Block{{1}, size};
    std::memset(Bytes(mBlock) + size, 0, kSlack);
}

bool SharedBytes::shared() const noexcept {
    if (!mBlock) return false;
    if (mBlock->holders.load(std::memory_order_relaxed) > 1) return true;
    // The last other holder let go, maybe on a worker that read the bytes just before:
    // those reads come before any write that follows here.
    std::atomic_thread_fence(std::memory_order_acquire);
    return false;
}

bool SharedBytes::equals(const void* bytes, std::size_t count) const noexcept {
    if (count != size()) return false;
    return count == 0 || std::memcmp(data(), bytes, count) == 0;
}

unsigned char* SharedBytes::writable(std::size_t size) {
    if (size == 0) {
        release();
        return nullptr;
    }
    if (mBlock && mBlock->size == size && !shared()) return Bytes(mBlock);
    SharedBytes fresh(size);
    swap(fresh);
    return Bytes(mBlock);
}

void SharedBytes::release() noexcept {
    if (!mBlock) return;
    if (mBlock->holders.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        const std::size_t bytes = sizeof(Block) + mBlock->size + kSlack;
        mBlock->~Block();
        BlockCache::Release(mBlock, bytes);
    }
    mBlock = nullptr;
}

}  // namespace Engine
}  // namespace Zarnik
