#include "posix_file.hpp"

#include <cerrno>
#include <climits>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

namespace pelvar {

std::variant<PosixFile, IoFailure> PosixFile::open(const char* path, InterruptCheck interrupt_check) noexcept {
    struct Opened {
        int fd;
        int error_number;
    };
    auto opened = without_interruptions(
        [&] {
            const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
            return Opened{fd, fd < 0 ? errno : 0};
        },
        interrupt_check);
    if (!opened) {
        return IoFailure::interrupted();
    }
    if (opened->fd < 0) {
        return IoFailure::from_errno(opened->error_number);
    }
    return PosixFile(opened->fd);
}

PosixFile& PosixFile::operator=(PosixFile&& other) noexcept {
    if (this != &other) {
        close();
        fd_ = other.fd_;
        other.fd_ = -1;
    }
    return *this;
}

void PosixFile::close() noexcept {
    if (fd_ >= 0) {
        // Nothing useful can be done about a failing close of a read-only file.
        (void)::close(fd_);
        fd_ = -1;
    }
}

RawRead PosixFile::read(void* destination, std::size_t count) noexcept {
    // Linux reads at most 0x7ffff000 bytes a call anyway; stay below SSIZE_MAX.
    if (count > static_cast<std::size_t>(SSIZE_MAX)) {
        count = static_cast<std::size_t>(SSIZE_MAX);
    }
    ssize_t n = ::read(fd_, destination, count);
    if (n < 0) {
        return RawRead{0, errno};
    }
    return RawRead{static_cast<std::size_t>(n), 0};
}

RawRead PosixFile::readv(void* first, std::size_t first_count, void* second, std::size_t second_count) noexcept {
    // readv fails with EINVAL when the total exceeds SSIZE_MAX: shorten the
    // first piece and leave out the second, as read() does.
    constexpr auto most = static_cast<std::size_t>(SSIZE_MAX);
    if (first_count >= most || second_count > most - first_count) {
        return read(first, first_count);
    }
    struct iovec pieces[2] = {{first, first_count}, {second, second_count}};
    ssize_t n = ::readv(fd_, pieces, 2);
    if (n < 0) {
        return RawRead{0, errno};
    }
    return RawRead{static_cast<std::size_t>(n), 0};
}

IoStatus PosixFile::seek_to_start() noexcept {
    if (::lseek(fd_, 0, SEEK_SET) < 0) {
        return IoFailure::from_errno(errno);
    }
    return std::nullopt;
}

IoStatus PosixFile::seek_forward(std::uint64_t count) noexcept {
    if (count > static_cast<std::uint64_t>(INT64_MAX)) {
        return IoFailure::from_errno(EINVAL);
    }
    if (::lseek(fd_, static_cast<off_t>(count), SEEK_CUR) < 0) {
        return IoFailure::from_errno(errno);
    }
    return std::nullopt;
}

std::optional<std::uint64_t> PosixFile::remaining() noexcept {
    struct stat st;
    if (::fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode)) {
        return std::nullopt;
    }
    off_t offset = ::lseek(fd_, 0, SEEK_CUR);
    if (offset < 0) {
        return std::nullopt;
    }
    return st.st_size > offset ? static_cast<std::uint64_t>(st.st_size - offset) : 0;
}

}  // namespace pelvar
