#include "dict_builder.hpp"

#include <array>
#include <string>

#include "failure.hpp"
#include "process_cell.hpp"

namespace pelvar {
namespace {

constexpr std::size_t key_count = static_cast<std::size_t>(Key::count);

constexpr std::array<const char*, key_count> key_names{
    "event_size", "board_id",        "pattern",  "board_channel", "event_counter", "timestamp",
    "samples",    "sampling_period", "channels", "offsets",       "data",
};

using KeyTable = std::array<PyObject*, key_count>;

// The key strings, made once per process and kept: a dictionary compares
// keys by value, so sharing them is invisible to callers and saves making
// seven strings per event.
ProcessCell<const KeyTable*> key_table;

const KeyTable* make_key_table() {
    std::array<PyRef, key_count> made;
    for (std::size_t i = 0; i < key_count; ++i) {
        made[i] = checked(PyUnicode_InternFromString(key_names[i]));
    }
    auto* table = new KeyTable;
    for (std::size_t i = 0; i < key_count; ++i) {
        (*table)[i] = made[i].release();
    }
    return table;
}

void drop_key_table(const KeyTable* table) noexcept {
    for (PyObject* key : *table) {
        Py_DECREF(key);
    }
    delete table;
}

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

Key key_named(std::string_view name) {
    for (std::size_t i = 0; i < key_count; ++i) {
        if (name == key_names[i]) {
            return static_cast<Key>(i);
        }
    }
    panic("no dictionary key is named '" + std::string(name) + "'");
}

DictBuilder::DictBuilder(Py_ssize_t entries)
    : dict_(checked(new_dict(entries))), keys_(key_table.get_or_make(make_key_table, drop_key_table)->data()) {}

void DictBuilder::put_int(Key key, long value) { put(key, checked(PyLong_FromLong(value))); }

void DictBuilder::put_uint(Key key, unsigned long long value) {
    put(key, checked(PyLong_FromUnsignedLongLong(value)));
}

void DictBuilder::put(Key key, PyRef value) {
    const auto index = static_cast<std::size_t>(key);
    if (PyDict_SetItem(dict_.get(), keys_[index], value.get()) < 0) {
        PyRef error = take_pending_exception();
        panic(std::string("failed to insert '") + key_names[index] +
              "' into the dictionary: " + describe_exception(error.get()));
    }
}

}  // namespace pelvar
