#include "numpy_bridge.hpp"

#include <cstddef>
#include <string>
#include <type_traits>

#include "failure.hpp"
#include "interpreter_lock.hpp"
#include "numpy_api.hpp"
#include "process_cell.hpp"
#include "py_text.hpp"
#include "python_memory.hpp"

namespace pelvar {
namespace {

// ---- PySliceContainer ----------------------------------------------------

// The array keeps the data pointer and the length; the owner keeps only what
// giving the block back takes.
struct PySliceContainer : PyObject {
    const Allocator* release;  // gives the block back
    void* block;               // the allocation that holds the array's data; null: nothing to give back
    std::size_t block_bytes;   // its size, as allocated
    // Where a batch column's block goes back to, to be reused by the batches
    // still to be read; null for an event's samples.
    BlockPool* pool;
};

void slice_container_dealloc(PyObject* self) noexcept {
    auto* container = reinterpret_cast<PySliceContainer*>(self);
    guarded_destruction(self, [&] {
        if (container->block != nullptr) {
            // The interpreter's raw allocator takes its blocks back through
            // the recycling first.
            if (container->pool) {
                container->pool->give_back(container->block, container->block_bytes);
            } else if (container->release != &python_raw_allocator ||
                       !keep_raw_block(container->block, container->block_bytes)) {
                container->release->release(container->block);
            }
        }
        container->block = nullptr;
    });
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyType_Slot slice_container_slots[] = {
    {Py_tp_doc, const_cast<char*>("Utility type to safely store `Box<[_]>` or `Vec<_>` on the Python heap")},
    {Py_tp_dealloc, reinterpret_cast<void*>(slice_container_dealloc)},
    {0, nullptr},
};

PyType_Spec slice_container_spec{
    "builtins.PySliceContainer",
    static_cast<int>(sizeof(PySliceContainer)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    slice_container_slots,
};

ProcessCell<PyTypeObject*> slice_container_type;

PyTypeObject* get_slice_container_type() {
    return slice_container_type.get_or_make(
        [] {
            auto* created = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&slice_container_spec));
            if (created == nullptr) {
                interpreter_call([&] { PyErr_WriteUnraisable(nullptr); });
                panic("failed to create type object for `PySliceContainer`");
            }
            return created;
        },
        [](PyTypeObject* lost) noexcept { Py_DECREF(lost); });
}

// ---- from_raw_parts -----------------------------------------------------

// A one-dimensional array over `length` elements at `data`, whose base is a
// new PySliceContainer that holds nothing yet (it frees nothing if dropped).
PyRef array_over(void* data, std::size_t length, int type_number, std::size_t element_size,
                 PySliceContainer** owner_out) {
    PyTypeObject* container_type = get_slice_container_type();

    // 1. The owner, empty until the buffer is handed over.
    PyRef owner = PyRef::steal(container_type->tp_alloc(container_type, 0));
    if (!owner) {
        PyRef error = take_pending_exception();
        panic("Failed to create slice container: " + describe_exception(error.get()));
    }
    auto* container = reinterpret_cast<PySliceContainer*>(owner.get());

    // 2. NumPy's table; 3. the descriptor; 4. an array over the buffer.
    const NumpyTable numpy = numpy_table();
    PyTypeObject* array_type = numpy.array_type();
    PyObject* descr = numpy.descr_from_type(type_number);
    if (descr == nullptr) {
        python_api_failed();
    }
    npy_intp dimensions[1] = {static_cast<npy_intp>(length)};
    npy_intp strides[1] = {static_cast<npy_intp>(element_size)};
    // NumPy takes over the descriptor's reference, also when it fails.
    PyRef array = PyRef::steal(
        numpy.new_from_descr(array_type, descr, 1, dimensions, strides, data, npy_array_writeable, nullptr));
    if (!array) {
        python_api_failed();
    }
    // 6. The array takes over the owner's reference, also when it fails.
    if (numpy.set_base_object(array.get(), owner.release()) < 0) {
        python_api_failed();
    }
    *owner_out = container;
    return array;
}

// The owner takes the buffer; nothing here can fail.
void adopt(PySliceContainer* owner, const Allocator* allocator, BufferParts parts) noexcept {
    owner->release = allocator;
    owner->block = parts.block;
    owner->block_bytes = parts.block_bytes;
    owner->pool = parts.pool;
}

// An array that owns what `buffer` (a SampleBuffer or a Column) holds. If
// the array cannot be made, the buffer stays the caller's.
template <class T, class Buffer>
PyRef make_array(Buffer&& buffer) {
    PySliceContainer* owner = nullptr;
    PyRef array = array_over(buffer.data(), buffer.size(), numpy_type_number<T>(), sizeof(T), &owner);
    const Allocator* allocator = buffer.allocator();
    adopt(owner, allocator, buffer.release());
    return array;
}

}  // namespace

template <class T>
PyRef ColumnArrays::view(Column<T>& column) {
    PySliceContainer* owner = nullptr;
    PyRef array = array_over(column.data(), column.size(), numpy_type_number<T>(), sizeof(T), &owner);
    owners_.push_back(owner);
    return array;
}

template PyRef ColumnArrays::view(Column<std::int32_t>&);
template PyRef ColumnArrays::view(Column<std::uint32_t>&);
template PyRef ColumnArrays::view(Column<std::int64_t>&);
template PyRef ColumnArrays::view(Column<std::uint64_t>&);
template PyRef ColumnArrays::view(Column<std::uint16_t>&);
template PyRef ColumnArrays::view(Column<float>&);

template <class T>
void ColumnArrays::hand_over(std::size_t i, Column<T>& column) noexcept {
    const Allocator* allocator = column.allocator();
    adopt(static_cast<PySliceContainer*>(owners_[i]), allocator, column.release());
}

template void ColumnArrays::hand_over(std::size_t, Column<std::int32_t>&) noexcept;
template void ColumnArrays::hand_over(std::size_t, Column<std::uint32_t>&) noexcept;
template void ColumnArrays::hand_over(std::size_t, Column<std::int64_t>&) noexcept;
template void ColumnArrays::hand_over(std::size_t, Column<std::uint64_t>&) noexcept;
template void ColumnArrays::hand_over(std::size_t, Column<std::uint16_t>&) noexcept;
template void ColumnArrays::hand_over(std::size_t, Column<float>&) noexcept;

PyRef from_raw_parts(SampleBuffer<std::uint16_t>&& samples) { return make_array<std::uint16_t>(std::move(samples)); }
PyRef from_raw_parts(SampleBuffer<float>&& samples) { return make_array<float>(std::move(samples)); }

}  // namespace pelvar
