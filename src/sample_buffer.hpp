// The owned sample buffer of one event, and the block read that fills it or
// any other storage for one event's samples. Python-free: the allocator is
// handed in by whoever builds the reader (the module gives the interpreter's
// raw allocator, so tracemalloc sees it).
#pragma once

#include <cstddef>
#include <cstdint>
#include <algorithm>
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
    using Parts = BufferParts<T>;

    explicit SampleBuffer(const Allocator* allocator) noexcept : allocator_(allocator) {}
    SampleBuffer(SampleBuffer&& other) noexcept
        : allocator_(other.allocator_),
          block_(std::exchange(other.block_, nullptr)),
          block_bytes_(std::exchange(other.block_bytes_, 0)),
          data_(std::exchange(other.data_, empty_data())),
          length_(std::exchange(other.length_, 0)),
          residue_(other.residue_) {}
    SampleBuffer& operator=(SampleBuffer&& other) noexcept {
        if (this != &other) {
            free();
            allocator_ = other.allocator_;
            block_ = std::exchange(other.block_, nullptr);
            block_bytes_ = std::exchange(other.block_bytes_, 0);
            data_ = std::exchange(other.data_, empty_data());
            length_ = std::exchange(other.length_, 0);
            residue_ = other.residue_;
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
    // when `capacity` is not 0.
    Parts release() noexcept {
        Parts parts{data_, length_, length_, block_, block_bytes_};
        block_ = nullptr;
        block_bytes_ = 0;
        data_ = empty_data();
        length_ = 0;
        return parts;
    }

    // Asks that the first allocation start at an address equal to `residue`
    // modulo the allocator's placement (rounded down to the element size),
    // so that copies into it from a source at that remainder run at full
    // speed. Has no effect once allocated, or with an allocator without placement.
    void place(std::size_t residue) noexcept { residue_ = residue / sizeof(T) * sizeof(T); }

    // Grows (or first allocates) the buffer to exactly `length` elements,
    // keeping the elements already there. False when the allocator refuses.
    [[nodiscard]] bool resize(std::size_t length) noexcept {
        if (length == length_) {
            return true;
        }
        const std::size_t pad = allocator_->placement;
        if (length > (SIZE_MAX - pad) / sizeof(T)) {
            return false;
        }
        const std::size_t bytes = length * sizeof(T) + pad;
        if (block_ == nullptr) {
            void* block = allocator_->allocate(bytes);
            if (block == nullptr) {
                return false;
            }
            std::size_t shift = 0;
            if (pad != 0) {
                const std::size_t at = reinterpret_cast<std::uintptr_t>(block) % pad;
                shift = (residue_ % pad + pad - at) % pad;
            }
            block_ = block;
            block_bytes_ = bytes;
            data_ = reinterpret_cast<T*>(static_cast<std::byte*>(block) + shift);
        } else {
            // realloc keeps the bytes from the block's start: the data stays
            // at the same distance from it.
            const std::size_t shift = static_cast<std::size_t>(reinterpret_cast<std::byte*>(data_) -
                                                               static_cast<std::byte*>(block_));
            void* grown = allocator_->reallocate(block_, bytes);
            if (grown == nullptr) {
                return false;
            }
            block_ = grown;
            block_bytes_ = bytes;
            data_ = reinterpret_cast<T*>(static_cast<std::byte*>(grown) + shift);
        }
        length_ = length;
        return true;
    }

private:
    static T* empty_data() noexcept { return reinterpret_cast<T*>(empty_block); }

    void free() noexcept {
        if (block_ != nullptr) {
            allocator_->release(block_);
        }
        block_ = nullptr;
        block_bytes_ = 0;
        data_ = empty_data();
        length_ = 0;
    }

    const Allocator* allocator_;
    void* block_ = nullptr;       // the allocation; null while empty
    std::size_t block_bytes_ = 0;  // its size, as allocated
    T* data_ = empty_data();
    std::size_t length_ = 0;
    std::size_t residue_ = 0;  // wanted address of data_ modulo the placement
};

// Blocks of at least this many bytes are placed to match their file offset
// (smaller copies are too short to suffer from the placement).
inline constexpr std::size_t placed_block_bytes = 1024;

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
// refuses); `place` asks for an address that matches the file offset.
template <class S, class T>
concept SampleStorage = requires(S& storage, std::size_t count) {
    { storage.data() } noexcept -> std::same_as<T*>;
    { storage.resize(count) } noexcept -> std::same_as<bool>;
    { storage.place(count) } noexcept;
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
        if (total - filled <= trusted_count && filled == 0) {
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
    if constexpr (PlacingByteSource<Source>) {
        if (total * sizeof(T) >= placed_block_bytes) {
            storage.place(source.placement());
        }
    }
    std::size_t filled = 0;
    std::size_t target = next_target(0);
    for (;;) {
        if (!storage.resize(target)) {
            return refused_block(source, target * sizeof(T), (total - filled) * sizeof(T));
        }
        if (auto failure = source.read_exact(storage.data() + filled, (target - filled) * sizeof(T))) {
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
