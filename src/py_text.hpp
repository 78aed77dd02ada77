// Text about Python objects, for messages.
#pragma once

#include <Python.h>

#include <string>

namespace pelvar {

// The qualified name of the object's type, or "<failed to extract type name>".
std::string type_name_of(PyObject* object);

// True when `object` is an instance of `type` (null while the type is not
// made yet: never); otherwise sets TypeError "'<its type>' object cannot be
// cast as '<expected>'".
bool is_instance_or_raise(PyObject* object, PyTypeObject* type, const char* expected);

}  // namespace pelvar
