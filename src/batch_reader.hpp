// The BatchReader type: construction, iteration in batches and destruction.
#pragma once

#include <Python.h>

namespace pelvar {

// Created once, at module initialisation; null (with the Python error set)
// if the type cannot be created.
PyTypeObject* batch_reader_type();

}  // namespace pelvar
