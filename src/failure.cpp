#include "failure.hpp"

#include "interpreter_lock.hpp"
#include "process_cell.hpp"
#include "py_text.hpp"

#include <cstdio>
#include <cstdlib>
#include <new>

namespace pelvar {
namespace {

constexpr const char* panic_doc =
    "\n"
    "The exception raised when native code called from Python fails unexpectedly.\n"
    "\n"
    "Like SystemExit, this exception is derived from BaseException so that\n"
    "it will typically propagate all the way through the stack and cause the\n"
    "Python interpreter to exit.\n";

constexpr const char* generic_message = "internal failure without a message";

ProcessCell<PyObject*> panic_exception_class;

[[noreturn]] void abort_at_boundary() noexcept {
    std::fputs("uncaught panic at ffi boundary\n", stderr);
    std::fflush(stderr);
    std::abort();
}

// Created on first use and kept for the process; null (with the Python
// error pending) when it cannot be made.
PyObject* panic_class() {
    return panic_exception_class.get_or_make(
        [] {
            return PyErr_NewExceptionWithDoc("pyo3_runtime.PanicException", panic_doc, PyExc_BaseException,
                                             nullptr);
        },
        [](PyObject* lost) noexcept { Py_DECREF(lost); });
}

std::string message_of(std::exception_ptr failure) noexcept {
    try {
        std::rethrow_exception(failure);
    } catch (const Panic& panic) {
        return panic.what();
    } catch (const std::exception& other) {
        return other.what()[0] != '\0' ? other.what() : generic_message;
    } catch (...) {
        return generic_message;
    }
}

// Sets PanicException(message) as the pending exception. When it cannot be
// made because memory ran out, sets MemoryError instead: the interpreter
// keeps instances of that for this case, so raising it needs no memory.
// False if neither could be set.
bool set_panic_exception(std::exception_ptr failure) noexcept {
    auto out_of_memory = [](bool bad_alloc) {
        if (!bad_alloc && !PyErr_ExceptionMatches(PyExc_MemoryError)) {
            return false;
        }
        PyErr_Clear();
        PyErr_NoMemory();
        return true;
    };
    try {
        std::string message = message_of(failure);
        std::fprintf(stderr, "pelvar: internal failure: %s\n", message.c_str());
        std::fflush(stderr);
        PyObject* cls = panic_class();
        if (cls == nullptr) {
            return out_of_memory(false);
        }
        PyRef text = PyRef::steal(PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()),
                                                       "replace"));
        if (!text) {
            return out_of_memory(false);
        }
        PyRef instance = PyRef::steal(PyObject_CallOneArg(cls, text.get()));
        if (!instance) {
            return out_of_memory(false);
        }
        PyErr_SetObject(cls, instance.get());
        return true;
    } catch (const std::bad_alloc&) {
        return out_of_memory(true);
    } catch (...) {
        return false;
    }
}

// The Python error that a Panic carries, back in the interpreter and printed
// to standard error, as it would have been where the failure began.
void print_carried_error(std::exception_ptr failure) noexcept {
    try {
        std::rethrow_exception(failure);
    } catch (const Panic& panic) {
        if (PyObject* error = panic.python_error()) {
            restore_exception(PyRef::borrow(error));
            interpreter_call([] { PyErr_PrintEx(0); });
        }
    } catch (...) {
    }
}

// A C++ allocation that failed (std::bad_alloc) is memory that ran out, not a
// broken invariant: it reaches Python as MemoryError. True if it was one.
bool set_memory_error(std::exception_ptr failure) noexcept {
    try {
        std::rethrow_exception(failure);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return true;
    } catch (...) {
        return false;
    }
}

}  // namespace

void panic(std::string message) { throw Panic(std::move(message)); }

void python_api_failed() { throw Panic("Python API call failed", take_pending_exception()); }

PyObject* raise_internal(InternalFailure&& failure) {
    if (failure.memory_exhausted) {
        return PyErr_NoMemory();
    }
    panic(std::move(failure.message));
}

PyRef checked(PyObject* new_reference) {
    if (new_reference == nullptr) {
        python_api_failed();
    }
    return PyRef::steal(new_reference);
}

PyRef take_pending_exception() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    return PyRef::steal(PyErr_GetRaisedException());
#else
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    if (type == nullptr) {
        return PyRef();
    }
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback != nullptr && value != nullptr) {
        PyException_SetTraceback(value, traceback);
    }
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    return PyRef::steal(value);
#endif
}

void restore_exception(PyRef exception) noexcept {
    if (!exception) {
        return;
    }
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(exception.release());
#else
    PyObject* value = exception.release();
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(value));
    Py_INCREF(type);
    PyErr_Restore(type, value, PyException_GetTraceback(value));
#endif
}

std::string describe_exception(PyObject* exception) {
    if (exception == nullptr) {
        return "no Python error was set";
    }
    std::string text = type_name_of(exception);
    PyRef message = PyRef::steal(PyObject_Str(exception));
    if (message) {
        Py_ssize_t size = 0;
        const char* utf8 = PyUnicode_AsUTF8AndSize(message.get(), &size);
        if (utf8 != nullptr && size > 0) {
            text.append(": ").append(utf8, static_cast<std::size_t>(size));
        }
    }
    PyErr_Clear();
    return text;
}

void raise_panic(std::exception_ptr failure) noexcept {
    if (set_memory_error(failure)) {
        return;
    }
    print_carried_error(failure);
    if (!set_panic_exception(failure)) {
        abort_at_boundary();
    }
}

void report_unraisable_panic(std::exception_ptr failure, PyObject* object) noexcept {
    if (!set_memory_error(failure)) {
        print_carried_error(failure);
        if (!set_panic_exception(failure)) {
            abort_at_boundary();
        }
    }
    interpreter_call([&] { PyErr_WriteUnraisable(object); });
}

}  // namespace pelvar
