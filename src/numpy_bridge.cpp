#include "numpy_bridge.hpp"

#include <atomic>
#include <cstddef>
#include <mutex>
#include <string>

#include "buffered_file.hpp"
#include "failure.hpp"
#include "py_text.hpp"

namespace pelvar {

namespace {

// A few sample blocks given back by their owners, kept for the next events:
// the events of a file mostly have one size, and an allocator that maps every
// large block afresh (musl's does above about 128 KiB) would otherwise fault
// its pages in again for every event. Bounded in count and bytes; owners may
// be freed on any thread, so it has a lock of its own.
class RecycledBlocks {
public:
    static constexpr std::size_t smallest = 1024;  // below: the allocator is as quick
    static constexpr std::size_t slots = 8;
    static constexpr std::size_t budget = std::size_t{1} << 20;

    void* take(std::size_t bytes) noexcept {
        if (bytes < smallest || bytes > budget) {
            return nullptr;
        }
        std::lock_guard<std::mutex> lock(mutex_);
        for (std::size_t i = count_; i-- != 0;) {
            if (slot_[i].bytes == bytes) {
                void* block = slot_[i].block;
                slot_[i] = slot_[--count_];
                held_ -= bytes;
                return block;
            }
        }
        return nullptr;
    }

    // False when the block is not kept: the caller frees it.
    bool keep(void* block, std::size_t bytes) noexcept {
        if (bytes < smallest || bytes > budget) {
            return false;
        }
        std::lock_guard<std::mutex> lock(mutex_);
        if (count_ == slots || held_ + bytes > budget) {
            return false;
        }
        slot_[count_++] = Slot{block, bytes};
        held_ += bytes;
        return true;
    }

private:
    struct Slot {
        void* block;
        std::size_t bytes;
    };
    std::mutex mutex_;
    Slot slot_[slots]{};
    std::size_t count_ = 0;
    std::size_t held_ = 0;  // bytes in slot_
};

RecycledBlocks recycled_blocks;

}  // namespace

const Allocator python_raw_allocator{
    [](std::size_t n) {
        if (void* block = recycled_blocks.take(n)) {
            return block;
        }
        return PyMem_RawMalloc(n);
    },
    [](void* p, std::size_t n) { return PyMem_RawRealloc(p, n); },
    [](void* p) { PyMem_RawFree(p); },
    placement_bytes,
};

namespace {

// ---- PySliceContainer ----------------------------------------------------

struct PySliceContainer {
    PyObject_HEAD
    const Allocator* release;  // gives the buffer back (when capacity is not 0)
    void* block;               // the allocation that holds data
    std::size_t block_bytes;   // its size
    void* data;                // never null, also for an empty buffer
    std::size_t length;        // elements in use
    std::size_t capacity;      // elements allocated
};

void slice_container_dealloc(PyObject* self) noexcept {
    auto* container = reinterpret_cast<PySliceContainer*>(self);
    guarded_destruction(self, [&] {
        if (container->capacity != 0) {
            // The interpreter's raw allocator takes its blocks back through
            // the recycling first.
            if (container->release != &python_raw_allocator ||
                !recycled_blocks.keep(container->block, container->block_bytes)) {
                container->release->release(container->block);
            }
        }
        container->capacity = 0;
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

std::atomic<PyTypeObject*> slice_container_type{nullptr};

PyTypeObject* get_slice_container_type() {
    PyTypeObject* existing = slice_container_type.load(std::memory_order_acquire);
    if (existing != nullptr) {
        return existing;
    }
    auto* created = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&slice_container_spec));
    if (created == nullptr) {
        PyErr_WriteUnraisable(nullptr);
        panic("failed to create type object for `PySliceContainer`");
    }
    if (!slice_container_type.compare_exchange_strong(existing, created, std::memory_order_acq_rel)) {
        Py_DECREF(created);
        return existing;
    }
    return created;
}

// ---- NumPy's C-API table -------------------------------------------------

// Entries of NumPy's published C-API numbering.
constexpr std::size_t api_array_type = 2;
constexpr std::size_t api_descr_from_type = 45;
constexpr std::size_t api_new_from_descr = 94;
constexpr std::size_t api_set_base_object = 282;

constexpr int npy_ushort = 4;
constexpr int npy_float = 11;
constexpr int npy_array_writeable = 0x0400;

using npy_intp = Py_intptr_t;
using DescrFromType = PyObject* (*)(int);
using NewFromDescr = PyObject* (*)(PyTypeObject*, PyObject*, int, npy_intp*, npy_intp*, void*, int, PyObject*);
using SetBaseObject = int (*)(PyObject*, PyObject*);

// Set once each and kept for the process; a failed lookup leaves its cell and
// the later ones empty, so the next array tries again from there. Racing
// threads each look up and the first to publish wins: no thread ever waits
// while holding the interpreter.
constexpr const char* numpy2_core = "numpy._core";
constexpr const char* numpy1_core = "numpy.core";

std::atomic<const char*> numpy_core_name{nullptr};
std::atomic<const char*> mod_name{nullptr};
std::atomic<void**> PY_ARRAY_API{nullptr};

[[noreturn]] void capsule_failure() {
    PyRef error = take_pending_exception();
    panic("Failed to access NumPy array API capsule: " + describe_exception(error.get()));
}

PyRef import_module(const char* name) {
    PyRef text = PyRef::steal(PyUnicode_FromString(name));
    if (!text) {
        capsule_failure();
    }
    PyRef module = PyRef::steal(PyImport_Import(text.get()));
    if (!module) {
        capsule_failure();
    }
    return module;
}

PyRef attribute(PyObject* object, const char* name) {
    PyRef value = PyRef::steal(PyObject_GetAttrString(object, name));
    if (!value) {
        capsule_failure();
    }
    return value;
}

// "numpy._core" from NumPy 2 on, "numpy.core" before.
const char* find_core_name() {
    if (const char* known = numpy_core_name.load(std::memory_order_acquire)) {
        return known;
    }
    PyRef numpy = import_module("numpy");
    PyRef version = attribute(numpy.get(), "__version__");
    PyRef numpy_lib = import_module("numpy.lib");
    PyRef numpy_version = attribute(numpy_lib.get(), "NumpyVersion");
    PyRef parsed = PyRef::steal(PyObject_CallOneArg(numpy_version.get(), version.get()));
    if (!parsed) {
        capsule_failure();
    }
    PyRef major_object = attribute(parsed.get(), "major");
    if (!PyLong_Check(major_object.get())) {
        PyErr_SetString(PyExc_TypeError, "NumPy's major version is not an integer");
        capsule_failure();
    }
    long major = PyLong_AsLong(major_object.get());
    if (major == -1 && PyErr_Occurred()) {
        capsule_failure();
    }
    if (major < 0 || major > 255) {
        PyErr_SetString(PyExc_OverflowError, "NumPy's major version does not fit in 8 bits");
        capsule_failure();
    }
    const char* name = major >= 2 ? numpy2_core : numpy1_core;
    const char* expected = nullptr;
    numpy_core_name.compare_exchange_strong(expected, name, std::memory_order_acq_rel);
    return numpy_core_name.load(std::memory_order_acquire);
}

const char* find_mod_name() {
    if (const char* known = mod_name.load(std::memory_order_acquire)) {
        return known;
    }
    const char* core = find_core_name();
    const char* name = core == numpy2_core ? "numpy._core.multiarray" : "numpy.core.multiarray";
    const char* expected = nullptr;
    mod_name.compare_exchange_strong(expected, name, std::memory_order_acq_rel);
    return mod_name.load(std::memory_order_acquire);
}

void** get_numpy_api(const char* module_name, const char* capsule_name) {
    PyRef module = import_module(module_name);
    PyRef capsule = attribute(module.get(), capsule_name);
    if (!Py_IS_TYPE(capsule.get(), &PyCapsule_Type)) {
        PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to 'PyCapsule'", Py_TYPE(capsule.get())->tp_name);
        capsule_failure();
    }
    void* table = PyCapsule_GetPointer(capsule.get(), nullptr);
    if (table == nullptr) {
        capsule_failure();
    }
    // The capsule keeps the table alive: hold it for the rest of the process.
    (void)capsule.release();
    return static_cast<void**>(table);
}

void** numpy_api() {
    if (void** table = PY_ARRAY_API.load(std::memory_order_acquire)) {
        return table;
    }
    void** table = get_numpy_api(find_mod_name(), "_ARRAY_API");
    void** expected = nullptr;
    PY_ARRAY_API.compare_exchange_strong(expected, table, std::memory_order_acq_rel);
    return PY_ARRAY_API.load(std::memory_order_acquire);
}

// ---- from_raw_parts -----------------------------------------------------

template <class T>
PyRef make_array(SampleBuffer<T>&& samples, int type_number) {
    PyTypeObject* container_type = get_slice_container_type();
    const std::size_t length = samples.size();
    void* data = samples.data();

    // 1. The owner takes the buffer.
    PyRef owner = PyRef::steal(container_type->tp_alloc(container_type, 0));
    if (!owner) {
        PyRef error = take_pending_exception();
        panic("Failed to create slice container: " + describe_exception(error.get()));
    }
    auto parts = samples.release();
    auto* container = reinterpret_cast<PySliceContainer*>(owner.get());
    container->release = samples.allocator();
    container->block = parts.block;
    container->block_bytes = parts.capacity * sizeof(T) + samples.allocator()->placement;
    container->data = parts.data;
    container->length = parts.length;
    container->capacity = parts.capacity;

    // 2. to 4. An array over it.
    void** api = numpy_api();
    auto descr_from_type = reinterpret_cast<DescrFromType>(api[api_descr_from_type]);
    auto new_from_descr = reinterpret_cast<NewFromDescr>(api[api_new_from_descr]);
    auto set_base_object = reinterpret_cast<SetBaseObject>(api[api_set_base_object]);
    auto* array_type = static_cast<PyTypeObject*>(api[api_array_type]);

    PyObject* descr = descr_from_type(type_number);
    if (descr == nullptr) {
        python_api_failed();
    }
    npy_intp dimensions[1] = {static_cast<npy_intp>(length)};
    npy_intp strides[1] = {static_cast<npy_intp>(sizeof(T))};
    // NumPy takes over the descriptor's reference, also when it fails.
    PyRef array = PyRef::steal(
        new_from_descr(array_type, descr, 1, dimensions, strides, data, npy_array_writeable, nullptr));
    if (!array) {
        python_api_failed();
    }
    // 5. The array takes over the owner's reference, also when it fails;
    // an array without its owner would point at freed memory, so drop it.
    if (set_base_object(array.get(), owner.release()) < 0) {
        python_api_failed();
    }
    return array;
}

}  // namespace

PyRef from_raw_parts(SampleBuffer<std::uint16_t>&& samples) { return make_array(std::move(samples), npy_ushort); }

PyRef from_raw_parts(SampleBuffer<float>&& samples) { return make_array(std::move(samples), npy_float); }

}  // namespace pelvar
