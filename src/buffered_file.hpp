// The buffered file reader: an 8192-byte buffer in front of a raw file, with
// exact reads, forward skips and a rewind to offset 0. Python-free.
//
// `Raw` is PosixFile in the module and a scripted in-memory file in the tests;
// it offers read, seek_to_start, seek_forward and remaining (see PosixFile).
#pragma once

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <utility>

#include "io_failure.hpp"

namespace pelvar {

template <class Raw>
class BufferedReader {
public:
    static constexpr std::size_t capacity = 8192;

    // `interrupt_check` decides what a call interrupted by a signal does
    // (see InterruptCheck); without one it is repeated.
    explicit BufferedReader(Raw raw, InterruptCheck interrupt_check = nullptr)
        : raw_(std::move(raw)),
          buffer_(std::make_unique_for_overwrite<std::byte[]>(capacity)),
          interrupt_check_(interrupt_check) {}

    Raw& raw() noexcept { return raw_; }

    // Delivers all `count` bytes, or fails. On the end-of-file failure the
    // bytes delivered so far stay consumed. A read of 0 bytes touches nothing.
    IoStatus read_exact(void* destination, std::size_t count) noexcept {
        auto* out = static_cast<std::byte*>(destination);
        std::size_t buffered = filled_ - position_;
        if (count <= buffered) {
            if (count != 0) {
                std::memcpy(out, buffer_.get() + position_, count);
            }
            position_ += count;
            return std::nullopt;
        }
        if (buffered != 0) {
            std::memcpy(out, buffer_.get() + position_, buffered);
            out += buffered;
            count -= buffered;
        }
        position_ = filled_ = 0;
        while (count != 0) {
            // A request at least as large as the buffer goes straight into
            // the destination: no copy through the buffer.
            if (count >= capacity) {
                auto got = read_retrying(out, count);
                if (!got) {
                    return got.error;
                }
                out += got.count;
                count -= got.count;
                continue;
            }
            if (auto failure = fill()) {
                return failure;
            }
            std::size_t take = std::min(count, filled_);
            std::memcpy(out, buffer_.get(), take);
            position_ = take;
            out += take;
            count -= take;
        }
        return std::nullopt;
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
            if (auto failure = retrying_seek([&] { return raw_.seek_forward(vouched); })) {
                return failure;
            }
            count -= vouched;
        }
        while (count != 0) {
            if (auto failure = fill()) {
                return failure;
            }
            std::size_t take = static_cast<std::size_t>(std::min<std::uint64_t>(count, filled_));
            position_ = take;
            count -= take;
        }
        return std::nullopt;
    }

    // Seeks to offset 0 and discards the buffered bytes.
    IoStatus rewind() noexcept {
        position_ = filled_ = 0;
        return retrying_seek([&] { return raw_.seek_to_start(); });
    }

    // Bytes known to be left (buffered, plus the rest of a regular file);
    // empty when the source cannot tell.
    std::optional<std::uint64_t> remaining() noexcept {
        auto left = raw_.remaining();
        if (!left) {
            return std::nullopt;
        }
        return *left + (filled_ - position_);
    }

private:
    struct Got {
        std::size_t count;
        IoStatus error;
        explicit operator bool() const noexcept { return !error; }
    };

    // After EINTR: true to repeat the call, false to give up.
    bool retry_after_interrupt() noexcept { return interrupt_check_ == nullptr || !interrupt_check_(); }

    // A seek, repeated while interrupted by a signal (as the check allows).
    template <class Seek>
    IoStatus retrying_seek(Seek seek) noexcept {
        for (;;) {
            IoStatus status = seek();
            if (!status || status->error_number() != EINTR || status->kind() != IoKind::os) {
                return status;
            }
            if (!retry_after_interrupt()) {
                return IoFailure::interrupted();
            }
        }
    }

    // One raw read of up to `count` bytes, repeated while interrupted by a
    // signal (as the check allows); 0 bytes is the end-of-file failure.
    Got read_retrying(std::byte* out, std::size_t count) noexcept {
        for (;;) {
            auto r = raw_.read(out, count);
            if (r.error_number == EINTR) {
                if (!retry_after_interrupt()) {
                    return Got{0, IoFailure::interrupted()};
                }
                continue;
            }
            if (r.error_number != 0) {
                return Got{0, IoFailure::from_errno(r.error_number)};
            }
            if (r.count == 0) {
                return Got{0, IoFailure::end_of_file()};
            }
            return Got{r.count, std::nullopt};
        }
    }

    // Refills the empty buffer with one raw read.
    IoStatus fill() noexcept {
        auto got = read_retrying(buffer_.get(), capacity);
        if (!got) {
            return got.error;
        }
        position_ = 0;
        filled_ = got.count;
        return std::nullopt;
    }

    Raw raw_;
    std::unique_ptr<std::byte[]> buffer_;
    std::size_t position_ = 0;  // next unread byte in buffer_
    std::size_t filled_ = 0;    // bytes of buffer_ that hold file data
    InterruptCheck interrupt_check_;
};

}  // namespace pelvar
