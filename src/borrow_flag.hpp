// The borrow flag of a reader object: one atomic word instead of a lock.
// 0: free; 1 up to exclusive - 1: that many shared borrows (__iter__); all
// bits set: one exclusive borrow (__next__). Nobody waits on it: a call that
// meets a conflicting borrow fails at once.
#pragma once

#include <atomic>
#include <cstdint>

namespace pelvar {

using BorrowFlag = std::atomic<std::uintptr_t>;
inline constexpr std::uintptr_t exclusive_borrow = ~std::uintptr_t{0};

// The exclusive borrow for the life of the scope, if it could be taken;
// released on every path.
class ExclusiveBorrow {
public:
    explicit ExclusiveBorrow(BorrowFlag& flag) noexcept : flag_(flag) {
        std::uintptr_t expected = 0;
        held_ = flag_.compare_exchange_strong(expected, exclusive_borrow, std::memory_order_acq_rel,
                                              std::memory_order_acquire);
    }
    ExclusiveBorrow(const ExclusiveBorrow&) = delete;
    ExclusiveBorrow& operator=(const ExclusiveBorrow&) = delete;
    ~ExclusiveBorrow() {
        if (held_) {
            flag_.store(0, std::memory_order_release);
        }
    }
    bool held() const noexcept { return held_; }

private:
    BorrowFlag& flag_;
    bool held_;
};

// A shared borrow, taken unless the exclusive one is held; the caller gives
// it back with fetch_sub(1, release).
inline bool try_shared_borrow(BorrowFlag& flag) noexcept {
    std::uintptr_t current = flag.load(std::memory_order_relaxed);
    do {
        if (current == exclusive_borrow || current + 1 == exclusive_borrow) {
            return false;
        }
    } while (!flag.compare_exchange_weak(current, current + 1, std::memory_order_acquire, std::memory_order_relaxed));
    return true;
}

}  // namespace pelvar
