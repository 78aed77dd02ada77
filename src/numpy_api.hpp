// NumPy's C-API table: the one place that knows it.
//
// NumPy is neither linked nor included. Its multiarray module publishes a
// table of function and type pointers in the `_ARRAY_API` capsule; it is
// looked up once per process, on first use, and every entry is reached
// through the named wrappers below, each of which checks its slot.
#pragma once

#include <Python.h>

#include <cstdint>
#include <type_traits>

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

// NumPy's type number for an element type.
template <class T>
constexpr int numpy_type_number() {
    if constexpr (std::is_same_v<T, std::uint16_t>) {
        return npy_ushort;
    } else if constexpr (std::is_same_v<T, float>) {
        return npy_float;
    } else if constexpr (std::is_same_v<T, std::int32_t>) {
        static_assert(sizeof(int) == 4);
        return npy_int;
    } else if constexpr (std::is_same_v<T, std::uint32_t>) {
        return npy_uint;
    } else if constexpr (std::is_same_v<T, std::int64_t>) {
        return sizeof(long) == 8 ? npy_long : npy_longlong;
    } else {
        static_assert(std::is_same_v<T, std::uint64_t>);
        return sizeof(long) == 8 ? npy_ulong : npy_ulonglong;
    }
}

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
