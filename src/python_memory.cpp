#include "python_memory.hpp"

#include <Python.h>

#include <cstddef>
#include <mutex>
#include <new>

namespace pelvar {
namespace {

// A few sample blocks given back by their owners, kept for the next events:
// the events of a file mostly have one size, and an allocator that maps every
// large block afresh (musl's does above about 128 KiB) would otherwise fault
// its pages in again for every event. Bounded in count and bytes; owners may
// be freed on any thread, so it has a lock of its own.
class RecycledBlocks {
public:
    static constexpr std::size_t smallest = 1024;  // below: the allocator is as quick
    static constexpr std::size_t slots = 8;
    static constexpr std::size_t budget = std::size_t{1} << 20;

    void* take(std::size_t bytes) noexcept {
        if (bytes < smallest || bytes > budget) {
            return nullptr;
        }
        std::lock_guard<std::mutex> lock(mutex_);
        for (std::size_t i = count_; i-- != 0;) {
            if (slot_[i].bytes == bytes) {
                void* block = slot_[i].block;
                slot_[i] = slot_[--count_];
                held_ -= bytes;
                return block;
            }
        }
        return nullptr;
    }

    // False when the block is not kept: the caller frees it.
    bool keep(void* block, std::size_t bytes) noexcept {
        if (bytes < smallest || bytes > budget) {
            return false;
        }
        std::lock_guard<std::mutex> lock(mutex_);
        if (count_ == slots || held_ + bytes > budget) {
            return false;
        }
        slot_[count_++] = Slot{block, bytes};
        held_ += bytes;
        return true;
    }

private:
    struct Slot {
        void* block;
        std::size_t bytes;
    };
    std::mutex mutex_;
    Slot slot_[slots]{};
    std::size_t count_ = 0;
    std::size_t held_ = 0;  // bytes in slot_
};

// Never destroyed: an array may be freed, and its block kept, on a thread
// that still runs while the process exits. Made in static storage, so that
// the first use cannot fail.
RecycledBlocks& recycled_blocks() noexcept {
    alignas(RecycledBlocks) static std::byte storage[sizeof(RecycledBlocks)];
    static RecycledBlocks* const blocks = ::new (static_cast<void*>(storage)) RecycledBlocks;
    return *blocks;
}

}  // namespace

const Allocator python_raw_allocator{
    [](std::size_t n) {
        if (void* block = recycled_blocks().take(n)) {
            return block;
        }
        return PyMem_RawMalloc(n);
    },
    [](void* p, std::size_t n) { return PyMem_RawRealloc(p, n); },
    [](void* p) { PyMem_RawFree(p); },
};

bool keep_raw_block(void* block, std::size_t bytes) noexcept { return recycled_blocks().keep(block, bytes); }

BlockPool& batch_block_pool() {
    static BlockPool* const pool = new BlockPool(&python_raw_allocator);
    return *pool;
}

}  // namespace pelvar
