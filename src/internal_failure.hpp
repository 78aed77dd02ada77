// A broken invariant inside the module's own code, carried as a value out of
// the readers; the binding layer turns it into PanicException.
#pragma once

#include <string>

namespace pelvar {

struct InternalFailure {
    std::string message;
};

inline InternalFailure capacity_overflow() { return InternalFailure{"capacity overflow"}; }

}  // namespace pelvar
