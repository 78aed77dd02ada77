#include "numpy_api.hpp"

#include <string>

#include "failure.hpp"
#include "interpreter_lock.hpp"
#include "process_cell.hpp"
#include "py_ref.hpp"

namespace pelvar {
namespace {

// Entries of NumPy's published C-API numbering.
constexpr int api_array_type = 2;
constexpr int api_descr_from_type = 45;
constexpr int api_new_from_descr = 94;
constexpr int api_set_base_object = 282;

using DescrFromType = PyObject* (*)(int);
using NewFromDescr = PyObject* (*)(PyTypeObject*, PyObject*, int, npy_intp*, npy_intp*, void*, int, PyObject*);
using SetBaseObject = int (*)(PyObject*, PyObject*);

constexpr const char* numpy2_core = "numpy._core";
constexpr const char* numpy1_core = "numpy.core";

// The lookup's steps, each kept once it has succeeded: a failed step leaves
// its cell and the later ones empty, so the next call starts again there.
// The capsule is held for the rest of the process: the table lives in it.
// It is kept only once its pointer has been taken, so that a capsule of
// another name (or none at all) is looked up again on the next call.
ProcessCell<const char*> numpy_core_name;
ProcessCell<const char*> mod_name;
ProcessCell<PyObject*> array_api_capsule;
ProcessCell<void**> PY_ARRAY_API;

[[noreturn]] void capsule_failure() {
    PyRef error = take_pending_exception();
    panic("Failed to access NumPy array API capsule: " + describe_exception(error.get()));
}

PyRef import_module(const char* name) {
    PyRef text = PyRef::steal(PyUnicode_FromString(name));
    if (!text) {
        capsule_failure();
    }
    PyRef module = PyRef::steal(interpreter_call([&] { return PyImport_Import(text.get()); }));
    if (!module) {
        capsule_failure();
    }
    return module;
}

PyRef attribute(PyObject* object, const char* name) {
    PyRef value = PyRef::steal(interpreter_call([&] { return PyObject_GetAttrString(object, name); }));
    if (!value) {
        capsule_failure();
    }
    return value;
}

// "numpy._core" from NumPy 2 on, "numpy.core" before.
const char* find_core_name() {
    PyRef numpy = import_module("numpy");
    PyRef version = attribute(numpy.get(), "__version__");
    PyRef numpy_lib = import_module("numpy.lib");
    PyRef numpy_version = attribute(numpy_lib.get(), "NumpyVersion");
    PyRef parsed = PyRef::steal(
        interpreter_call([&] { return PyObject_CallOneArg(numpy_version.get(), version.get()); }));
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
    return major >= 2 ? numpy2_core : numpy1_core;
}

const char* find_mod_name() {
    const char* core = numpy_core_name.get_or_make(find_core_name);
    return core == numpy2_core ? "numpy._core.multiarray" : "numpy.core.multiarray";
}

// The module's capsule attribute, a new reference.
PyObject* get_capsule(const char* module_name, const char* capsule_name) {
    PyRef module = import_module(module_name);
    PyRef capsule = attribute(module.get(), capsule_name);
    if (!Py_IS_TYPE(capsule.get(), &PyCapsule_Type)) {
        PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to 'PyCapsule'", Py_TYPE(capsule.get())->tp_name);
        capsule_failure();
    }
    return capsule.release();
}

// The table in a capsule of NumPy's (unnamed), or a failure.
void** table_of(PyObject* capsule) {
    void* table = PyCapsule_GetPointer(capsule, nullptr);
    if (table == nullptr) {
        capsule_failure();
    }
    return static_cast<void**>(table);
}

// The table in the `_ARRAY_API` capsule of the multiarray module. Two threads
// may both look it up; the one whose capsule is not kept drops it.
void** get_numpy_api(const char* module_name, const char* capsule_name) {
    PyObject* capsule = array_api_capsule.get_or_make(
        [&] {
            PyRef found = PyRef::steal(get_capsule(module_name, capsule_name));
            table_of(found.get());
            return found.release();
        },
        [](PyObject* lost) noexcept { Py_DECREF(lost); });
    return table_of(capsule);
}

void** find_table() { return get_numpy_api(mod_name.get_or_make(find_mod_name), "_ARRAY_API"); }

}  // namespace

NumpyTable numpy_table() { return NumpyTable(PY_ARRAY_API.get_or_make(find_table)); }

void* NumpyTable::slot(int index, const char* name) const {
    void* entry = slots_[index];
    if (entry == nullptr) {
        panic("Failed to access NumPy array API capsule: the table has no entry " + std::to_string(index) + " (" +
              name + ")");
    }
    return entry;
}

PyTypeObject* NumpyTable::array_type() const {
    return static_cast<PyTypeObject*>(slot(api_array_type, "PyArray_Type"));
}

PyObject* NumpyTable::descr_from_type(int type_number) const {
    auto call = reinterpret_cast<DescrFromType>(slot(api_descr_from_type, "PyArray_DescrFromType"));
    return interpreter_call([&] { return call(type_number); });
}

PyObject* NumpyTable::new_from_descr(PyTypeObject* subtype, PyObject* descr, int dimensions_count,
                                     npy_intp* dimensions, npy_intp* strides, void* data, int flags,
                                     PyObject* prototype) const {
    PyRef owned = PyRef::steal(descr);  // given to NumPy, or dropped if the entry is missing
    auto call = reinterpret_cast<NewFromDescr>(slot(api_new_from_descr, "PyArray_NewFromDescr"));
    PyObject* given = owned.release();
    return interpreter_call(
        [&] { return call(subtype, given, dimensions_count, dimensions, strides, data, flags, prototype); });
}

int NumpyTable::set_base_object(PyObject* array, PyObject* base) const {
    PyRef owned = PyRef::steal(base);  // given to NumPy, or dropped if the entry is missing
    auto call = reinterpret_cast<SetBaseObject>(slot(api_set_base_object, "PyArray_SetBaseObject"));
    PyObject* given = owned.release();
    return interpreter_call([&] { return call(array, given); });
}

}  // namespace pelvar
