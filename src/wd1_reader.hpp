// WD1 event files and their reader. Python-free.
//
// A WD1 file is events laid end to end, from offset 0, with no file header.
// One event, all values little-endian:
//
//   offset  size  field
//        0     4  event_size     signed 32-bit, bytes of the whole event
//        4     4  board_id       signed 32-bit
//        8     4  pattern        signed 32-bit
//       12     4  board_channel  signed 32-bit
//       16     4  event_counter  signed 32-bit
//       20     4  timestamp      signed 32-bit
//       24  2 each samples       unsigned 16-bit, (event_size - 24) / 2 of them
//
// Only event_size is interpreted. An odd event_size leaves the event's last
// byte unread: it becomes the first byte of the next header.
#pragma once

#include <cstdint>
#include <optional>
#include <utility>

#include "byte_order.hpp"
#include "byte_source.hpp"
#include "read_outcome.hpp"
#include "sample_buffer.hpp"

namespace pelvar {

struct WD1Event {
    std::int32_t event_size;
    std::int32_t board_id;
    std::int32_t pattern;
    std::int32_t board_channel;
    std::int32_t event_counter;
    std::int32_t timestamp;
    SampleBuffer<std::uint16_t> data;
};

inline constexpr std::size_t wd1_header_bytes = 24;

// Samples that follow a header with this event_size: (event_size - 24) in
// wrapping 32-bit arithmetic, halved toward zero. Empty when that difference
// is below -1 (event_size 22 down to -2147483624), which no writer produces.
[[nodiscard]] std::optional<std::uint32_t> wd1_sample_count(std::int32_t event_size) noexcept;

template <ByteSource Source>
class WD1Reader {
public:
    explicit WD1Reader(Source source, const Allocator* allocator = &malloc_allocator) noexcept
        : source_(std::move(source)), allocator_(allocator) {}

    Source& source() noexcept { return source_; }
    bool finished() const noexcept { return finished_; }

    // One event. The end of the file anywhere inside an event is the end of
    // the events (the partial event's bytes stay consumed); an error of the
    // operating system is returned once, and every later step is the end.
    // A read given up after a signal is returned too, but the reader reads
    // on from where it stopped.
    [[nodiscard]] ReadOutcome<WD1Event> next() {
        if (finished_) {
            return EndOfEvents{};
        }
        std::byte header[wd1_header_bytes];
        if (auto failure = source_.read_exact(header, sizeof header)) {
            return end_or_failure(*failure);
        }
        const std::int32_t event_size = load_le<std::int32_t>(header);
        auto samples = wd1_sample_count(event_size);
        if (!samples) {
            return capacity_overflow();
        }
        auto block = read_samples<std::uint16_t>(source_, *samples, allocator_);
        if (auto* failure = std::get_if<IoFailure>(&block)) {
            return end_or_failure(*failure);
        }
        if (auto* internal = std::get_if<InternalFailure>(&block)) {
            return std::move(*internal);
        }
        return WD1Event{
            event_size,
            load_le<std::int32_t>(header + 4),
            load_le<std::int32_t>(header + 8),
            load_le<std::int32_t>(header + 12),
            load_le<std::int32_t>(header + 16),
            load_le<std::int32_t>(header + 20),
            std::move(std::get<SampleBuffer<std::uint16_t>>(block)),
        };
    }

private:
    ReadOutcome<WD1Event> end_or_failure(const IoFailure& failure) noexcept {
        if (failure.is_end_of_file()) {
            return EndOfEvents{};
        }
        finished_ = !failure.is_interrupted();
        return failure;
    }

    Source source_;
    const Allocator* allocator_;
    bool finished_ = false;  // latched by the first error of the operating system
};

}  // namespace pelvar
