// Binding the arguments of EventReader(path, reader_type) and
// BatchReader(source, reader_type, max_events=65536, max_bytes=4 MiB, *,
// compression="infer").
#pragma once

#include <Python.h>

#include <cstddef>
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
};

inline constexpr std::size_t default_max_events = 65536;
inline constexpr std::size_t default_max_bytes = std::size_t{4} << 20;

// Empty, with the exception set, when the call does not bind. Checks, in
// order: positional count, keywords in dictionary order, missing parameters
// (TypeError); each text a str with a UTF-8 form (TypeError or the
// UnicodeEncodeError of the conversion); each limit an int (TypeError) of at
// least 1 (ValueError); no NUL in the path (OSError).
std::optional<ReaderArguments> bind_event_reader_arguments(PyObject* args, PyObject* kwargs);
std::optional<BatchArguments> bind_batch_reader_arguments(PyObject* args, PyObject* kwargs);

}  // namespace pelvar
