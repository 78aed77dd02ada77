// The result of one reader step.
#pragma once

#include <optional>
#include <utility>
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

// What a step that delivers no event fails with.
using StepFailure = std::variant<IoFailure, InternalFailure>;

// A step that put its event into the caller's sink.
struct Delivered {};

// A step whose sink had no room for the event: nothing of it is consumed,
// and the next step reads it again.
struct Declined {};

// What a step into a sink gives.
using StepOutcome = std::variant<Delivered, Declined, EndOfEvents, IoFailure, InternalFailure>;

// The failure as the outcome of an operation that yields `Result`.
template <class Result>
ReadOutcome<Result> as_outcome(StepFailure&& failure) {
    return std::visit([](auto&& f) -> ReadOutcome<Result> { return std::move(f); }, std::move(failure));
}

// What a step failed with; nothing for an event or the end of the events.
inline std::optional<StepFailure> failure_of(StepOutcome&& step) {
    if (auto* io = std::get_if<IoFailure>(&step)) {
        return *io;
    }
    if (auto* internal = std::get_if<InternalFailure>(&step)) {
        return std::move(*internal);
    }
    return std::nullopt;
}

}  // namespace pelvar
