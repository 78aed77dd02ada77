// The input seam: every kind of input the readers decode events from is a
// raw source behind the one read-ahead buffer. A kind is one class here
// (a POSIX file, memory, a Python file object), and the binding layer picks
// one from what the caller gave. The read-ahead buffer calls the source once
// per fill (8 to 64 KiB), so the virtual call costs nothing per event.
// Python-free: a source that calls into Python lives in the binding layer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <utility>

#include "byte_source.hpp"
#include "io_failure.hpp"

namespace pelvar {

// One kind of input: the raw calls of the RawFile concept.
class RawSource {
public:
    virtual ~RawSource() = default;
    virtual RawRead read(void* destination, std::size_t count) noexcept = 0;
    virtual RawRead readv(void* first, std::size_t first_count, void* second, std::size_t second_count) noexcept = 0;
    virtual IoStatus seek_to_start() noexcept = 0;
    virtual IoStatus seek_forward(std::uint64_t count) noexcept = 0;
    virtual std::optional<std::uint64_t> remaining() noexcept = 0;
};

// A RawFile as a raw source.
template <RawFile F>
class RawSourceOf final : public RawSource {
public:
    explicit RawSourceOf(F file) noexcept : file_(std::move(file)) {}
    RawRead read(void* destination, std::size_t count) noexcept override { return file_.read(destination, count); }
    RawRead readv(void* first, std::size_t first_count, void* second, std::size_t second_count) noexcept override {
        return file_.readv(first, first_count, second, second_count);
    }
    IoStatus seek_to_start() noexcept override { return file_.seek_to_start(); }
    IoStatus seek_forward(std::uint64_t count) noexcept override { return file_.seek_forward(count); }
    std::optional<std::uint64_t> remaining() noexcept override { return file_.remaining(); }

private:
    F file_;
};

// The owner of whichever raw source the input is: the raw file that the
// read-ahead buffer reads through.
class AnySource {
public:
    explicit AnySource(std::unique_ptr<RawSource> source) noexcept : source_(std::move(source)) {}
    template <RawFile F>
    static AnySource of(F file) {
        return AnySource(std::make_unique<RawSourceOf<F>>(std::move(file)));
    }

    RawRead read(void* destination, std::size_t count) noexcept { return source_->read(destination, count); }
    RawRead readv(void* first, std::size_t first_count, void* second, std::size_t second_count) noexcept {
        return source_->readv(first, first_count, second, second_count);
    }
    IoStatus seek_to_start() noexcept { return source_->seek_to_start(); }
    IoStatus seek_forward(std::uint64_t count) noexcept { return source_->seek_forward(count); }
    std::optional<std::uint64_t> remaining() noexcept { return source_->remaining(); }

private:
    std::unique_ptr<RawSource> source_;
};

static_assert(RawFile<AnySource>);

}  // namespace pelvar
