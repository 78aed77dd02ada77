// A reader that reads ahead to decide something and must then read the same
// bytes again, over a source that may not seek back (a pipe, a decompressed
// stream): every byte it takes is kept, a rewind reads the kept bytes again,
// and at the end they all go back in front of the source. Python-free.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <utility>
#include <variant>
#include <vector>

#include "byte_source.hpp"
#include "io_failure.hpp"

namespace pelvar {

template <class Source>
class KeptBytes {
public:
    explicit KeptBytes(Source& source) noexcept : source_(source) {}

    // As the source's: on the end-of-file failure, what came is kept too.
    IoStatus read_exact(void* destination, std::size_t count) { return take(static_cast<std::byte*>(destination), count); }

    // Reads and keeps them: skipping by a seek would lose them.
    IoStatus skip(std::uint64_t count) {
        std::byte scratch[4096];
        while (count != 0) {
            const auto piece = static_cast<std::size_t>(std::min<std::uint64_t>(count, sizeof scratch));
            if (auto failure = take(scratch, piece)) {
                return failure;
            }
            count -= piece;
        }
        return std::nullopt;
    }

    // Reads from the first kept byte again.
    IoStatus rewind() noexcept {
        next_ = 0;
        return std::nullopt;
    }

    // Every byte taken, back in front of the source.
    void give_back() { source_.replay(std::move(kept_)); }

private:
    IoStatus take(std::byte* out, std::size_t count) {
        const std::size_t again = std::min(count, kept_.size() - next_);
        if (again != 0) {
            std::memcpy(out, kept_.data() + next_, again);
            next_ += again;
            out += again;
            count -= again;
        }
        while (count != 0) {
            auto got = source_.read_some(out, count);
            if (auto* failure = std::get_if<IoFailure>(&got)) {
                return *failure;
            }
            const std::size_t n = std::get<std::size_t>(got);
            if (n == 0) {
                return IoFailure::end_of_file();
            }
            kept_.insert(kept_.end(), out, out + n);
            next_ += n;
            out += n;
            count -= n;
        }
        return std::nullopt;
    }

    Source& source_;
    std::vector<std::byte> kept_;
    std::size_t next_ = 0;  // the next byte to deliver, within kept_ while a rewind is read again
};

}  // namespace pelvar
