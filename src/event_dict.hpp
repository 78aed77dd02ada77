// Event records to dictionaries: header fields as int, samples as an array.
#pragma once

#include "py_ref.hpp"
#include "wd1_reader.hpp"
#include "wd2_reader.hpp"

namespace pelvar {

// Keys in the order of the file's header, then "data". The record's sample
// buffer moves into the array.
PyRef event_to_dict(WD1Event&& event);
PyRef event_to_dict(WD2Event&& event);

}  // namespace pelvar
