// NumPy's C-API table: the one place that knows it.
//
// NumPy is neither linked nor included. Its multiarray module publishes a
// table of function and type pointers in the `_ARRAY_API` capsule; it is
// looked up once per process, on first use, and every entry is reached
// through the named wrappers below, each of which checks its slot.
#pragma once

#include <Python.h>

namespace pelvar {

using npy_intp = Py_intptr_t;

// Type numbers and flags of NumPy's C interface.
inline constexpr int npy_ushort = 4;
inline constexpr int npy_int = 5;
inline constexpr int npy_uint = 6;
inline constexpr int npy_long = 7;
inline constexpr int npy_ulong = 8;
inline constexpr int npy_longlong = 9;
inline constexpr int npy_ulonglong = 10;
inline constexpr int npy_float = 11;
inline constexpr int npy_array_writeable = 0x0400;

class NumpyTable {
public:
    // PyArray_Type.
    PyTypeObject* array_type() const;
    // PyArray_DescrFromType: a new reference, or null with the error set.
    PyObject* descr_from_type(int type_number) const;
    // PyArray_NewFromDescr: takes over `descr` (also when it fails).
    PyObject* new_from_descr(PyTypeObject* subtype, PyObject* descr, int dimensions_count, npy_intp* dimensions,
                             npy_intp* strides, void* data, int flags, PyObject* prototype) const;
    // PyArray_SetBaseObject: takes over `base` (also when it fails).
    int set_base_object(PyObject* array, PyObject* base) const;

private:
    friend NumpyTable numpy_table();
    explicit NumpyTable(void** slots) noexcept : slots_(slots) {}

    // The entry at `index`; a failure (Panic) if the table has none there.
    void* slot(int index, const char* name) const;

    void** slots_;
};

// The table, looked up on the first call: the core package from NumPy's
// version ("numpy._core" from 2 on, "numpy.core" before), then the capsule
// of its multiarray module. A failed lookup is a failure (Panic) with the
// message "Failed to access NumPy array API capsule: ..." and is tried again
// on the next call.
NumpyTable numpy_table();

}  // namespace pelvar
