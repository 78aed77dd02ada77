// What a test sees of one reader step, in a form that gtest can compare and print.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <ostream>
#include <string>
#include <variant>
#include <vector>

#include "io_failure.hpp"
#include "read_outcome.hpp"
#include "scripted_file.hpp"

namespace pelvar_test {

template <class Seen>
struct Step {
    enum Kind { event, end, io_failure, internal_failure };
    Kind kind;
    Seen seen{};
    int error_number = 0;  // io_failure: 0 for the end-of-file kind
    std::string message;   // io_failure: display text; internal_failure: its message

    static Step of(Seen s) { return Step{event, std::move(s), 0, {}}; }
    static Step the_end() { return Step{end, {}, 0, {}}; }
    static Step io(int number) {
        return Step{io_failure, {}, number,
                    number == 0 ? pelvar::IoFailure::end_of_file().display()
                                : pelvar::IoFailure::from_errno(number).display()};
    }
    static Step internal(std::string text) { return Step{internal_failure, {}, 0, std::move(text)}; }

    friend bool operator==(const Step&, const Step&) = default;
    friend std::ostream& operator<<(std::ostream& os, const Step& s) {
        switch (s.kind) {
            case event: return os << "event " << s.seen;
            case end: return os << "end";
            case io_failure: return os << "io failure: " << s.message;
            case internal_failure: return os << "internal failure: " << s.message;
        }
        return os;
    }
};

// One step of a reader, with the event's buffer turned into a `Seen` by `see`.
template <class Seen, class Event, class See>
Step<Seen> step_of(pelvar::ReadOutcome<Event>&& outcome, See see) {
    if (auto* e = std::get_if<Event>(&outcome)) return Step<Seen>::of(see(*e));
    if (std::holds_alternative<pelvar::EndOfEvents>(outcome)) return Step<Seen>::the_end();
    if (auto* f = std::get_if<pelvar::IoFailure>(&outcome)) {
        Step<Seen> s = Step<Seen>::io(f->error_number());
        s.message = f->display();
        return s;
    }
    return Step<Seen>::internal(std::get<pelvar::InternalFailure>(outcome).message);
}

// A test fixture that gives each test a counting allocator and checks, after
// the test, that every sample buffer went back to it.
template <class Base>
class WithAllocator : public Base {
protected:
    void TearDown() override {
        EXPECT_EQ(alloc.live_bytes(), 0u) << "sample buffers left unfreed";
        EXPECT_EQ(alloc.live_blocks(), 0u);
    }
    CountingAllocator alloc;
};

}  // namespace pelvar_test
