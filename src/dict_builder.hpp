// Dictionaries of events and batches, built in insertion order with key
// strings made once per process.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <type_traits>

#include "header_fields.hpp"
#include "process_cell.hpp"
#include "py_ref.hpp"

namespace pelvar {

// Key strings and their names, by position.
struct KeyStrings {
    PyObject* const* strings;
    const char* const* names;
};

// The interned strings of `names`, in a new table; the table's strings
// dropped and the table freed.
PyObject* const* intern_keys(const char* const* names, std::size_t count);
void drop_keys(PyObject* const* keys, std::size_t count) noexcept;

// The keys of a format's dictionaries, by position: its header fields in
// the order of its table, then "offsets" (batches) and "data".
template <class Format>
class FormatKeys {
public:
    static constexpr std::size_t offsets = field_count<Format>;
    static constexpr std::size_t data = offsets + 1;
    static constexpr std::size_t byte_offset = data + 1;
    static constexpr std::size_t count = byte_offset + 1;

    // The strings are made once per process and kept: a dictionary compares
    // keys by value, so sharing them is invisible to callers and saves
    // making them for every event.
    static KeyStrings get() {
        PyObject* const* strings = cell_.get_or_make([] { return intern_keys(names_.data(), count); },
                                                     [](PyObject* const* lost) noexcept { drop_keys(lost, count); });
        return KeyStrings{strings, names_.data()};
    }

private:
    static constexpr std::array<const char*, count> names_ = [] {
        std::array<const char*, count> names{};
        for (std::size_t i = 0; i < offsets; ++i) {
            names[i] = field_names<Format>[i];
        }
        names[offsets] = "offsets";
        names[data] = "data";
        names[byte_offset] = "byte_offset";
        return names;
    }();
    static inline ProcessCell<PyObject* const*> cell_;
};

class DictBuilder {
public:
    // A dictionary with room for `entries`, then its keys (the strings are
    // made by the first dictionary of the process).
    DictBuilder(Py_ssize_t entries, KeyStrings (*keys)());

    // Inserts the value under key `key`; a failure (Panic) carries the
    // insertion's error.
    void put(std::size_t key, PyRef value);
    void put_int(std::size_t key, long value);
    void put_uint(std::size_t key, unsigned long long value);

    // A header field, as an int.
    template <class T>
    void put_number(std::size_t key, T value) {
        if constexpr (std::is_signed_v<T>) {
            put_int(key, value);
        } else {
            put_uint(key, value);
        }
    }

    PyRef finish() { return std::move(dict_); }

private:
    PyRef dict_;
    KeyStrings keys_;
};

}  // namespace pelvar
