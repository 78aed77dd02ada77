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

// Empty, with TypeError or UnicodeEncodeError set, when the call does not
// bind. Checks: positional count, keywords in dictionary order, missing
// parameters, then each value must be a str with a UTF-8 form.
std::optional<ConstructorArguments> bind_constructor_arguments(PyObject* args, PyObject* kwargs);

}  // namespace pelvar
