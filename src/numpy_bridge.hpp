// Sample buffers handed to NumPy without a copy.
//
// NumPy is neither linked nor included: its C-API table comes from the
// `_ARRAY_API` capsule of its multiarray module, looked up on first use.
// Each array's base is a PySliceContainer that owns the buffer and gives it
// back to its allocator when NumPy lets go of it.
#pragma once

#include <Python.h>

#include <cstdint>

#include "py_ref.hpp"
#include "sample_buffer.hpp"

namespace pelvar {

// The interpreter's raw allocator, which tracemalloc sees and which needs no
// thread state; sample buffers that become arrays are made with it.
extern const Allocator python_raw_allocator;

// A one-dimensional array over the buffer, which it now owns.
// Fails (Panic) with the messages of the NumPy table lookup and array making.
PyRef from_raw_parts(SampleBuffer<std::uint16_t>&& samples);
PyRef from_raw_parts(SampleBuffer<float>&& samples);

}  // namespace pelvar
