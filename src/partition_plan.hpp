// Splitting one file of events into partitions: runs of whole events of
// about a given number of bytes, found by one pass over the headers alone,
// whose readers, one after the other, give exactly the events and the
// failures of one reader over the whole file. Python-free.
#pragma once

#include <cstdint>
#include <optional>
#include <utility>
#include <variant>
#include <vector>

#include "internal_failure.hpp"
#include "io_failure.hpp"
#include "read_outcome.hpp"
#include "selection.hpp"

namespace pelvar {

// The headers of a pass, dropped.
struct DroppedHeaders {
    template <class... Head>
    std::optional<InternalFailure> accept_header(const Head&...) noexcept {
        return std::nullopt;
    }
};

// One partition: the events of the file's bytes from `range.begin`, up to
// `range.end`, as a reader that starts there reads them; `first` is the
// position in the whole file of the event at `range.begin`.
struct Partition {
    EventRange range;
    std::uint64_t first = 0;
};

// The partitions of the events from position `start` up to `stop` of the
// reader's source, which stands at the first event and can be sized. The
// pass reads headers and seeks over samples. An event that the pass cannot
// get past (a damaged header, a failed read) starts the last partition,
// which reads on from there as a reader over the whole file does, and meets
// it again. A read given up after a signal is returned instead.
template <class Reader>
[[nodiscard]] std::variant<std::vector<Partition>, IoFailure> plan_partitions(Reader& reader,
                                                                              std::uint64_t partition_bytes,
                                                                              std::uint64_t start,
                                                                              std::optional<std::uint64_t> stop) {
    std::vector<Partition> partitions;
    if (stop && *stop <= start) {
        return partitions;
    }
    std::optional<Partition> open;  // being gathered
    std::uint64_t index = 0;        // position of the next event
    // The open partition ends with the events before `index`, at `end`
    // (none: it reads on to the end of the file, where a plain reader
    // ends too, also on the bytes of an event cut short).
    auto close = [&](std::optional<std::uint64_t> end) {
        if (open && index > open->first) {
            open->range.end = end;
            open->range.stop = index - open->first;
            partitions.push_back(*open);
        }
        open.reset();
    };
    for (;;) {
        const std::uint64_t at = reader.source().position();
        if (stop && index >= *stop) {
            close(at);
            return partitions;
        }
        if (index >= start) {
            if (open && at - open->range.begin >= partition_bytes) {
                close(at);
            }
            if (!open) {
                open = Partition{EventRange{0, std::nullopt, at, std::nullopt}, index};
            }
        }
        DroppedHeaders dropped;
        auto step = reader.skip_into(dropped);
        if (std::holds_alternative<Delivered>(step)) {
            ++index;
            continue;
        }
        if (std::holds_alternative<EndOfEvents>(step)) {
            close(std::nullopt);
            return partitions;
        }
        if (auto* io = std::get_if<IoFailure>(&step); io != nullptr && io->is_interrupted()) {
            return *io;
        }
        close(at);
        Partition last{EventRange{index < start ? start - index : 0, std::nullopt, at, std::nullopt}, index};
        if (stop) {
            last.range.stop = *stop - index;
        }
        partitions.push_back(last);
        return partitions;
    }
}

}  // namespace pelvar
