// The buffered file reader: a read-ahead buffer in front of a raw file (PosixFile
// in the module, the in-memory file in the tests and the fuzzer), making it the
// byte source the readers take. Python-free.
#pragma once

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <utility>

#include "byte_source.hpp"
#include "io_failure.hpp"

namespace pelvar {

// Bytes land at an address that matches their file offset modulo this: a copy
// whose destination sits a few bytes past its source modulo 4 KiB runs several
// times slower on some processors (4 KiB aliasing), and the kernel's copy out
// of the page cache has its source at the file offset modulo the page size.
inline constexpr std::size_t placement_bytes = 64;

template <RawFile Raw>
class BufferedReader {
public:
    // The most a fill reads ahead.
    static constexpr std::size_t capacity = 65536;
    // The first fill after opening, a seek or a rewind: enough for headers
    // and small events without copying a long stretch that may not be used
    // (the layout probe of a WD2 file reads two headers with a seek between,
    // and for events up to this size finds the second header in this fill).
    // Each fill that follows the previous one doubles, up to `capacity`.
    static constexpr std::size_t first_fill = 8192;
    // A request that still needs at least this many bytes after the buffered
    // ones is read straight into its destination: no copy through the buffer.
    static constexpr std::size_t direct_bytes = 16384;
    // What such a direct read brings along into the buffer, in the same
    // system call (readv): the next header and perhaps a small event. At most
    // this, ending on a page boundary of the file, so that the next direct
    // read starts on one; never less than direct_tail / 4.
    static constexpr std::size_t direct_tail = 4096;

    // Room before the data of every fill for bytes given back by unread().
    static constexpr std::size_t putback_bytes = placement_bytes;

    // `interrupt_check` decides what a call interrupted by a signal does
    // (see InterruptCheck); without one it is repeated.
    explicit BufferedReader(Raw raw, InterruptCheck interrupt_check = nullptr)
        : raw_(std::move(raw)),
          storage_(std::make_unique_for_overwrite<std::byte[]>(capacity + putback_bytes + 2 * placement_bytes)),
          buffer_(aligned(storage_.get())),
          interrupt_check_(interrupt_check) {}

    // The file offset of the next byte a read delivers, modulo placement_bytes.
    [[nodiscard]] std::size_t placement() const noexcept {
        return static_cast<std::size_t>(offset_ - (filled_ - position_)) % placement_bytes;
    }

    // Delivers all `count` bytes, or fails. On the end-of-file failure the
    // bytes delivered so far stay consumed. A read of 0 bytes touches nothing.
    IoStatus read_exact(void* destination, std::size_t count) noexcept {
        // Headers and small blocks come from the buffer: this much is inlined
        // into every reader step.
        if (count <= filled_ - position_) [[likely]] {
            copy_bytes(static_cast<std::byte*>(destination), buffer_ + position_, count);
            position_ += count;
            return std::nullopt;
        }
        return read_beyond_buffer(static_cast<std::byte*>(destination), count);
    }

    // The next `count` bytes where they lie in the buffer, consumed; null,
    // with nothing consumed, when the buffer holds fewer (read_exact them).
    // Saves copying a header that is decoded at once.
    const std::byte* take_buffered(std::size_t count) noexcept {
        if (count > filled_ - position_) {
            return nullptr;
        }
        const std::byte* at = buffer_ + position_;
        position_ += count;
        return at;
    }

    // Gives back the last `count` bytes that read_exact or take_buffered
    // delivered, which are `bytes` (at most putback_bytes of them): the next
    // read delivers them again. A header whose event does not fit where it was to go is read
    // again later, with no system call and no seek.
    void unread(const void* bytes, std::size_t count) noexcept {
        // Every fill starts putback_bytes or more into the buffer, so there is
        // room before position_ whatever the read came from.
        position_ -= count;
        if (bytes != buffer_ + position_) {  // not where take_buffered left them
            std::memcpy(buffer_ + position_, bytes, count);
        }
    }

    // Moves `count` bytes forward. A regular file is seeked as far as its
    // size vouches for; the rest (all of it for anything else) is read and
    // discarded through the buffer, since a size can be wrong (0 for /proc
    // files, behind the truth for a file still being written). Only the real
    // end of the file is the end-of-file failure.
    IoStatus skip(std::uint64_t count) noexcept {
        std::size_t buffered = filled_ - position_;
        if (count <= buffered) {
            position_ += static_cast<std::size_t>(count);
            return std::nullopt;
        }
        count -= buffered;
        position_ = filled_ = 0;
        if (auto left = raw_.remaining(); left && *left != 0) {
            const std::uint64_t vouched = std::min(count, *left);
            next_fill_ = first_fill;
            if (auto failure = raw_.seek_forward(vouched)) {
                return failure;
            }
            offset_ += vouched;
            count -= vouched;
        }
        while (count != 0) {
            if (auto failure = fill(capacity)) {
                return failure;
            }
            std::size_t take = static_cast<std::size_t>(std::min<std::uint64_t>(count, filled_ - position_));
            position_ += take;
            count -= take;
        }
        return std::nullopt;
    }

    // Seeks to offset 0 and discards the buffered bytes.
    IoStatus rewind() noexcept {
        position_ = filled_ = 0;
        next_fill_ = first_fill;
        if (auto failure = raw_.seek_to_start()) {
            return failure;
        }
        offset_ = 0;
        return std::nullopt;
    }

    // Bytes known to be left (buffered, plus the rest of a regular file);
    // empty when the source cannot tell.
    [[nodiscard]] std::optional<std::uint64_t> remaining() noexcept {
        auto left = raw_.remaining();
        if (!left) {
            return std::nullopt;
        }
        return *left + (filled_ - position_);
    }

private:
    // memcpy, with the copies of a few dozen bytes (headers, the samples of
    // small events) done in line by two overlapping moves rather than by a
    // call.
    static void copy_bytes(std::byte* out, const std::byte* in, std::size_t count) noexcept {
        if (count > 32) {
            std::memcpy(out, in, count);
        } else if (count >= 16) {
            std::memcpy(out, in, 16);
            std::memcpy(out + count - 16, in + count - 16, 16);
        } else if (count >= 8) {
            std::memcpy(out, in, 8);
            std::memcpy(out + count - 8, in + count - 8, 8);
        } else {
            for (std::size_t i = 0; i < count; ++i) {
                out[i] = in[i];
            }
        }
    }

    // One raw read after the retries: the bytes it brought, or its failure.
    struct [[nodiscard]] Got {
        std::size_t count;
        IoStatus failure;
    };

    static std::byte* aligned(std::byte* storage) noexcept {
        auto address = reinterpret_cast<std::uintptr_t>(storage);
        return storage + (placement_bytes - address % placement_bytes) % placement_bytes;
    }

    // read_exact of more than the buffer holds.
    [[gnu::noinline]] IoStatus read_beyond_buffer(std::byte* out, std::size_t count) noexcept {
        const std::size_t buffered = filled_ - position_;
        if (buffered != 0) {
            std::memcpy(out, buffer_ + position_, buffered);
            out += buffered;
            count -= buffered;
        }
        position_ = filled_ = 0;
        while (count != 0) {
            if (count >= direct_bytes) {
                return read_direct(out, count);
            }
            if (auto failure = fill(count)) {
                return failure;
            }
            std::size_t take = std::min(count, filled_ - position_);
            std::memcpy(out, buffer_ + position_, take);
            position_ += take;
            out += take;
            count -= take;
        }
        return std::nullopt;
    }

    // Where in the buffer a fill at the current file offset starts.
    std::size_t fill_start() const noexcept {
        return putback_bytes + static_cast<std::size_t>(offset_ % placement_bytes);
    }

    // One raw read (read or readv), repeated while interrupted by a signal
    // (as the check allows); 0 bytes is the end-of-file failure.
    template <class Call>
    Got raw_read(Call call) noexcept {
        auto r = without_interruptions(call, interrupt_check_);
        if (!r) {
            return Got{0, IoFailure::interrupted()};
        }
        if (r->error_number != 0) {
            return Got{0, IoFailure::from_errno(r->error_number)};
        }
        if (r->count == 0) {
            return Got{0, IoFailure::end_of_file()};
        }
        offset_ += r->count;
        return Got{r->count, std::nullopt};
    }

    // Refills the empty buffer with one raw read, of at least `need` bytes
    // when the buffer holds that many.
    IoStatus fill(std::size_t need) noexcept {
        const std::size_t start = fill_start();
        const std::size_t want = std::min(capacity, std::max(next_fill_, need));
        auto got = raw_read([&] { return raw_.read(buffer_ + start, want); });
        if (got.failure) {
            return got.failure;
        }
        position_ = start;
        filled_ = start + got.count;
        next_fill_ = std::min(capacity, next_fill_ * 2);
        return std::nullopt;
    }

    // Reads `count` bytes straight into `out` (the buffer is empty), and in
    // the same calls up to direct_tail bytes behind them into the buffer.
    IoStatus read_direct(std::byte* out, std::size_t count) noexcept {
        while (count != 0) {
            const std::uint64_t end = offset_ + count;
            const std::size_t start = putback_bytes + static_cast<std::size_t>(end % placement_bytes);
            std::size_t tail = direct_tail - static_cast<std::size_t>(end % direct_tail);
            if (tail < direct_tail / 4) {
                tail += direct_tail;
            }
            auto got = raw_read([&] { return raw_.readv(out, count, buffer_ + start, tail); });
            if (got.failure) {
                return got.failure;
            }
            if (got.count >= count) {
                position_ = start;
                filled_ = start + (got.count - count);
                next_fill_ = first_fill;
                return std::nullopt;
            }
            out += got.count;
            count -= got.count;
        }
        return std::nullopt;
    }

    Raw raw_;
    std::unique_ptr<std::byte[]> storage_;
    std::byte* buffer_;                   // storage_ aligned to placement_bytes
    std::size_t position_ = 0;            // next unread byte in buffer_
    std::size_t filled_ = 0;              // end of the file data in buffer_
    std::uint64_t offset_ = 0;            // file offset of the raw file (bytes read, seeked)
    std::size_t next_fill_ = first_fill;  // bytes the next fill asks for
    InterruptCheck interrupt_check_;
};

}  // namespace pelvar
