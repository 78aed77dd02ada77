// Internal failures in the binding layer: the C++ exception that carries
// one, the guard that every entry point runs its body under, and the Python
// class PanicException through which it reaches Python.
#pragma once

#include <Python.h>

#include <exception>
#include <string>
#include <utility>

#include "py_ref.hpp"

namespace pelvar {

// A broken invariant: ends the current operation at once. Everything the
// operation held is released by its owners while this unwinds.
class Panic : public std::exception {
public:
    explicit Panic(std::string message) : message_(std::move(message)) {}
    const char* what() const noexcept override { return message_.c_str(); }

private:
    std::string message_;
};

[[noreturn]] void panic(std::string message);

// A Python object could not be made: prints the pending error to standard
// error, then fails with "Python API call failed".
[[noreturn]] void python_api_failed();

// The object, or python_api_failed() when it is null.
PyRef checked(PyObject* new_reference);

// The pending Python exception taken out of the interpreter (empty if none),
// and the text "Type: message" of an exception object.
PyRef take_pending_exception() noexcept;
void restore_exception(PyRef exception) noexcept;
std::string describe_exception(PyObject* exception);

// Raises PanicException for the failure in flight (or, in destruction,
// reports it as unraisable for `object`). Aborts the process if even that
// fails.
void raise_panic(std::exception_ptr failure) noexcept;
void report_unraisable_panic(std::exception_ptr failure, PyObject* object) noexcept;

// Runs an entry point's body: a C++ failure becomes PanicException and the
// entry point returns `failed`.
template <class Result, class Body>
Result guarded(Result failed, Body&& body) noexcept {
    try {
        return std::forward<Body>(body)();
    } catch (...) {
        raise_panic(std::current_exception());
        return failed;
    }
}

// The guard for destruction: nobody waits for a result, so a failure is
// reported as unraisable.
template <class Body>
void guarded_destruction(PyObject* object, Body&& body) noexcept {
    try {
        std::forward<Body>(body)();
    } catch (...) {
        report_unraisable_panic(std::current_exception(), object);
    }
}

}  // namespace pelvar
