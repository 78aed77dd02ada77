// The owned sample buffer of one event, and the block read that fills it or
// any other storage for one event's samples. Python-free: the allocator is
// handed in by whoever builds the reader (the module gives the interpreter's
// raw allocator, so tracemalloc sees it).
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <concepts>
#include <cstdlib>
#include <optional>
#include <string>
#include <utility>
#include <variant>

#include "byte_order.hpp"
#include "allocator.hpp"
#include "byte_source.hpp"
#include "internal_failure.hpp"
#include "io_failure.hpp"
#include "read_outcome.hpp"

namespace pelvar {

template <class T>
class SampleBuffer {
public:
    explicit SampleBuffer(const Allocator* allocator) noexcept : allocator_(allocator) {}
    SampleBuffer(SampleBuffer&& other) noexcept
        : allocator_(other.allocator_),
          data_(std::exchange(other.data_, empty_data())),
          length_(std::exchange(other.length_, 0)),
          block_bytes_(std::exchange(other.block_bytes_, 0)) {}
    SampleBuffer& operator=(SampleBuffer&& other) noexcept {
        if (this != &other) {
            free();
            allocator_ = other.allocator_;
            data_ = std::exchange(other.data_, empty_data());
            length_ = std::exchange(other.length_, 0);
            block_bytes_ = std::exchange(other.block_bytes_, 0);
        }
        return *this;
    }
    SampleBuffer(const SampleBuffer&) = delete;
    SampleBuffer& operator=(const SampleBuffer&) = delete;
    ~SampleBuffer() { free(); }

    T* data() noexcept { return data_; }
    const T* data() const noexcept { return data_; }
    std::size_t size() const noexcept { return length_; }
    const Allocator* allocator() const noexcept { return allocator_; }

    // Gives up ownership; the caller frees `block` with allocator()->release
    // when it is not null.
    BufferParts release() noexcept {
        BufferParts parts{allocated() ? data_ : nullptr, block_bytes_};
        data_ = empty_data();
        length_ = 0;
        block_bytes_ = 0;
        return parts;
    }

    // Grows (or first allocates) the buffer to exactly `length` elements,
    // keeping the elements already there. False when the allocator refuses.
    [[nodiscard]] bool resize(std::size_t length) noexcept {
        if (length == length_) {
            return true;
        }
        if (length > SIZE_MAX / sizeof(T)) {
            return false;
        }
        const std::size_t bytes = length * sizeof(T);
        void* block = allocated() ? allocator_->reallocate(data_, bytes) : allocator_->allocate(bytes);
        if (block == nullptr) {
            return false;
        }
        data_ = static_cast<T*>(block);
        length_ = length;
        block_bytes_ = bytes;
        return true;
    }

private:
    static T* empty_data() noexcept { return reinterpret_cast<T*>(empty_block); }
    bool allocated() const noexcept { return block_bytes_ != 0; }

    void free() noexcept {
        if (allocated()) {
            allocator_->release(data_);
        }
        data_ = empty_data();
        length_ = 0;
        block_bytes_ = 0;
    }

    const Allocator* allocator_;
    T* data_ = empty_data();       // the allocation, or empty_block while there is none
    std::size_t length_ = 0;
    std::size_t block_bytes_ = 0;  // the allocation's size, as allocated; 0: none
};

// Up to this many bytes a block is allocated whole before it is read,
// whatever the file holds (a little memory at stake, and no system call to
// size the file).
inline constexpr std::size_t trusted_block_bytes = std::size_t{256} << 10;

// A block that the file cannot vouch for is allocated at most this much at
// a time, growing by doubling as its bytes arrive.
inline constexpr std::size_t eager_block_bytes = std::size_t{1} << 20;

// What a block grows by at least when the file's size says nothing is left:
// the size can be behind the truth (a file still being written, /proc).
inline constexpr std::size_t least_step_bytes = 4096;

// Where one event's samples are read to: a buffer of its own (the event
// path) or the tail of a batch's sample column. `resize` grows it to exactly
// that many elements, keeping those already there (false when the allocator
// refuses).
template <class S, class T>
concept SampleStorage = requires(S& storage, std::size_t count) {
    { storage.data() } noexcept -> std::same_as<T*>;
    { storage.resize(count) } noexcept -> std::same_as<bool>;
};

static_assert(SampleStorage<SampleBuffer<float>, float>);

// How a block read fails: nothing when the samples are in, else an I/O
// failure or an internal one.
using BlockStatus = std::optional<StepFailure>;

// The allocator refused `bytes` for a block with `unread` bytes still to
// come: they are skipped, so that the reader stands at the next event and
// only this one is lost. A block that the file does not hold whole ends as
// its read would have (end of file or the read's failure).
template <ByteSource Source>
[[nodiscard]] BlockStatus refused_block(Source& source, std::size_t bytes, std::uint64_t unread) {
    if (auto failure = source.skip(unread)) {
        return *failure;
    }
    return memory_refused(bytes);
}

// Reads `count` little-endian samples straight into `storage`.
//
// A header can claim far more than the file holds, so a block larger than
// trusted_block_bytes is allocated whole only when the source vouches for
// that many bytes. Otherwise it is allocated in steps as its bytes arrive:
// what the source says it still holds (at least least_step_bytes, since a
// file's size can be behind the truth), or, when it cannot tell, at most
// eager_block_bytes and then twice what has arrived.
// Either way it ends holding exactly `count` elements, and the bytes
// consumed are the same as for one exact read of the whole block.
template <class T, ByteSource Source, SampleStorage<T> Storage>
[[nodiscard]] BlockStatus read_samples(Source& source, std::uint64_t count, Storage& storage) {
    if (count == 0) {
        return std::nullopt;
    }
    if (count > SIZE_MAX / sizeof(T)) {
        return capacity_overflow();
    }
    const std::size_t total = static_cast<std::size_t>(count);
    constexpr std::size_t trusted_count = trusted_block_bytes / sizeof(T);
    constexpr std::size_t eager_count = eager_block_bytes / sizeof(T);
    constexpr std::size_t least_count = least_step_bytes / sizeof(T);
    // The samples the next allocation holds, `filled` of them read: all of
    // them, or the next step.
    auto next_target = [&](std::size_t filled) {
        if (filled == 0 && total <= trusted_count) {
            return total;
        }
        std::size_t step = filled == 0 ? eager_count : filled;
        if (auto left = source.remaining()) {
            const std::size_t vouched = static_cast<std::size_t>(*left / sizeof(T));
            if (vouched >= total - filled) {
                return total;
            }
            step = std::max(vouched, least_count);
        }
        return std::min(total, filled + std::min(step, total - filled));
    };
    std::size_t filled = 0;
    std::size_t target = next_target(0);
    for (;;) {
        if (!storage.resize(target)) {
            return refused_block(source, target * sizeof(T), (total - filled) * sizeof(T));
        }
        if (auto failure = source.read_exact(storage.data() + filled, (target - filled) * sizeof(T))) {
            // A source object raised: the block's bytes go back, to be read
            // again when the caller tries again.
            if (failure->is_raised() && filled != 0) {
                source.give_back(storage.data(), filled * sizeof(T));
            }
            return *failure;
        }
        filled = target;
        if (filled == total) {
            break;
        }
        target = next_target(filled);
    }
    little_endian_to_host(storage.data(), total);
    return std::nullopt;
}

}  // namespace pelvar
