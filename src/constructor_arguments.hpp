// Binding the arguments of EventReader(path, reader_type) and
// BatchReader(source, reader_type, max_events=65536, max_bytes=4 MiB, *,
// compression="infer", columns=None, start=0, stop=None).
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace pelvar {

struct ReaderArguments {
    PyObject* reader_type_object;  // borrowed from the call
    std::string_view path;         // UTF-8, owned by the argument str
    std::string_view reader_type;  // UTF-8, owned by the argument str
};

struct BatchArguments {
    PyObject* source;              // borrowed from the call; what it is, the input seam decides
    PyObject* reader_type_object;  // borrowed from the call
    std::string_view reader_type;  // UTF-8, owned by the argument str
    std::size_t max_events;        // at least 1
    std::size_t max_bytes;         // at least 1
    PyObject* compression;         // borrowed from the call; null when not given
    PyObject* columns;             // borrowed from the call; null when not given (or None)
    std::uint64_t start;
    std::optional<std::uint64_t> stop;
};

inline constexpr std::size_t default_max_events = 65536;
inline constexpr std::size_t default_max_bytes = std::size_t{4} << 20;

// Empty, with the exception set, when the call does not bind. Checks, in
// order: positional count, keywords in dictionary order, missing parameters
// (TypeError); each text a str with a UTF-8 form (TypeError or the
// UnicodeEncodeError of the conversion); each limit an int (TypeError) of at
// least 1 (ValueError); start and stop ints of at least 0 (stop may be
// None); no NUL in the path (OSError). The columns are the format's to
// check (column_names.hpp).
std::optional<ReaderArguments> bind_event_reader_arguments(PyObject* args, PyObject* kwargs);
std::optional<BatchArguments> bind_batch_reader_arguments(PyObject* args, PyObject* kwargs);

// An int of at least 1 (`absent` when null), as the limits are bound.
std::optional<std::size_t> bind_limit(PyObject* value, const char* parameter, std::size_t absent);

}  // namespace pelvar
