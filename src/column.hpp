// One column of a batch: a growable array of one element type, filled by
// appending. Its owner chooses the capacities; the column grows to the one
// asked for (or more, when its pool has a larger block), keeping its
// elements. Its first block comes from the pool and goes back there, unless
// the column is kept out of it. Python-free.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>

#include "allocator.hpp"
#include "block_pool.hpp"

namespace pelvar {

template <class T>
class Column {
public:
    explicit Column(BlockPool* pool) noexcept : pool_(pool) {}
    Column(Column&& other) noexcept
        : pool_(other.pool_),
          pooled_(std::exchange(other.pooled_, true)),
          data_(std::exchange(other.data_, empty_data())),
          size_(std::exchange(other.size_, 0)),
          capacity_(std::exchange(other.capacity_, 0)) {}
    Column& operator=(Column&& other) noexcept {
        if (this != &other) {
            free();
            pool_ = other.pool_;
            pooled_ = std::exchange(other.pooled_, true);
            data_ = std::exchange(other.data_, empty_data());
            size_ = std::exchange(other.size_, 0);
            capacity_ = std::exchange(other.capacity_, 0);
        }
        return *this;
    }
    Column(const Column&) = delete;
    Column& operator=(const Column&) = delete;
    ~Column() { free(); }

    T* data() noexcept { return data_; }
    const T* data() const noexcept { return data_; }
    std::size_t size() const noexcept { return size_; }
    std::size_t capacity() const noexcept { return capacity_; }
    const Allocator* allocator() const noexcept { return pool_->allocator(); }

    // Room for `capacity` elements in all (no change when there is room
    // already). A first block may be a kept one of up to `largest` elements
    // when not 0 (the largest such: a column whose final size is not known
    // yet), else up to twice `capacity`. False, with nothing changed, when
    // the allocator refuses.
    [[nodiscard]] bool reserve(std::size_t capacity, std::size_t largest = 0) noexcept {
        if (capacity <= capacity_) {
            return true;
        }
        if (capacity > SIZE_MAX / sizeof(T)) {
            return false;
        }
        if (capacity_ == 0) {
            const std::size_t bytes = capacity * sizeof(T);
            const auto block = largest == 0 ? pool_->take(bytes)
                                            : pool_->take_up_to(bytes, largest > SIZE_MAX / sizeof(T)
                                                                           ? SIZE_MAX
                                                                           : largest * sizeof(T));
            if (block.data == nullptr) {
                return false;
            }
            data_ = static_cast<T*>(block.data);
            capacity_ = block.bytes / sizeof(T);
            return true;
        }
        // A block that may go back to the pool has the size of its class.
        const std::size_t bytes = BlockPool::size_class(capacity * sizeof(T));
        void* grown = pool_->reallocate(data_, bytes);
        if (grown == nullptr) {
            return false;
        }
        data_ = static_cast<T*>(grown);
        capacity_ = bytes / sizeof(T);
        return true;
    }

    // Writes element i, within the capacity; set_size() says later how many
    // there are, so that filling a row of columns updates no sizes.
    void put(std::size_t i, T value) noexcept { data_[i] = value; }
    // Takes the elements up to `size` (within the capacity) as written.
    void set_size(std::size_t size) noexcept { size_ = size; }

    // Its block goes back to the allocator, not to the pool: a block that no
    // later batch is meant to reuse.
    void keep_out_of_pool() noexcept { pooled_ = false; }

    // Gives up ownership; the column is empty afterwards.
    BufferParts release() noexcept {
        BufferParts parts{capacity_ == 0 ? nullptr : data_, capacity_ * sizeof(T), pooled_ ? pool_ : nullptr};
        data_ = empty_data();
        size_ = capacity_ = 0;
        pooled_ = true;
        return parts;
    }

private:
    static T* empty_data() noexcept { return reinterpret_cast<T*>(empty_block); }

    void free() noexcept {
        if (capacity_ != 0) {
            if (pooled_) {
                pool_->give_back(data_, capacity_ * sizeof(T));
            } else {
                allocator()->release(data_);
            }
        }
        data_ = empty_data();
        size_ = capacity_ = 0;
        pooled_ = true;
    }

    BlockPool* pool_;
    bool pooled_ = true;  // the block goes back to the pool
    T* data_ = empty_data();
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;  // 0: nothing allocated
};

}  // namespace pelvar
