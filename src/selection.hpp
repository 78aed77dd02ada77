// What a batch reader is asked for: which columns, and which events (by
// their position among the events that iteration yields, and by the bytes
// of the file they lie in). Python-free.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

namespace pelvar {

// The columns a batch holds: header fields by their position in the
// format's table, the byte offset of each event's header, and the samples
// (with their offsets).
struct ColumnSet {
    std::uint32_t header = ~std::uint32_t{0};
    bool byte_offset = false;
    bool data = true;

    bool has_header(std::size_t field) const noexcept { return (header >> field & 1u) != 0; }

    // Every header field and the samples, as a batch held them before
    // columns could be chosen.
    bool is_default(std::size_t fields) const noexcept {
        const std::uint32_t all = fields >= 32 ? ~std::uint32_t{0} : (std::uint32_t{1} << fields) - 1;
        return (header & all) == all && data && !byte_offset;
    }
};

// The events read: the part of the stream from `begin` (where the reader
// starts) to `end` (the first event whose header starts at or after it is
// not read), and among the events there the ones from position `start`
// up to, not including, `stop`.
struct EventRange {
    std::uint64_t start = 0;
    std::optional<std::uint64_t> stop;
    std::uint64_t begin = 0;
    std::optional<std::uint64_t> end;

    bool is_whole() const noexcept { return start == 0 && !stop && begin == 0 && !end; }
};

}  // namespace pelvar
