// Blocks that batches gave back, kept for the batches still to be read.
//
// A batch's columns are large; an allocator hands out blocks that size as
// fresh mappings (glibc above 32 MiB, musl above about 128 KiB) and unmaps
// them when freed, so every batch would fault all its pages in again and
// zero them. Blocks that come back from the caller's earlier batches are
// kept here instead and reused while they fit: a reader streaming a file
// reads into the memory of the batches its caller has let go of.
//
// The module keeps one pool for the process and never destroys it: the
// owner of a block may give it back on any thread, also after its reader is
// gone and while the interpreter shuts down. What it keeps is bounded by the
// readers that use it: each adds a budget while it lives (room for the
// blocks of its two largest batches: the one its caller holds and the one it
// reads meanwhile), and the last one's stays until another comes, so that
// reading file after file reuses the same memory; the next reader's own
// budget then replaces it. Memory that only the pool holds must not cost an
// event: when the allocator refuses, the pool frees what it keeps and the
// request is made once more. Python-free.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <mutex>
#include <utility>

#include "allocator.hpp"

namespace pelvar {

class BlockPool {
public:
    struct Block {
        void* data;  // null when there is none
        std::size_t bytes;
    };

    explicit BlockPool(const Allocator* allocator) noexcept : allocator_(allocator) {}
    BlockPool(const BlockPool&) = delete;
    BlockPool& operator=(const BlockPool&) = delete;
    ~BlockPool() {
        for (std::size_t i = 0; i < count_; ++i) {
            allocator_->release(kept_[i].data);
        }
    }

    const Allocator* allocator() const noexcept { return allocator_; }

    // The size a block of `bytes` is made with: rounded up to one of four
    // steps per power of two (64-byte steps up to 512 bytes), so that
    // requests that differ a little, as the columns of two batches of a
    // file do, share their blocks. At most a quarter more.
    static std::size_t size_class(std::size_t bytes) noexcept {
        std::size_t step = 64;
        while (step < SIZE_MAX / 16 && bytes > step * 8) {
            step *= 2;
        }
        return bytes > SIZE_MAX - (step - 1) ? bytes : (bytes + step - 1) / step * step;
    }

    // A block of `bytes` or more: the smallest kept one up to twice that,
    // else a new one of its size class from the allocator (null when refused).
    Block take(std::size_t bytes) noexcept {
        return take_kept(bytes, bytes > SIZE_MAX / 2 ? SIZE_MAX : 2 * bytes, false);
    }

    // A block of `bytes` or more when it is not yet known how much more will
    // be needed, up to `largest`: the largest kept one up to that, else a new
    // one of `bytes`.
    Block take_up_to(std::size_t bytes, std::size_t largest) noexcept {
        return take_kept(bytes, std::max(bytes, size_class(largest)), true);
    }

    // A block grown (or shrunk) to `bytes`, as the allocator's reallocate:
    // null, with the block unchanged, when refused even after the kept
    // blocks were freed.
    void* reallocate(void* data, std::size_t bytes) noexcept {
        void* grown = allocator_->reallocate(data, bytes);
        if (grown == nullptr && free_kept()) {
            grown = allocator_->reallocate(data, bytes);
        }
        return grown;
    }

    // Keeps the block for a later take, making room by freeing the blocks
    // kept longest (those nothing has taken since are the least likely to
    // fit what comes); frees it instead when it is larger than the budget.
    void give_back(void* data, std::size_t bytes) noexcept {
        Freed freed;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (bytes > budget()) {
                freed.add(data);
            } else {
                while (count_ != 0 && (count_ == slots || held_ > budget() - bytes)) {
                    freed.add(remove(0).data);
                }
                kept_[count_++] = Block{data, bytes};
                held_ += bytes;
            }
        }
        freed.release(allocator_);
    }

    // A reader's share of the budget while it lives.
    class Share {
    public:
        explicit Share(BlockPool& pool) noexcept : pool_(&pool) {}
        Share(Share&& other) noexcept
            : pool_(std::exchange(other.pool_, nullptr)), budget_(other.budget_) {}
        Share& operator=(Share&&) = delete;
        Share(const Share&) = delete;
        ~Share() {
            if (pool_ != nullptr) {
                pool_->leave(budget_);
            }
        }
        BlockPool& pool() const noexcept { return *pool_; }

        // Raises the share to `budget`, if it is more.
        void expect(std::size_t budget) noexcept {
            if (budget > budget_) {
                pool_->join(budget - budget_);
                budget_ = budget;
            }
        }

    private:
        BlockPool* pool_;
        std::size_t budget_ = 0;
    };

    // Bytes and blocks kept now (for tests and measurements).
    std::size_t held() noexcept {
        std::lock_guard<std::mutex> lock(mutex_);
        return held_;
    }
    std::size_t kept_blocks() noexcept {
        std::lock_guard<std::mutex> lock(mutex_);
        return count_;
    }

private:
    static constexpr std::size_t slots = 32;  // a few batches of up to eight columns

    // Blocks taken out under the lock, freed after it: the allocator may
    // take its time.
    struct Freed {
        std::array<void*, slots + 1> blocks{};
        std::size_t count = 0;
        void add(void* block) noexcept { blocks[count++] = block; }
        void release(const Allocator* allocator) const noexcept {
            for (std::size_t i = 0; i < count; ++i) {
                allocator->release(blocks[i]);
            }
        }
    };

    std::size_t budget() const noexcept { return live_ != 0 ? live_ : last_; }

    Block take_kept(std::size_t bytes, std::size_t largest, bool prefer_large) noexcept {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            std::size_t best = count_;
            for (std::size_t i = 0; i < count_; ++i) {
                const std::size_t size = kept_[i].bytes;
                if (size >= bytes && size <= largest &&
                    (best == count_ || (prefer_large ? size > kept_[best].bytes : size < kept_[best].bytes))) {
                    best = i;
                }
            }
            if (best != count_) {
                return remove(best);
            }
        }
        const std::size_t made = size_class(bytes);
        void* data = allocator_->allocate(made);
        if (data == nullptr && free_kept()) {
            data = allocator_->allocate(made);
        }
        return Block{data, made};
    }

    // Frees every kept block; false when there was none.
    bool free_kept() noexcept {
        Freed freed;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            while (count_ != 0) {
                freed.add(remove(count_ - 1).data);
            }
        }
        freed.release(allocator_);
        return freed.count != 0;
    }

    // Frees the oldest kept blocks until what is kept fits the budget.
    void trim_unlocked(Freed& freed) noexcept {
        while (held_ > budget() && count_ != 0) {
            freed.add(remove(0).data);
        }
    }

    // Takes kept_[i] out, keeping the others in the order they came.
    Block remove(std::size_t i) noexcept {
        const Block block = kept_[i];
        for (; i + 1 < count_; ++i) {
            kept_[i] = kept_[i + 1];
        }
        --count_;
        held_ -= block.bytes;
        return block;
    }

    // A reader's budget grows: the first to join after none lived replaces
    // the last one's budget with its own, which may be less.
    void join(std::size_t budget) noexcept {
        Freed freed;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            live_ = live_ + budget < live_ ? SIZE_MAX : live_ + budget;
            trim_unlocked(freed);
        }
        freed.release(allocator_);
    }

    // Frees what no longer fits the budget of the readers that remain.
    void leave(std::size_t budget) noexcept {
        Freed freed;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            live_ = live_ > budget ? live_ - budget : 0;
            if (live_ == 0 && budget != 0) {
                last_ = budget;
            }
            trim_unlocked(freed);
        }
        freed.release(allocator_);
    }

    const Allocator* allocator_;
    std::mutex mutex_;
    std::array<Block, slots> kept_{};  // oldest first
    std::size_t count_ = 0;
    std::size_t held_ = 0;  // bytes in kept_
    std::size_t live_ = 0;  // the budgets of the readers alive
    std::size_t last_ = 0;  // the budget of the last reader, while none lives
};

}  // namespace pelvar
