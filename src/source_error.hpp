// What a Python source object raised, carried through the readers as the
// raised kind of IoFailure and raised again, as the same exception object,
// where the binding layer reports the failure.
#pragma once

#include <memory>

#include "io_failure.hpp"

namespace pelvar {

// Takes the pending Python exception (the caller holds the interpreter) into
// a failure value, or into what a raw read carries.
std::shared_ptr<const RaisedError> capture_source_exception();
inline IoFailure capture_source_error() { return IoFailure::raised(capture_source_exception()); }

// Sets the exception that the raised failure carries as the pending one.
void restore_source_error(const IoFailure& failure);

}  // namespace pelvar
