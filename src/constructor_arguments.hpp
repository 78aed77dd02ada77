// Binding the arguments of EventReader(path, reader_type).
#pragma once

#include <Python.h>

#include <optional>
#include <string_view>

namespace pelvar {

struct ConstructorArguments {
    PyObject* reader_type_object;  // borrowed from the call
    std::string_view path;         // UTF-8, owned by the argument str
    std::string_view reader_type;  // UTF-8, owned by the argument str
};

// Empty, with the exception set, when the call does not bind. Checks, in
// order: positional count, keywords in dictionary order, missing parameters
// (TypeError); each value a str with a UTF-8 form (TypeError or the
// UnicodeEncodeError of the conversion); no NUL in the path (OSError).
std::optional<ConstructorArguments> bind_constructor_arguments(PyObject* args, PyObject* kwargs);

}  // namespace pelvar
