// BatchReader.partitions(source, reader_type, *, partition_bytes, **reader
// keywords): one pass over the headers of a file (or a buffer), and the
// recipes of the readers of its partitions.
#pragma once

#include <Python.h>

#include <optional>
#include <vector>

#include "batch_core.hpp"
#include "reader_recipe.hpp"

namespace pelvar {

// A partition's reader, to be made: over a path, only its recipe (it opens
// its file when first read, so that a long list of partitions holds no
// descriptors); over a buffer, its batcher already.
struct PlannedPartition {
    ReaderRecipe recipe;
    std::optional<FileBatcher> batcher;
};

inline constexpr std::size_t default_partition_bytes = std::size_t{256} << 20;

// Empty, with the exception set, when the arguments do not bind, the
// source cannot be split (compressed, a file object, no regular file) or
// cannot be read.
std::optional<std::vector<PlannedPartition>> plan_batch_partitions(PyObject* args, PyObject* kwargs);

}  // namespace pelvar
