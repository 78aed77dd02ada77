// Where a reader step puts the event it reads: the event path's SingleEvent
// (a record of its own) or a batch's columns. The reader asks the sink for
// storage for the samples once the header has given their count (none: the
// sink has no room for the event now, and the reader gives the header back),
// reads the block into it, then hands over the storage and the decoded
// header (the format's Header); accept() says when the sink could not take
// them (memory). Python-free.
#pragma once

#include <cstdint>

#include "sample_buffer.hpp"

namespace pelvar {

template <class Sink, class T>
concept EventSink = requires(Sink& sink, std::uint64_t count) {
    { *sink.sample_storage(count) } -> SampleStorage<T>;
};

}  // namespace pelvar
