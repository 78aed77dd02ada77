// WD2 event files and their reader. Python-free.
//
// A WD2 file is events laid end to end, from offset 0, with no file header.
// One event, all values little-endian, packed:
//
//   offset  size  field
//        0     4  event_counter    unsigned 32-bit
//        4     8  timestamp        unsigned 64-bit
//       12     4  samples          unsigned 32-bit, values per channel
//       16     8  sampling_period  unsigned 64-bit
//       24     4  channels         signed 32-bit, multi-channel files only
//    24/28  4 each values          32-bit floats, probed_channels x samples
//
// Nothing in the file says whether events carry the channel-count field, so
// opening a file probes its first event and the header of the second: if
// they read as two consecutive events with the field, the file has it.
#pragma once

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <tuple>
#include <utility>
#include <variant>

#include "byte_order.hpp"
#include "byte_source.hpp"
#include "format_reader.hpp"
#include "header_columns.hpp"
#include "header_fields.hpp"
#include "kept_bytes.hpp"
#include "read_outcome.hpp"
#include "sample_buffer.hpp"

namespace pelvar {

inline constexpr std::size_t wd2_header_bytes = 24;  // without the channel count
inline constexpr std::size_t wd2_channels_bytes = 4;

struct WD2Header {
    std::uint32_t event_counter;
    std::uint64_t timestamp;
    std::uint32_t samples;
    std::uint64_t sampling_period;
};

// An event's header fields as they are delivered.
struct WD2EventHeader : WD2Header {
    // The event's own channel-count field in multi-channel files; the
    // probed count (1) in single-channel ones.
    std::int32_t channels;
};

struct WD2Event : WD2EventHeader {
    SampleBuffer<float> data;
};

inline WD2Header decode_wd2_header(const std::byte* bytes) noexcept {
    return WD2Header{
        load_le<std::uint32_t>(bytes),
        load_le<std::uint64_t>(bytes + 4),
        load_le<std::uint32_t>(bytes + 12),
        load_le<std::uint64_t>(bytes + 16),
    };
}

// Bytes of a sample block: samples x channels x 4 modulo 2^64, the channel
// count widened with its sign. Empty above 2^63 - 1 (a negative count).
inline std::optional<std::uint64_t> wd2_block_bytes(std::uint32_t samples, std::int32_t channels) noexcept {
    const std::uint64_t bytes =
        std::uint64_t{samples} * static_cast<std::uint64_t>(std::int64_t{channels}) * sizeof(float);
    if (bytes > static_cast<std::uint64_t>(INT64_MAX)) {
        return std::nullopt;
    }
    return bytes;
}

// Whether `second` can be the event after `first`: next counter (modulo
// 2^32), same samples, same sampling period. Timestamps take no part.
bool wd2_follows(const WD2Header& first, const WD2Header& second) noexcept;

// The layout of a file whose channel count is probed, as the reading step
// and the field table take it.
struct WD2Format {
    using Header = WD2EventHeader;
    using Sample = float;
    using Event = WD2Event;

    static constexpr std::tuple fields{
        HeaderField{"event_counter", &WD2EventHeader::event_counter},
        HeaderField{"timestamp", &WD2EventHeader::timestamp},
        HeaderField{"samples", &WD2EventHeader::samples},
        HeaderField{"sampling_period", &WD2EventHeader::sampling_period},
        HeaderField{"channels", &WD2EventHeader::channels},
    };

    static constexpr std::size_t max_header_bytes = wd2_header_bytes + wd2_channels_bytes;

    // After an error of the operating system the reader reads on from where
    // the failed read left it.
    static constexpr bool stops_after_os_error = false;

    bool has_channel_field() const noexcept { return probed_channels >= 2; }

    std::size_t header_bytes() const noexcept {
        return wd2_header_bytes + (has_channel_field() ? wd2_channels_bytes : 0);
    }

    Header decode(const std::byte* bytes) const noexcept {
        return Header{decode_wd2_header(bytes),
                      has_channel_field() ? load_le<std::int32_t>(bytes + wd2_header_bytes) : probed_channels};
    }

    // The block is sized by the probed count, never by the event's own.
    std::optional<std::uint64_t> sample_count(const Header& header) const noexcept {
        auto bytes = wd2_block_bytes(header.samples, probed_channels);
        if (!bytes) {
            return std::nullopt;
        }
        return *bytes / sizeof(float);
    }

    std::int32_t probed_channels;  // fixed by the probe; 2 or more: events carry the field
};

using WD2Columns = HeaderColumns<WD2Format>;

// Opening a file probes its layout; reading it is the common step.
template <ByteSource Source>
class WD2Reader : public FormatReader<WD2Format, Source> {
public:
    using Opened = std::variant<WD2Reader, IoFailure, InternalFailure>;

    // How the probe goes back to the first event: by seeking to offset 0, or
    // by keeping the bytes it read and reading them again, which works on a
    // source that cannot seek back (a pipe, a decompressed stream) and makes
    // the same decision.
    enum class Rewind { seek, keep };

    // Takes the source at offset 0, probes the layout and goes back to
    // offset 0. On failure the source is released before this returns.
    [[nodiscard]] static Opened open(Source source, const Allocator* allocator = &malloc_allocator,
                                     Rewind rewind = Rewind::seek) {
        if (rewind == Rewind::seek) {
            auto layout = probe_layout(source);
            if (auto* channels = std::get_if<std::int32_t>(&layout)) {
                return WD2Reader(std::move(source), *channels, allocator);
            }
            return as_opened(std::move(layout));
        }
        KeptBytes<Source> kept(source);
        auto layout = probe_layout(kept);
        if (auto* channels = std::get_if<std::int32_t>(&layout)) {
            kept.give_back();
            return WD2Reader(std::move(source), *channels, allocator);
        }
        return as_opened(std::move(layout));
    }

    // A reader of a file whose layout a probe has told already (the same
    // file, reopened elsewhere): nothing is read.
    static WD2Reader with_layout(Source source, std::int32_t probed_channels,
                                 const Allocator* allocator = &malloc_allocator) noexcept {
        return WD2Reader(std::move(source), probed_channels, allocator);
    }

    WD2Reader(WD2Reader&&) noexcept = default;
    WD2Reader& operator=(WD2Reader&&) noexcept = default;

    std::int32_t probed_channels() const noexcept { return this->format().probed_channels; }

private:
    using Probe = std::variant<std::int32_t, IoFailure, InternalFailure>;

    static Opened as_opened(Probe&& failed) {
        if (auto* failure = std::get_if<IoFailure>(&failed)) {
            return *failure;
        }
        return std::get<InternalFailure>(std::move(failed));
    }

    // The channel count of the layout, the probe back at offset 0; or why it
    // cannot be told.
    template <class P>
    [[nodiscard]] static Probe probe_layout(P& source) {
        auto probed = probe_with_channel_field(source);
        if (auto* channels = std::get_if<std::int32_t>(&probed)) {
            if (auto failure = source.rewind()) {
                return *failure;
            }
            return *channels;
        }
        // A single-channel file read as if it had the field takes its first
        // sample for a channel count: the skip runs past the end (a positive
        // float) or is refused (a negative one). Read it the other way before
        // giving up; if that does not hold together either, or cannot start
        // (a source that cannot seek), the first failure stands. An error of
        // the operating system while reading it the other way is returned.
        const auto* eof = std::get_if<IoFailure>(&probed);
        const bool retry = eof ? eof->is_end_of_file() : std::holds_alternative<InternalFailure>(probed);
        if (retry) {
            auto single = is_single_channel(source);
            if (auto* failure = std::get_if<IoFailure>(&single)) {
                return *failure;
            }
            if (std::get<bool>(single)) {
                if (auto failure = source.rewind()) {
                    return *failure;
                }
                return std::int32_t{1};
            }
        }
        return probed;
    }

    WD2Reader(Source source, std::int32_t probed_channels, const Allocator* allocator) noexcept
        : FormatReader<WD2Format, Source>(std::move(source), allocator, WD2Format{probed_channels}) {}

    // Reads a header with the channel-count field at the current position.
    template <class P>
    static IoStatus read_long_header(P& source, WD2Header& header, std::int32_t& channels) {
        std::byte bytes[wd2_header_bytes + wd2_channels_bytes];
        if (auto failure = source.read_exact(bytes, sizeof bytes)) {
            return failure;
        }
        header = decode_wd2_header(bytes);
        channels = load_le<std::int32_t>(bytes + wd2_header_bytes);
        return std::nullopt;
    }

    // The first event and the second header, read as having the field: the
    // first event's channel count if the two agree, else 1.
    template <class P>
    [[nodiscard]] static Probe probe_with_channel_field(P& source) {
        WD2Header first{};
        WD2Header second{};
        std::int32_t first_channels = 0;
        std::int32_t second_channels = 0;
        if (auto failure = read_long_header(source, first, first_channels)) {
            return *failure;
        }
        auto bytes = wd2_block_bytes(first.samples, first_channels);
        if (!bytes) {
            return capacity_overflow();
        }
        if (auto failure = source.skip(*bytes)) {
            return *failure;
        }
        if (auto failure = read_long_header(source, second, second_channels)) {
            return *failure;
        }
        if (second_channels == first_channels && wd2_follows(first, second)) {
            return first_channels;
        }
        return std::int32_t{1};
    }

    // The same bytes read as single-channel events, from offset 0: whether
    // they hold together (false when the file ends first or is no file that
    // can seek), or the failure of a seek or read.
    template <class P>
    [[nodiscard]] static std::variant<bool, IoFailure> is_single_channel(P& source) {
        if (auto failure = source.rewind()) {
            if (failure->kind() == IoKind::os && failure->error_number() == ESPIPE) {
                return false;
            }
            return *failure;
        }
        return single_channel_headers_follow(source);
    }

    template <class P>
    [[nodiscard]] static std::variant<bool, IoFailure> single_channel_headers_follow(P& source) {
        auto outcome = [](const IoFailure& failure) -> std::variant<bool, IoFailure> {
            if (failure.is_end_of_file()) {
                return false;
            }
            return failure;
        };
        std::byte first_bytes[wd2_header_bytes];
        std::byte second_bytes[wd2_header_bytes];
        if (auto failure = source.read_exact(first_bytes, sizeof first_bytes)) {
            return outcome(*failure);
        }
        const WD2Header first = decode_wd2_header(first_bytes);
        if (auto failure = source.skip(std::uint64_t{first.samples} * sizeof(float))) {
            return outcome(*failure);
        }
        if (auto failure = source.read_exact(second_bytes, sizeof second_bytes)) {
            return outcome(*failure);
        }
        return wd2_follows(first, decode_wd2_header(second_bytes));
    }

};

}  // namespace pelvar
