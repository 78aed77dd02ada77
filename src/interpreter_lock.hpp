// Letting go of the interpreter while a file is read, the interrupt check
// that takes it back to run signal handlers, and calls into the interpreter
// that may take it back on their own.
#pragma once

#include <Python.h>

#include <utility>

namespace pelvar {

// Never returns: the calling thread waits for the process to end.
[[noreturn]] void wait_for_the_process_end() noexcept;

// Makes `call`, a call into the interpreter (a C function, or a lambda of
// nothing but C calls), that may let go of the interpreter lock and take it
// back: an import, Python code, signal handlers, NumPy's own locks. Before
// CPython 3.14 a thread that takes the lock back while the interpreter is
// being finalized (a daemon thread at exit) is ended with pthread_exit,
// which glibc carries out by unwinding the thread's stack; the C++ frames
// above would run their cleanups, which touch Python objects, on a thread
// that holds no lock while the interpreter is torn down, or meet a noexcept
// frame and abort. The unwinding stops here instead, and the thread waits for
// the end of the process, as CPython 3.14 makes it do. A C call leaves by no
// other unwinding, so nothing else is caught.
template <class Call>
decltype(auto) interpreter_call(Call&& call) noexcept {
    try {
        return std::forward<Call>(call)();
    } catch (...) {
        wait_for_the_process_end();
    }
}

// While alive, the calling thread has let go of the interpreter (detached
// its thread state, releasing the global lock where there is one): no Python
// object may be touched. Only signal_handler_raised() takes it back, for as
// long as the handlers run. The destructor takes it back for good, also
// while an exception unwinds.
class InterpreterReleased {
public:
    InterpreterReleased() noexcept;
    ~InterpreterReleased();
    InterpreterReleased(const InterpreterReleased&) = delete;
    InterpreterReleased& operator=(const InterpreterReleased&) = delete;
};

// While alive, on a thread that does not hold the interpreter at all (a
// consumer's worker thread, or one that let go of it before calling in):
// interrupted calls are repeated without touching Python.
class OutsideInterpreter {
public:
    OutsideInterpreter() noexcept;
    ~OutsideInterpreter();
    OutsideInterpreter(const OutsideInterpreter&) = delete;
    OutsideInterpreter& operator=(const OutsideInterpreter&) = delete;
};

// While alive, the calling thread holds the interpreter, however it stood
// before: released by InterpreterReleased (taken back for the while), never
// taken (a consumer's worker thread: a thread state of its own for the
// while), or held already. For the calls into a Python source object, made
// once per fill from inside a read that let go of the interpreter.
// `available()` is false while the interpreter is finalized: nothing may be
// called then, and the thread does not wait for it.
class InterpreterTaken {
public:
    InterpreterTaken() noexcept;
    ~InterpreterTaken();
    InterpreterTaken(const InterpreterTaken&) = delete;
    InterpreterTaken& operator=(const InterpreterTaken&) = delete;
    bool available() const noexcept { return how_ != How::unavailable; }

private:
    enum class How { held, taken_back, ensured, unavailable };
    How how_;
    PyThreadState* detached_ = nullptr;
    PyGILState_STATE ensured_{};
};

// Whether the calling thread holds the interpreter (its thread state is
// attached), without needing it.
bool holds_interpreter() noexcept;

// The interrupt check handed to the files that the module opens: a system
// call interrupted by a signal runs the interpreter's signal handlers, as
// Python's own I/O does, and is given up when one raises (its exception stays
// pending). Away from the main thread no handler runs and the call repeats.
// Works with the interpreter held, released by InterpreterReleased, or never
// taken (OutsideInterpreter), where the call repeats.
bool signal_handler_raised() noexcept;

}  // namespace pelvar
