// BatchReader.__arrow_c_stream__ and __arrow_c_schema__: the Arrow PyCapsule
// interface over the reader's batches.
#pragma once

#include <Python.h>

#include <memory>

#include "batch_core.hpp"

namespace pelvar {

// A new "arrow_array_stream" capsule over the reader, which reads nothing
// until its first get_next; the first consumer to read (the stream or the
// reader's iteration) keeps the reader. RuntimeError when the reader has
// been read from already. `requested_schema` (an "arrow_schema" capsule, or
// null or None) is honoured where it asks for 32-bit list offsets, left
// aside otherwise.
PyObject* arrow_stream_capsule(const std::shared_ptr<BatchCore>& core, PyObject* requested_schema);

// A new "arrow_schema" capsule: the schema of the stream's batches.
PyObject* arrow_schema_capsule(BatchCore& core);

}  // namespace pelvar
