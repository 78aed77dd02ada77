// The input seam's one choice: from the Python object a reader was given, the
// raw source that the read-ahead buffer reads through. Each kind of input is
// a raw source of its own (a POSIX file, memory, a Python file object) and
// one branch here.
#pragma once

#include <Python.h>

#include <optional>
#include <string_view>

#include "file_reader.hpp"
#include "py_ref.hpp"

namespace pelvar {

// A local file named by its path (UTF-8 or the file system's bytes, no NUL),
// read as it is: open(2), read-only and close-on-exec, again after EINTR
// unless a signal handler raises. Empty, with the exception of its error
// number set, when it cannot be opened.
std::optional<FileSource> open_path(std::string_view path);

// What an input is: a file named by its path, memory, a binary file object,
// or the decompressed stream of any of them.
enum class InputKind { path, memory, file_object, compressed };

struct OpenedInput {
    FileSource source;
    InputKind kind;
    PyRef path;  // the file's path (str or bytes) when a path named it, compressed or not
};

// The input that `source` names (see BatchReader): a path (str, or an
// os.PathLike giving str or bytes), decompressed as `compression` says (null
// for the default, "infer"); an object with the buffer protocol, read from
// memory; or a binary file object. Empty, with the exception set, when it
// is none of these or cannot be opened.
std::optional<OpenedInput> open_input(PyObject* source, PyObject* compression);

}  // namespace pelvar
