// Small text helpers over Python objects.
#pragma once

#include <Python.h>

#include <string>
#include <string_view>

#include "py_ref.hpp"

namespace pelvar {

// The qualified name of the object's type, or "<failed to extract type name>".
std::string type_name_of(PyObject* object);

// A new str from UTF-8 text; python_api_failed() if it cannot be made.
PyRef make_str(std::string_view text);

}  // namespace pelvar
