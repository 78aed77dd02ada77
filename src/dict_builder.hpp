// Dictionaries of events and batches, built in insertion order with key
// strings made once per process.
#pragma once

#include <Python.h>

#include <cstddef>
#include <string_view>

#include "py_ref.hpp"

namespace pelvar {

enum class Key : std::size_t {
    event_size,
    board_id,
    pattern,
    board_channel,
    event_counter,
    timestamp,
    samples,
    sampling_period,
    channels,
    offsets,
    data,
    count,
};

// The key of that name; a failure (Panic) for a name that is none.
Key key_named(std::string_view name);

class DictBuilder {
public:
    // A dictionary with room for `entries`.
    explicit DictBuilder(Py_ssize_t entries);

    // Inserts the value; a failure (Panic) carries the insertion's error.
    void put(Key key, PyRef value);
    void put_int(Key key, long value);
    void put_uint(Key key, unsigned long long value);

    PyRef finish() { return std::move(dict_); }

private:
    PyRef dict_;
    PyObject* const* keys_;
};

}  // namespace pelvar
