// The columns of a batch by name: the format's header fields, "byte_offset"
// and "data" (with "offsets", which comes with it), as BatchReader's
// `columns` argument names them.
#pragma once

#include <Python.h>

#include <optional>
#include <string_view>

#include "py_ref.hpp"
#include "selection.hpp"

namespace pelvar {

// The columns that `columns` (a sequence of names; null for all) chooses
// among those of the format `reader_type` ("WD1" or "WD2"). Empty, with
// TypeError (not a sequence of str) or ValueError (an unknown name, none)
// set, when it chooses none that can be read.
std::optional<ColumnSet> parse_columns(PyObject* columns, std::string_view reader_type);

// The names of the chosen columns in the order a batch holds them, a
// tuple: with "offsets" before "data" (a batch's keys), or without it (what
// `columns` takes).
PyRef column_names(const ColumnSet& columns, std::string_view reader_type, bool with_offsets);

}  // namespace pelvar
