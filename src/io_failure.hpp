// I/O failures as values: what the file layer reports to the readers and what
// the readers hand on to the binding layer. Python-free.
#pragma once

#include <cerrno>
#include <memory>
#include <optional>
#include <string>

#include "error_text.hpp"

namespace pelvar {

enum class IoKind {
    unexpected_eof,  // an exact read met the end of the file first
    os,              // the operating system reported an error number
    interrupted,     // a call met EINTR and the interrupt check said to give up
    raised,          // the source object raised (a Python file object, a codec)
};

// What a source that is not a file of the operating system failed with: a
// Python exception, kept by the binding layer that made the source. Below
// the binding only its text is seen.
class RaisedError {
public:
    virtual ~RaisedError() = default;
    virtual std::string text() const = 0;
};

// Called when a system call fails with EINTR: false to repeat the call, true
// to give it up with the interrupted failure. The binding layer runs the
// interpreter's signal handlers here, so a handler that raises ends a blocked
// read; the exception stays pending for the binding layer to raise. No check
// (nullptr) repeats the call.
using InterruptCheck = bool (*)() noexcept;

// Makes a system call until it ends other than by EINTR, or until the check
// gives it up after one (then: empty). The call returns a result with its
// error number in `error_number` (0 on success). The one place where read,
// readv and open are repeated; lseek is not, as it cannot be interrupted.
template <class Call>
auto without_interruptions(Call call, InterruptCheck check) -> std::optional<decltype(call())> {
    for (;;) {
        auto result = call();
        if (result.error_number != EINTR) {
            return result;
        }
        if (check != nullptr && check()) {
            return std::nullopt;
        }
    }
}

class IoFailure {
public:
    static IoFailure end_of_file() noexcept { return IoFailure(IoKind::unexpected_eof, 0); }
    static IoFailure from_errno(int error_number) noexcept { return IoFailure(IoKind::os, error_number); }
    static IoFailure interrupted() noexcept { return IoFailure(IoKind::interrupted, EINTR); }
    static IoFailure raised(std::shared_ptr<const RaisedError> error) noexcept {
        IoFailure failure(IoKind::raised, 0);
        failure.raised_ = std::move(error);
        return failure;
    }

    IoKind kind() const noexcept { return kind_; }
    bool is_end_of_file() const noexcept { return kind_ == IoKind::unexpected_eof; }
    bool is_interrupted() const noexcept { return kind_ == IoKind::interrupted; }
    bool is_raised() const noexcept { return kind_ == IoKind::raised; }
    // Failures after which the same read may be tried again: nothing of the
    // source is known to be lost (a signal handler's exception, an exception
    // of the source object).
    bool may_retry() const noexcept { return kind_ == IoKind::interrupted || kind_ == IoKind::raised; }
    // 0 for the end-of-file and raised kinds.
    int error_number() const noexcept { return error_number_; }
    // The source's own failure, for the raised kind; null otherwise.
    const RaisedError* raised_error() const noexcept { return raised_.get(); }

    // "failed to fill whole buffer", "<C library text> (os error N)", or the
    // text of what the source raised.
    std::string display() const;

    friend bool operator==(const IoFailure&, const IoFailure&) = default;

private:
    IoFailure(IoKind kind, int error_number) noexcept : kind_(kind), error_number_(error_number) {}

    IoKind kind_;
    int error_number_;
    std::shared_ptr<const RaisedError> raised_;
};

// What an I/O operation that yields nothing returns: nothing on success, else
// its failure. Every I/O result here has this sense, the one of an error code:
// it is set (tests true) when the operation failed, so that a caller writes
// `if (auto failure = source.read_exact(...)) return *failure;`.
class [[nodiscard]] IoStatus {
public:
    IoStatus() noexcept = default;
    IoStatus(std::nullopt_t) noexcept {}
    IoStatus(const IoFailure& failure) noexcept : failure_(failure) {}

    explicit operator bool() const noexcept { return failure_.has_value(); }
    const IoFailure& operator*() const noexcept { return *failure_; }
    const IoFailure* operator->() const noexcept { return &*failure_; }

private:
    std::optional<IoFailure> failure_;
};

}  // namespace pelvar
