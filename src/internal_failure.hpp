// A broken invariant inside the module's own code, carried as a value out of
// the readers; the binding layer turns it into PanicException.
#pragma once

#include <cstddef>
#include <string>

namespace pelvar {

struct InternalFailure {
    std::string message;
    // The allocator refused memory: raised as MemoryError, not PanicException.
    bool memory_exhausted = false;
};

inline InternalFailure capacity_overflow() { return InternalFailure{"capacity overflow"}; }

inline InternalFailure memory_refused(std::size_t bytes) {
    return InternalFailure{"memory allocation of " + std::to_string(bytes) + " bytes failed", true};
}

}  // namespace pelvar
