// What a BatchReader is made of, apart from its open file: where its events
// come from, their format, the limits, columns and events asked for, and
// what opening the file told (the WD2 layout, a partition's file size). A
// reader over a path can be opened again from it, later or in another
// process: that is how partitions travel, and what a reader pickles as.
#pragma once

#include <Python.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "batch_core.hpp"
#include "event_batch.hpp"
#include "py_ref.hpp"
#include "selection.hpp"

namespace pelvar {

struct ReaderRecipe {
    PyRef path;         // str or bytes, when a path named the input; null for memory or a file object
    PyRef compression;  // as given: a codec's name or None; null for the default, "infer"
    std::string reader_type;  // "WD1" or "WD2"
    BatchLimits limits{1, 1};
    ColumnSet columns;
    EventRange range;
    std::uint64_t first = 0;                   // the position in the file of the event at range.begin
    std::optional<std::int32_t> wd2_channels;  // the layout, once probed
    // A partition's: the size of its file (or buffer) when it was planned.
    std::optional<std::uint64_t> planned_size;
    // Why another process could not read it, when it cannot.
    const char* not_portable = nullptr;

    ReaderRecipe copy() const;
};

// The batcher of the recipe's events over `source`, standing at the start
// of the input: it moves to the recipe's first byte, checks a partition's
// size and builds the reader (WD2: probing the layout unless the recipe
// knows it, and keeping what the probe found). Empty, with the exception
// set, when it cannot.
std::optional<FileBatcher> batcher_for(FileSource source, ReaderRecipe& recipe);

// The same, opening the recipe's path.
std::optional<FileBatcher> reopen(ReaderRecipe& recipe);

// The recipe as a tuple of plain values, and back (TypeError or ValueError
// when the tuple is none that state() made).
PyRef recipe_state(const ReaderRecipe& recipe);
std::optional<ReaderRecipe> recipe_from_state(PyObject* state);

}  // namespace pelvar
