// Internal failures in the binding layer: the C++ exception that carries
// one, the guard that every entry point runs its body under, and the Python
// class PanicException through which it reaches Python.
//
// Which failure becomes which Python exception, and where:
// - Below the binding layer nothing raises. The file layer and the readers
//   return IoFailure (end of file, an error number, or a read given up
//   because a signal handler raised) and InternalFailure ("capacity
//   overflow", a refused sample buffer) as values.
// - reader_binding.cpp turns them into exceptions, with os_error.cpp's
//   helpers: an open failure into the OSError subclass of its error number,
//   a failed WD2 probe into plain OSError, a read failure during iteration
//   into the exception of its error number, the end of the file into the
//   end of the iteration, a given-up read into the signal handler's own
//   exception, a refused sample buffer into MemoryError, and any other
//   InternalFailure into a Panic.
// - A Panic (below) ends the operation; the guard of the entry point raises
//   it as PanicException, or as MemoryError when not even that can be made
//   for lack of memory, and aborts only when neither can be raised. A C++
//   allocation that fails (std::bad_alloc) anywhere in the binding layer is
//   raised as MemoryError.
#pragma once

#include <Python.h>

#include <exception>
#include <memory>
#include <string>
#include <utility>

#include "internal_failure.hpp"
#include "interpreter_lock.hpp"
#include "py_ref.hpp"

namespace pelvar {

// A broken invariant: ends the current operation at once. Everything the
// operation held is released by its owners while this unwinds.
class Panic : public std::exception {
public:
    explicit Panic(std::string message) : message_(std::move(message)) {}
    // `python_error`: the Python exception that was pending when the failure
    // began; the guard restores and prints it before raising PanicException.
    Panic(std::string message, PyRef python_error)
        : message_(std::move(message)), python_error_(std::make_shared<PyRef>(std::move(python_error))) {}
    const char* what() const noexcept override { return message_.c_str(); }
    PyObject* python_error() const noexcept { return python_error_ ? python_error_->get() : nullptr; }

private:
    std::string message_;
    std::shared_ptr<PyRef> python_error_;  // shared: a thrown exception may be copied
};

[[noreturn]] void panic(std::string message);

// A Python object could not be made: fails with "Python API call failed",
// carrying the pending error to the guard, which prints it.
[[noreturn]] void python_api_failed();

// An internal failure of a reader: sets MemoryError when the allocator
// refused memory and returns null; any other fails (Panic) with its message.
PyObject* raise_internal(InternalFailure&& failure);

// The object, or python_api_failed() when it is null.
PyRef checked(PyObject* new_reference);

// The pending Python exception taken out of the interpreter (empty if none),
// and the text "Type: message" of an exception object.
PyRef take_pending_exception() noexcept;
void restore_exception(PyRef exception) noexcept;
std::string describe_exception(PyObject* exception);

// Raises PanicException for the failure in flight, MemoryError for a
// std::bad_alloc (or, in destruction, reports it as unraisable for
// `object`). Aborts the process if even that fails.
void raise_panic(std::exception_ptr failure) noexcept;
void report_unraisable_panic(std::exception_ptr failure, PyObject* object) noexcept;

// The failure that a guard's catch (...) block holds. Before CPython 3.14 a
// thread that takes the interpreter lock back while the interpreter is being
// finalized (a daemon thread at exit) is ended with pthread_exit, which glibc
// carries out as a forced unwind: a foreign exception, for which
// std::current_exception() is null (with libstdc++ and libc++ alike). It can
// start in any call that lets go of the lock, also where interpreter_call
// does not stop it (making a dictionary can run a collection, whose
// finalizers can let go of the lock), so every guard stops it too: the
// thread waits for the process end. Handing the null on would crash, and
// leaving the catch block without rethrowing would abort. (musl's
// pthread_exit does not unwind: there the failure is never null.)
inline std::exception_ptr caught_failure() noexcept {
    std::exception_ptr failure = std::current_exception();
    if (!failure) {
        wait_for_the_process_end();
    }
    return failure;
}

// Runs an entry point's body: a C++ failure becomes PanicException and the
// entry point returns `failed`.
template <class Result, class Body>
Result guarded(Result failed, Body&& body) noexcept {
    try {
        return std::forward<Body>(body)();
    } catch (...) {
        raise_panic(caught_failure());
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
        report_unraisable_panic(caught_failure(), object);
    }
}

}  // namespace pelvar
