// Input from memory: bytes that the caller already holds (a bytes object, a
// mapped file). Each fill is a copy, with no system call; seeking moves a
// position. The memory is kept alive by an owner that the binding layer
// hands in (a Python buffer export). Python-free.
#pragma once

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>

#include "byte_source.hpp"
#include "io_failure.hpp"
#include "raw_source.hpp"

namespace pelvar {

// Whatever keeps the bytes valid; destroyed with the source.
class MemoryOwner {
public:
    virtual ~MemoryOwner() = default;
};

class MemorySource final : public RawSource {
public:
    MemorySource(const std::byte* data, std::size_t size, std::unique_ptr<MemoryOwner> owner) noexcept
        : owner_(std::move(owner)), data_(data), size_(size) {}

    RawRead read(void* destination, std::size_t count) noexcept override {
        const std::size_t n = std::min(count, size_ - position_);
        if (n != 0) {
            std::memcpy(destination, data_ + position_, n);
        }
        position_ += n;
        return RawRead{n, 0};
    }

    RawRead readv(void* first, std::size_t first_count, void* second, std::size_t second_count) noexcept override {
        RawRead head = read(first, first_count);
        if (head.count < first_count) {
            return head;
        }
        return RawRead{head.count + read(second, second_count).count, 0};
    }

    IoStatus seek_to_start() noexcept override {
        position_ = 0;
        return std::nullopt;
    }

    // As lseek does, a position past the end is allowed: reads there find the end.
    IoStatus seek_forward(std::uint64_t count) noexcept override {
        position_ = count >= size_ - position_ ? size_ : position_ + static_cast<std::size_t>(count);
        return std::nullopt;
    }

    std::optional<std::uint64_t> remaining() noexcept override { return size_ - position_; }

private:
    std::unique_ptr<MemoryOwner> owner_;
    const std::byte* data_;
    std::size_t size_;
    std::size_t position_ = 0;
};

}  // namespace pelvar
