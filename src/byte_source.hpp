// What the layers below the binding ask of the one beneath them, checked by
// the compiler: PosixFile and the in-memory test file are both raw files, and
// BufferedReader over either is the byte source the readers take. Python-free.
#pragma once

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>

#include "io_failure.hpp"

namespace pelvar {

// One raw read: the byte count (0 at the end of the file), or the error
// number, set on failure as every I/O result here is.
struct [[nodiscard]] RawRead {
    std::size_t count;
    int error_number;  // 0 on success; EINTR is left to the caller to retry
    // Set when a source that is not a file of the operating system failed
    // (error_number is then 0): what it raised.
    std::shared_ptr<const RaisedError> raised = {};
};

// The file that BufferedReader reads through: single system calls that may
// be short or interrupted (EINTR comes back as an error number, for the
// buffered reader to retry), none of them throwing.
template <class F>
concept RawFile = std::move_constructible<F> &&
    requires(F& file, void* destination, std::size_t count, std::uint64_t distance) {
        { file.read(destination, count) } noexcept -> std::same_as<RawRead>;
        // One readv of two pieces: the first is filled before anything goes
        // to the second.
        { file.readv(destination, count, destination, count) } noexcept -> std::same_as<RawRead>;
        { file.seek_to_start() } noexcept -> std::same_as<IoStatus>;
        { file.seek_forward(distance) } noexcept -> std::same_as<IoStatus>;
        // Bytes from the offset to the end of a regular file; empty for
        // anything that cannot be sized and seeked (a FIFO, a socket).
        { file.remaining() } noexcept -> std::same_as<std::optional<std::uint64_t>>;
    };

// The source the readers decode events from: exact reads (the end of the
// file inside one is the end-of-file failure), the next bytes where they lie
// when they are buffered already, the bytes of the last read given back (a
// header, up to 64 bytes), forward skips, a rewind to offset 0, and the
// bytes known to be left (empty when it cannot tell).
template <class S>
concept ByteSource = std::move_constructible<S> &&
    requires(S& source, void* destination, std::size_t count, std::uint64_t distance) {
        { source.read_exact(destination, count) } -> std::same_as<IoStatus>;
        { source.take_buffered(count) } noexcept -> std::same_as<const std::byte*>;
        { source.unread(destination, count) } noexcept;
        // Any number of bytes given back, after a failure that may be retried.
        { source.give_back(destination, count) };
        { source.skip(distance) } -> std::same_as<IoStatus>;
        { source.rewind() } -> std::same_as<IoStatus>;
        { source.remaining() } -> std::same_as<std::optional<std::uint64_t>>;
    };

}  // namespace pelvar
