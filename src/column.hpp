// One column of a batch: a growable array of one element type, filled by
// appending. Its owner chooses the capacities; the column only grows to the
// one asked for, keeping its elements. Python-free.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>

#include "allocator.hpp"

namespace pelvar {

template <class T>
class Column {
public:
    explicit Column(const Allocator* allocator) noexcept : allocator_(allocator) {}
    Column(Column&& other) noexcept
        : allocator_(other.allocator_),
          data_(std::exchange(other.data_, empty_data())),
          size_(std::exchange(other.size_, 0)),
          capacity_(std::exchange(other.capacity_, 0)) {}
    Column& operator=(Column&& other) noexcept {
        if (this != &other) {
            free();
            allocator_ = other.allocator_;
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
    const Allocator* allocator() const noexcept { return allocator_; }

    // Room for `capacity` elements in all (no change when there is room
    // already). False, with nothing changed, when the allocator refuses.
    [[nodiscard]] bool reserve(std::size_t capacity) noexcept {
        if (capacity <= capacity_) {
            return true;
        }
        if (capacity > SIZE_MAX / sizeof(T)) {
            return false;
        }
        void* old = capacity_ == 0 ? nullptr : data_;
        void* grown = old == nullptr ? allocator_->allocate(capacity * sizeof(T))
                                     : allocator_->reallocate(old, capacity * sizeof(T));
        if (grown == nullptr) {
            return false;
        }
        data_ = static_cast<T*>(grown);
        capacity_ = capacity;
        return true;
    }

    // Appends within the capacity.
    void push(T value) noexcept { data_[size_++] = value; }
    // Takes the elements up to `size` (within the capacity) as written.
    void set_size(std::size_t size) noexcept { size_ = size; }

    // Gives up ownership; the column is empty afterwards.
    BufferParts<T> release() noexcept {
        BufferParts<T> parts{data_, size_, capacity_, capacity_ == 0 ? nullptr : data_, capacity_ * sizeof(T)};
        data_ = empty_data();
        size_ = capacity_ = 0;
        return parts;
    }

private:
    static T* empty_data() noexcept { return reinterpret_cast<T*>(empty_block); }

    void free() noexcept {
        if (capacity_ != 0) {
            allocator_->release(data_);
        }
        data_ = empty_data();
        size_ = capacity_ = 0;
    }

    const Allocator* allocator_;
    T* data_ = empty_data();
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;  // 0: nothing allocated
};

}  // namespace pelvar
