// A process-wide value that is set once and then kept.
//
// Every lazily made piece of shared state (the key strings, the NumPy table
// and its lookup steps, the PySliceContainer type, PanicException, the
// interpreter that owns the module) goes through this one cell, so the rules
// are written once:
// - the first value published wins and stays until the process ends;
// - a thread that loses the race drops its own copy and uses the winner's;
// - nobody waits: two threads may both make a value (a lookup that imports
//   may release the interpreter lock half-way), but neither blocks the other
//   while holding the interpreter.
// Python-free.
#pragma once

#include <atomic>
#include <utility>

namespace pelvar {

template <class T, T empty = T{}>
class ProcessCell {
public:
    constexpr ProcessCell() noexcept = default;
    ProcessCell(const ProcessCell&) = delete;
    ProcessCell& operator=(const ProcessCell&) = delete;

    // The published value, or `empty`.
    T get() const noexcept { return value_.load(std::memory_order_acquire); }

    // Publishes `value` unless a value is there already; returns the value
    // that the cell holds afterwards.
    T publish(T value) noexcept {
        T expected = empty;
        if (value_.compare_exchange_strong(expected, value, std::memory_order_acq_rel, std::memory_order_acquire)) {
            return value;
        }
        return expected;
    }

    // The published value, made by `make` if there is none yet. `make`
    // returns `empty` (or throws) on failure, leaving the cell empty for a
    // later try; a value that loses the race goes to `discard`.
    template <class Make, class Discard>
    T get_or_make(Make&& make, Discard&& discard) {
        if (T known = get(); known != empty) {
            return known;
        }
        T made = std::forward<Make>(make)();
        if (made == empty) {
            return empty;
        }
        T kept = publish(made);
        if (kept != made) {
            std::forward<Discard>(discard)(made);
        }
        return kept;
    }

    // For values that need no disposal (static strings, integers).
    template <class Make>
    T get_or_make(Make&& make) {
        return get_or_make(std::forward<Make>(make), [](T) noexcept {});
    }

private:
    std::atomic<T> value_{empty};
};

}  // namespace pelvar
