#include "dict_builder.hpp"

#include <memory>
#include <string>
#include <vector>

#include "failure.hpp"

namespace pelvar {
namespace {

// A dictionary with room for its entries from the start: the default size
// would be grown once, at the sixth key, for every event.
PyObject* new_dict(Py_ssize_t entries) {
#if PY_VERSION_HEX < 0x030E0000
    return _PyDict_NewPresized(entries);
#else
    (void)entries;
    return PyDict_New();
#endif
}

}  // namespace

PyObject* const* intern_keys(const char* const* names, std::size_t count) {
    std::vector<PyRef> made(count);
    for (std::size_t i = 0; i < count; ++i) {
        made[i] = checked(PyUnicode_InternFromString(names[i]));
    }
    auto table = std::make_unique<PyObject*[]>(count);
    for (std::size_t i = 0; i < count; ++i) {
        table[i] = made[i].release();
    }
    return table.release();
}

void drop_keys(PyObject* const* keys, std::size_t count) noexcept {
    for (std::size_t i = 0; i < count; ++i) {
        Py_DECREF(keys[i]);
    }
    delete[] keys;
}

DictBuilder::DictBuilder(Py_ssize_t entries, KeyStrings (*keys)()) : dict_(checked(new_dict(entries))), keys_(keys()) {}

void DictBuilder::put_int(std::size_t key, long value) { put(key, checked(PyLong_FromLong(value))); }

void DictBuilder::put_uint(std::size_t key, unsigned long long value) {
    put(key, checked(PyLong_FromUnsignedLongLong(value)));
}

void DictBuilder::put(std::size_t key, PyRef value) {
    if (PyDict_SetItem(dict_.get(), keys_.strings[key], value.get()) < 0) {
        PyRef error = take_pending_exception();
        panic(std::string("failed to insert '") + keys_.names[key] +
              "' into the dictionary: " + describe_exception(error.get()));
    }
}

}  // namespace pelvar
