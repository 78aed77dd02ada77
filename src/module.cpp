// The module's entry point: `import pelvar` creates the module once per
// process and registers the EventReader and BatchReader types in it.
#include <Python.h>

#include <cstdint>

#include "batch_reader.hpp"
#include "event_reader.hpp"
#include "failure.hpp"
#include "process_cell.hpp"
#include "py_ref.hpp"

namespace pelvar {
namespace {

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "pelvar",
    "",  // an empty docstring, not None
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// The interpreter that first initialised the module; -1 until then.
ProcessCell<std::int64_t, -1> owning_interpreter;

// The module, kept with one reference for the rest of the process.
ProcessCell<PyObject*> module_object;

// Sets RuntimeError "An error occurred while initializing class <name>"
// with the pending error as its cause.
void set_type_creation_error(const char* name) {
    PyRef cause = take_pending_exception();
    PyErr_Format(PyExc_RuntimeError, "An error occurred while initializing class %s", name);
    PyRef error = take_pending_exception();
    if (error && cause) {
        PyException_SetCause(error.get(), PyRef::borrow(cause.get()).release());
        PyException_SetContext(error.get(), cause.release());
    }
    restore_exception(std::move(error));
}

// Adds the type to the module and its name to __all__. False with the
// Python error set on failure.
bool add_class(PyObject* module, const char* name, PyTypeObject* (*make_type)()) {
    PyTypeObject* type = make_type();
    if (type == nullptr) {
        set_type_creation_error(name);
        return false;
    }
    PyRef all = PyRef::steal(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
            return false;
        }
        PyErr_Clear();
        all = PyRef::steal(PyList_New(0));
        if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) {
            return false;
        }
    }
    PyRef text = PyRef::steal(PyUnicode_FromString(name));
    if (!text) {
        return false;
    }
    if (!PyList_Check(all.get()) || PyList_Append(all.get(), text.get()) < 0) {
        PyRef error = take_pending_exception();
        panic("could not append __name__ to __all__: " + describe_exception(error.get()));
    }
    return PyObject_SetAttrString(module, name, reinterpret_cast<PyObject*>(type)) == 0;
}

bool run_module_body(PyObject* module) {
    return add_class(module, "EventReader", event_reader_type) && add_class(module, "BatchReader", batch_reader_type);
}

PyObject* initialise() {
    // 1. and 2. One interpreter only.
    PyInterpreterState* interpreter = PyInterpreterState_Get();
    const std::int64_t id = PyInterpreterState_GetID(interpreter);
    if (id == -1) {
        return nullptr;
    }
    if (owning_interpreter.publish(id) != id) {
        PyErr_SetString(PyExc_ImportError,
                        "PyO3 modules do not yet support subinterpreters, see "
                        "https://github.com/PyO3/pyo3/issues/576");
        return nullptr;
    }
    // 3. Imported before: the very same module.
    if (PyObject* existing = module_object.get()) {
        return PyRef::borrow(existing).release();
    }
    // 4. and 5.
    PyRef module = PyRef::steal(PyModule_Create2(&module_definition, PYTHON_API_VERSION));
    if (!module) {
        return nullptr;
    }
#ifdef Py_GIL_DISABLED
    // The module relies on the interpreter lock to serialise calls.
    if (PyUnstable_Module_SetGIL(module.get(), Py_MOD_GIL_USED) < 0) {
        return nullptr;
    }
#endif
    // 6. and 7.
    if (!run_module_body(module.get())) {
        return nullptr;
    }
    // The cell keeps this reference (imports are serialised, so it is the
    // first; another would go with `module`).
    PyObject* kept = module_object.publish(module.get());
    if (kept == module.get()) {
        (void)module.release();
    }
    return PyRef::borrow(kept).release();
}

}  // namespace
}  // namespace pelvar

PyMODINIT_FUNC PyInit_pelvar(void) {
    return pelvar::guarded<PyObject*>(nullptr, [] { return pelvar::initialise(); });
}
