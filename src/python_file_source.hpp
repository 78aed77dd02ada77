// Input from a Python binary file object: anything with readinto, or failing
// that read (an open file, io.BytesIO, a codec's file such as gzip.open's,
// an fsspec file, a pipe's end). The object is called with the interpreter
// taken, once per fill, by whichever thread reads: the batch path lets go of
// the interpreter while it decodes and copies, and takes it back only for
// these calls.
#pragma once

#include <Python.h>

#include <memory>

#include "raw_source.hpp"

namespace pelvar {

// The source over `file` (the caller holds the interpreter), or null with
// the exception set: TypeError for a text-mode file or an object with
// neither method, or what seekable() or tell() raised. `close_at_end`: the
// reader opened the object (a codec's file) and closes it when it goes; an
// object the caller gave stays open.
std::unique_ptr<RawSource> python_file_source(PyObject* file, bool close_at_end);

}  // namespace pelvar
