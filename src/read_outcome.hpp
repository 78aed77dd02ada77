// The result of one reader step.
#pragma once

#include <variant>

#include "internal_failure.hpp"
#include "io_failure.hpp"

namespace pelvar {

// The file ended somewhere inside the next event (or right before it): there
// are no more events for now. Not remembered by the readers.
struct EndOfEvents {};

// An event, the end of the events, an I/O failure reported by the operating
// system, or a broken invariant (for instance "capacity overflow").
template <class Event>
using ReadOutcome = std::variant<Event, EndOfEvents, IoFailure, InternalFailure>;

}  // namespace pelvar
