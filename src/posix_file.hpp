// Owner of one file descriptor opened read-only, and the raw system calls the
// buffered reader makes on it. Python-free.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <variant>

#include "byte_source.hpp"
#include "io_failure.hpp"

namespace pelvar {

class PosixFile {
public:
    // open(path, O_RDONLY | O_CLOEXEC), repeated while it fails with EINTR
    // and the check (if any) allows it. Opening a FIFO blocks until a writer
    // comes, so this can be interrupted as a read can.
    [[nodiscard]] static std::variant<PosixFile, IoFailure> open(const char* path,
                                                   InterruptCheck interrupt_check = nullptr) noexcept;

    explicit PosixFile(int fd) noexcept : fd_(fd) {}
    PosixFile(PosixFile&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
    PosixFile& operator=(PosixFile&& other) noexcept;
    PosixFile(const PosixFile&) = delete;
    PosixFile& operator=(const PosixFile&) = delete;
    ~PosixFile() { close(); }

    RawRead read(void* destination, std::size_t count) noexcept;
    RawRead readv(void* first, std::size_t first_count, void* second, std::size_t second_count) noexcept;
    IoStatus seek_to_start() noexcept;
    IoStatus seek_forward(std::uint64_t count) noexcept;
    [[nodiscard]] std::optional<std::uint64_t> remaining() noexcept;

private:
    void close() noexcept;

    int fd_;
};

static_assert(RawFile<PosixFile>);

}  // namespace pelvar
