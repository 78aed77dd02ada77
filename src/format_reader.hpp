// The reader of a file of events laid end to end, each a header and then a
// block of samples whose count the header gives, over any byte source. The
// step is the same for every format; a format (WD1Format, WD2Format) says
// only how long its header is, how it decodes it, how many samples follow,
// and whether an error of the operating system ends its events for good.
// Python-free.
#pragma once

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <utility>
#include <variant>

#include "allocator.hpp"
#include "byte_source.hpp"
#include "event_sink.hpp"
#include "internal_failure.hpp"
#include "io_failure.hpp"
#include "read_outcome.hpp"
#include "sample_buffer.hpp"
#include "single_event.hpp"

namespace pelvar {

template <class F>
concept EventFormat = std::copyable<F> && requires(const F& format, const std::byte* bytes,
                                                   const typename F::Header& header) {
    typename F::Sample;
    typename F::Event;  // the header, then the samples in a SampleBuffer named `data`
    { F::max_header_bytes } -> std::convertible_to<std::size_t>;
    { F::stops_after_os_error } -> std::convertible_to<bool>;
    { format.header_bytes() } noexcept -> std::same_as<std::size_t>;
    { format.decode(bytes) } noexcept -> std::same_as<typename F::Header>;
    // Empty when the count does not fit the arithmetic ("capacity overflow").
    { format.sample_count(header) } noexcept -> std::same_as<std::optional<std::uint64_t>>;
};

template <EventFormat Format, ByteSource Source>
class FormatReader {
public:
    using Header = typename Format::Header;
    using Sample = typename Format::Sample;
    using Event = typename Format::Event;

    explicit FormatReader(Source source, const Allocator* allocator = &malloc_allocator, Format format = {}) noexcept
        : source_(std::move(source)), allocator_(allocator), format_(format) {}

    Source& source() noexcept { return source_; }
    const Format& format() const noexcept { return format_; }
    // Whether an error of the operating system has ended the events, in a
    // format where it does.
    bool finished() const noexcept { return finished_; }

    // One event, put into `sink` (the header as a Header), or declined by it
    // and left unread. The end of the file anywhere inside an event is the
    // end of the events (the partial event's bytes stay consumed). An error
    // of the operating system is returned; where the format says so, every
    // later step is the end, else the reader reads on from where the failed
    // read left it. A read given up after a signal is returned too, and the
    // reader reads on from where it stopped. When a source object raises (a
    // Python file object, a codec), the event's bytes go back to the source:
    // the next step reads it whole.
    template <EventSink<Sample> Sink>
    [[nodiscard]] StepOutcome next_into(Sink& sink) {
        if constexpr (Format::stops_after_os_error) {
            if (finished_) {
                return EndOfEvents{};
            }
        }
        // 1. The header, where it lies in the buffer or copied out of it.
        std::byte copied[Format::max_header_bytes];
        const std::size_t header_size = format_.header_bytes();
        const std::byte* header_bytes = source_.take_buffered(header_size);
        if (header_bytes == nullptr) {
            if (auto failure = source_.read_exact(copied, header_size)) {
                return end_or_failure(*failure);
            }
            header_bytes = copied;
        }
        const Header header = format_.decode(header_bytes);
        // 2. Room for the samples; without it the header goes back.
        auto count = format_.sample_count(header);
        if (!count) {
            return capacity_overflow();
        }
        auto storage = sink.sample_storage(*count);
        if (!storage) {
            source_.unread(header_bytes, header_size);
            return Declined{};
        }
        // 3. The samples, and the event to the sink. Samples that go beyond
        // the buffer refill it, where the header lies: kept aside, it can go
        // back if a source object fails in them (once per fill at most).
        if (header_bytes != copied && *count > source_.buffered() / sizeof(Sample)) {
            std::memcpy(copied, header_bytes, header_size);
            header_bytes = copied;
        }
        if (auto failure = read_samples<Sample>(source_, *count, *storage)) {
            // The event's bytes go back, so that it is read whole when the
            // caller tries again (read_samples gave back the samples').
            if (auto* io = std::get_if<IoFailure>(&*failure); io != nullptr && io->is_raised()) {
                source_.give_back(header_bytes, header_size);
            }
            return settle(std::move(*failure));
        }
        if (auto refused = sink.accept(std::move(*storage), header)) {
            return std::move(*refused);
        }
        return Delivered{};
    }

    // One event's header to `sink` (sink.accept_header(header), which may
    // fail with an InternalFailure), its samples skipped rather than read:
    // seeked over where the source's size vouches for them, else read and
    // dropped. The events, their ends and their failures are those of
    // next_into, but for the memory the samples would take. For a source
    // whose reads cannot raise: the skipped bytes cannot be given back.
    template <class Sink>
    [[nodiscard]] StepOutcome skip_into(Sink& sink) {
        if constexpr (Format::stops_after_os_error) {
            if (finished_) {
                return EndOfEvents{};
            }
        }
        std::byte copied[Format::max_header_bytes];
        const std::size_t header_size = format_.header_bytes();
        const std::byte* header_bytes = source_.take_buffered(header_size);
        if (header_bytes == nullptr) {
            if (auto failure = source_.read_exact(copied, header_size)) {
                return end_or_failure(*failure);
            }
            header_bytes = copied;
        }
        const Header header = format_.decode(header_bytes);
        auto count = format_.sample_count(header);
        if (!count || *count > SIZE_MAX / sizeof(Sample)) {
            return capacity_overflow();
        }
        if (auto failure = source_.skip(*count * sizeof(Sample))) {
            return end_or_failure(*failure);
        }
        if (auto refused = sink.accept_header(header)) {
            return std::move(*refused);
        }
        return Delivered{};
    }

    // One event as a record of its own.
    [[nodiscard]] ReadOutcome<Event> next() {
        SingleEvent<Event, Sample> sink(allocator_);
        return sink.outcome(next_into(sink));
    }

private:
    StepOutcome end_or_failure(const IoFailure& failure) noexcept {
        if (failure.is_end_of_file()) {
            return EndOfEvents{};
        }
        if constexpr (Format::stops_after_os_error) {
            finished_ = !failure.may_retry();
        }
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
    [[no_unique_address]] Format format_;
    bool finished_ = false;  // latched by the first error of the operating system, where the format stops
};

}  // namespace pelvar
