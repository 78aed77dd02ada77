#include "os_error.hpp"

#include <Python.h>

#include <cerrno>
#include <string>

#include "failure.hpp"
#include "source_error.hpp"

namespace pelvar {
namespace {

PyObject* exception_class_for(const IoFailure& failure) noexcept {
    if (failure.kind() != IoKind::os) {
        return PyExc_OSError;
    }
    switch (failure.error_number()) {
        case EPERM:
        case EACCES:
            return PyExc_PermissionError;
        case ENOENT:
            return PyExc_FileNotFoundError;
        case EAGAIN:
            return PyExc_BlockingIOError;
        case ENOMEM:
            return PyExc_MemoryError;
        case EEXIST:
            return PyExc_FileExistsError;
        case ENOTDIR:
            return PyExc_NotADirectoryError;
        case EISDIR:
            return PyExc_IsADirectoryError;
        case EPIPE:
            return PyExc_BrokenPipeError;
        case ECONNABORTED:
            return PyExc_ConnectionAbortedError;
        case ECONNRESET:
            return PyExc_ConnectionResetError;
        case ETIMEDOUT:
            return PyExc_TimeoutError;
        case ECONNREFUSED:
            return PyExc_ConnectionRefusedError;
        default:
            return PyExc_OSError;
    }
}

void set_exception_with_text(PyObject* cls, const IoFailure& failure) {
    // A signal handler raised while the call was interrupted: its exception
    // is the one to see.
    if (failure.is_interrupted() && PyErr_Occurred()) {
        return;
    }
    // A Python source object raised: that exception, as it was.
    if (failure.is_raised()) {
        restore_source_error(failure);
        return;
    }
    const std::string display = failure.display();
    PyRef text = checked(PyUnicode_DecodeUTF8(display.data(), static_cast<Py_ssize_t>(display.size()), "replace"));
    // One argument only, so errno, strerror and filename stay None.
    PyRef instance = checked(PyObject_CallOneArg(cls, text.get()));
    PyErr_SetObject(cls, instance.get());
}

}  // namespace

void set_io_exception(const IoFailure& failure) { set_exception_with_text(exception_class_for(failure), failure); }

void set_plain_os_error(const IoFailure& failure) { set_exception_with_text(PyExc_OSError, failure); }

}  // namespace pelvar
