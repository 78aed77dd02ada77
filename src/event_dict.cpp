#include "event_dict.hpp"

#include <array>
#include <string>

#include "failure.hpp"
#include "numpy_bridge.hpp"
#include "process_cell.hpp"

namespace pelvar {
namespace {

enum Key : std::size_t {
    event_size,
    board_id,
    pattern,
    board_channel,
    event_counter,
    timestamp,
    samples,
    sampling_period,
    channels,
    data,
    key_count,
};

constexpr std::array<const char*, key_count> key_names{
    "event_size", "board_id", "pattern", "board_channel", "event_counter",
    "timestamp",  "samples",  "sampling_period", "channels", "data",
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

const KeyTable& keys() { return *key_table.get_or_make(make_key_table, drop_key_table); }

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

// Builds one dictionary, in insertion order.
class DictBuilder {
public:
    explicit DictBuilder(Py_ssize_t entries) : dict_(checked(new_dict(entries))), keys_(keys()) {}

    void put(Key key, PyRef value) {
        if (PyDict_SetItem(dict_.get(), keys_[key], value.get()) < 0) {
            PyRef error = take_pending_exception();
            panic(std::string("failed to insert '") + key_names[key] +
                  "' into the event dictionary: " + describe_exception(error.get()));
        }
    }
    void put_int(Key key, long value) { put(key, checked(PyLong_FromLong(value))); }
    void put_uint(Key key, unsigned long long value) { put(key, checked(PyLong_FromUnsignedLongLong(value))); }

    PyRef finish() { return std::move(dict_); }

private:
    PyRef dict_;
    const KeyTable& keys_;
};

}  // namespace

PyRef event_to_dict(WD1Event&& event) {
    DictBuilder dict(7);
    dict.put_int(Key::event_size, event.event_size);
    dict.put_int(Key::board_id, event.board_id);
    dict.put_int(Key::pattern, event.pattern);
    dict.put_int(Key::board_channel, event.board_channel);
    dict.put_int(Key::event_counter, event.event_counter);
    dict.put_int(Key::timestamp, event.timestamp);
    dict.put(Key::data, from_raw_parts(std::move(event.data)));
    return dict.finish();
}

PyRef event_to_dict(WD2Event&& event) {
    DictBuilder dict(6);
    dict.put_uint(Key::event_counter, event.event_counter);
    dict.put_uint(Key::timestamp, event.timestamp);
    dict.put_uint(Key::samples, event.samples);
    dict.put_uint(Key::sampling_period, event.sampling_period);
    dict.put_int(Key::channels, event.channels);
    dict.put(Key::data, from_raw_parts(std::move(event.data)));
    return dict.finish();
}

}  // namespace pelvar
