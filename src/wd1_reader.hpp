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

#include <cstddef>
#include <cstdint>
#include <optional>
#include <tuple>

#include "byte_order.hpp"
#include "byte_source.hpp"
#include "format_reader.hpp"
#include "header_columns.hpp"
#include "header_fields.hpp"
#include "sample_buffer.hpp"

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

// The layout as the reading step and the field table take it.
struct WD1Format {
    using Header = WD1Header;
    using Sample = std::uint16_t;
    using Event = WD1Event;

    static constexpr std::tuple fields{
        HeaderField{"event_size", &WD1Header::event_size},
        HeaderField{"board_id", &WD1Header::board_id},
        HeaderField{"pattern", &WD1Header::pattern},
        HeaderField{"board_channel", &WD1Header::board_channel},
        HeaderField{"event_counter", &WD1Header::event_counter},
        HeaderField{"timestamp", &WD1Header::timestamp},
    };

    static constexpr std::size_t max_header_bytes = wd1_header_bytes;

    // After an error of the operating system nothing more is read: the
    // events end there for good.
    static constexpr bool stops_after_os_error = true;

    std::size_t header_bytes() const noexcept { return wd1_header_bytes; }
    Header decode(const std::byte* bytes) const noexcept { return decode_wd1_header(bytes); }
    std::optional<std::uint64_t> sample_count(const Header& header) const noexcept {
        return wd1_sample_count(header.event_size);
    }
};

template <ByteSource Source>
using WD1Reader = FormatReader<WD1Format, Source>;

using WD1Columns = HeaderColumns<WD1Format>;

}  // namespace pelvar
