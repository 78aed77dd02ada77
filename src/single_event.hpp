// The event path's sink: a reader step puts its one event here, with the
// samples in a buffer of their own that moves on whole into the event's
// array. Python-free.
#pragma once

#include <cstdint>
#include <optional>
#include <utility>
#include <variant>

#include "read_outcome.hpp"
#include "sample_buffer.hpp"

namespace pelvar {

template <class Event, class T>
class SingleEvent {
public:
    explicit SingleEvent(const Allocator* allocator) noexcept : allocator_(allocator) {}

    // Room for any event.
    std::optional<SampleBuffer<T>> sample_storage(std::uint64_t /*count*/) noexcept {
        return SampleBuffer<T>(allocator_);
    }

    // The samples and the header. Never refuses.
    template <class Header>
    [[nodiscard]] std::optional<InternalFailure> accept(SampleBuffer<T>&& samples, const Header& header) {
        event_.emplace(Event{header, std::move(samples)});
        return std::nullopt;
    }

    // The step's outcome with the event in place of Delivered.
    ReadOutcome<Event> outcome(StepOutcome&& step) {
        return std::visit(
            [&](auto&& alternative) -> ReadOutcome<Event> {
                using A = std::decay_t<decltype(alternative)>;
                if constexpr (std::is_same_v<A, Delivered>) {
                    return std::move(*event_);
                } else if constexpr (std::is_same_v<A, Declined>) {
                    return InternalFailure{"an event was declined"};  // never: this sink has room for any
                } else {
                    return std::move(alternative);
                }
            },
            std::move(step));
    }

private:
    const Allocator* allocator_;
    std::optional<Event> event_;
};

}  // namespace pelvar
