// Text about Python objects, for messages.
#pragma once

#include <Python.h>

#include <string>

namespace pelvar {

// The qualified name of the object's type, or "<failed to extract type name>".
std::string type_name_of(PyObject* object);

}  // namespace pelvar
