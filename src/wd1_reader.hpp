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
#include "column.hpp"
#include "event_sink.hpp"
#include "read_outcome.hpp"
#include "sample_buffer.hpp"
#include "single_event.hpp"

namespace pelvar {

struct WD1Header {
    std::int32_t event_size;
    std::int32_t board_id;
    std::int32_t pattern;
    std::int32_t board_channel;
    std::int32_t event_counter;
    std::int32_t timestamp;
};

struct WD1Event : WD1Header {
    SampleBuffer<std::uint16_t> data;
};

inline constexpr std::size_t wd1_header_bytes = 24;

inline WD1Header decode_wd1_header(const std::byte* bytes) noexcept {
    return WD1Header{
        load_le<std::int32_t>(bytes),      load_le<std::int32_t>(bytes + 4),  load_le<std::int32_t>(bytes + 8),
        load_le<std::int32_t>(bytes + 12), load_le<std::int32_t>(bytes + 16), load_le<std::int32_t>(bytes + 20),
    };
}

// The header fields of a batch of events, a column each, in the record's order.
struct WD1Columns {
    static constexpr std::size_t bytes_per_event = 6 * sizeof(std::int32_t);

    explicit WD1Columns(BlockPool* a) noexcept
        : event_size(a), board_id(a), pattern(a), board_channel(a), event_counter(a), timestamp(a) {}

    template <class F>
    void for_each(F&& f) {
        f("event_size", event_size);
        f("board_id", board_id);
        f("pattern", pattern);
        f("board_channel", board_channel);
        f("event_counter", event_counter);
        f("timestamp", timestamp);
    }

    // Row i, within the capacity.
    void put(std::size_t i, const WD1Header& h) noexcept {
        event_size.put(i, h.event_size);
        board_id.put(i, h.board_id);
        pattern.put(i, h.pattern);
        board_channel.put(i, h.board_channel);
        event_counter.put(i, h.event_counter);
        timestamp.put(i, h.timestamp);
    }

    Column<std::int32_t> event_size, board_id, pattern, board_channel, event_counter, timestamp;
};

// Samples that follow a header with this event_size: (event_size - 24) in
// wrapping 32-bit arithmetic, halved toward zero. Empty when that difference
// is below -1 (event_size 22 down to -2147483624), which no writer produces.
[[nodiscard]] inline std::optional<std::uint32_t> wd1_sample_count(std::int32_t event_size) noexcept {
    const auto difference =
        static_cast<std::int32_t>(static_cast<std::uint32_t>(event_size) - std::uint32_t{wd1_header_bytes});
    if (difference < -1) {
        return std::nullopt;
    }
    return static_cast<std::uint32_t>(difference / 2);
}

template <ByteSource Source>
class WD1Reader {
public:
    explicit WD1Reader(Source source, const Allocator* allocator = &malloc_allocator) noexcept
        : source_(std::move(source)), allocator_(allocator) {}

    Source& source() noexcept { return source_; }
    bool finished() const noexcept { return finished_; }

    // One event, put into `sink` (the header as a WD1Header), or declined by
    // it and left unread. The end of the file anywhere inside an event is the
    // end of the events (the partial event's bytes stay consumed); an error
    // of the operating system is returned once, and every later step is the
    // end. A read given up after a signal, or one that a Python source
    // object raised in, is returned too, but the reader reads on from where
    // it stopped.
    template <EventSink<std::uint16_t> Sink>
    [[nodiscard]] StepOutcome next_into(Sink& sink) {
        if (finished_) {
            return EndOfEvents{};
        }
        std::byte copied[wd1_header_bytes];
        const std::byte* header_bytes = source_.take_buffered(wd1_header_bytes);
        if (header_bytes == nullptr) {
            if (auto failure = source_.read_exact(copied, wd1_header_bytes)) {
                return end_or_failure(*failure);
            }
            header_bytes = copied;
        }
        const WD1Header header = decode_wd1_header(header_bytes);
        auto samples = wd1_sample_count(header.event_size);
        if (!samples) {
            return capacity_overflow();
        }
        auto storage = sink.sample_storage(*samples);
        if (!storage) {
            source_.unread(header_bytes, wd1_header_bytes);
            return Declined{};
        }
        if (auto failure = read_samples<std::uint16_t>(source_, *samples, *storage)) {
            return settle(std::move(*failure));
        }
        if (auto refused = sink.accept(std::move(*storage), header)) {
            return std::move(*refused);
        }
        return Delivered{};
    }

    // One event as a record of its own.
    [[nodiscard]] ReadOutcome<WD1Event> next() {
        SingleEvent<WD1Event, std::uint16_t> sink(allocator_);
        return sink.outcome(next_into(sink));
    }

private:
    StepOutcome end_or_failure(const IoFailure& failure) noexcept {
        if (failure.is_end_of_file()) {
            return EndOfEvents{};
        }
        finished_ = !failure.may_retry();
        return failure;
    }

    StepOutcome settle(StepFailure&& failure) noexcept {
        if (auto* io = std::get_if<IoFailure>(&failure)) {
            return end_or_failure(*io);
        }
        return std::get<InternalFailure>(std::move(failure));
    }

    Source source_;
    const Allocator* allocator_;
    bool finished_ = false;  // latched by the first error of the operating system
};

}  // namespace pelvar
