// Sample buffers handed to NumPy without a copy.
//
// NumPy is neither linked nor included: its C-API table comes from the
// `_ARRAY_API` capsule of its multiarray module, looked up on first use.
// Each array's base is a PySliceContainer that owns the buffer and gives it
// back to its allocator when NumPy lets go of it.
#pragma once

#include <Python.h>

#include <cstdint>

#include "block_pool.hpp"
#include "column.hpp"
#include "py_ref.hpp"
#include "sample_buffer.hpp"

namespace pelvar {

// The interpreter's raw allocator, which tracemalloc sees and which needs no
// thread state; sample buffers that become arrays are made with it.
extern const Allocator python_raw_allocator;

// The process's pool of batch column blocks, from python_raw_allocator: made
// on first use and never destroyed, since arrays may let go of their blocks
// on any thread, until the very end of the process.
BlockPool& batch_block_pool();

// A one-dimensional array over the buffer, which it now owns.
// Fails (Panic) with the messages of the NumPy table lookup and array making.
PyRef from_raw_parts(SampleBuffer<std::uint16_t>&& samples);
PyRef from_raw_parts(SampleBuffer<float>&& samples);

// A one-dimensional array over the column's elements (its size, not its
// capacity); the array owns the column's block. Fails as from_raw_parts.
PyRef from_column(Column<std::int32_t>&& column);
PyRef from_column(Column<std::uint32_t>&& column);
PyRef from_column(Column<std::int64_t>&& column);
PyRef from_column(Column<std::uint64_t>&& column);
PyRef from_column(Column<std::uint16_t>&& column);
PyRef from_column(Column<float>&& column);

}  // namespace pelvar
