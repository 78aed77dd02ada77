// Sample buffers handed to NumPy without a copy.
//
// NumPy is neither linked nor included: its C-API table comes from the
// `_ARRAY_API` capsule of its multiarray module, looked up on first use.
// Each array's base is a PySliceContainer that owns the buffer and gives it
// back to its allocator when NumPy lets go of it.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "block_pool.hpp"
#include "column.hpp"
#include "py_ref.hpp"
#include "sample_buffer.hpp"

namespace pelvar {

// A one-dimensional array over the buffer, which it now owns.
// Fails (Panic) with the messages of the NumPy table lookup and array making.
PyRef from_raw_parts(SampleBuffer<std::uint16_t>&& samples);
PyRef from_raw_parts(SampleBuffer<float>&& samples);

// Arrays over the columns of a batch, made in two steps so that a failure
// loses nothing: view() makes an array over a column's elements (its size,
// not its capacity) whose owner holds nothing yet, and fails as
// from_raw_parts; once every array and the dictionary stand, hand_over()
// gives each column's block to its array's owner, which cannot fail. Until
// then the columns stay the caller's, whole, to be read again.
class ColumnArrays {
public:
    template <class T>
    PyRef view(Column<T>& column);
    // The i-th column viewed, which must be `column`.
    template <class T>
    void hand_over(std::size_t i, Column<T>& column) noexcept;

private:
    std::vector<PyObject*> owners_;  // borrowed: each array holds its owner
};

}  // namespace pelvar
