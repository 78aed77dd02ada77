#include "interpreter_lock.hpp"

#include <unistd.h>

#include <utility>

namespace pelvar {
namespace {

// The thread state that InterpreterReleased detached on this thread; null
// while the thread holds the interpreter.
thread_local PyThreadState* detached_state = nullptr;

// Set while OutsideInterpreter lives on this thread.
thread_local bool outside_interpreter = false;

// Takes the interpreter back on this thread. Before CPython 3.14, a thread
// that does so while the interpreter is being finalized (a daemon thread at
// exit) is ended by pthread_exit, which glibc carries out by unwinding the
// thread's stack: through the noexcept code around this call that would be
// std::terminate, an abort at exit. Such a thread waits for the process to
// be gone instead, as CPython 3.14 makes it do; the forced unwind is caught
// and never left, so nothing of it runs.
void take_back(PyThreadState* state) noexcept {
    try {
        PyEval_RestoreThread(state);
    } catch (...) {
        for (;;) {
            ::pause();
        }
    }
}

}  // namespace

OutsideInterpreter::OutsideInterpreter() noexcept { outside_interpreter = true; }

OutsideInterpreter::~OutsideInterpreter() { outside_interpreter = false; }

bool holds_interpreter() noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    return PyThreadState_GetUnchecked() != nullptr;
#else
    // Before 3.12 the "current" thread state is the lock holder's, whichever
    // thread that is: this thread holds it when that one is its own.
    PyThreadState* own = PyGILState_GetThisThreadState();
    return own != nullptr && own == _PyThreadState_UncheckedGet();
#endif
}

InterpreterReleased::InterpreterReleased() noexcept { detached_state = PyEval_SaveThread(); }

InterpreterReleased::~InterpreterReleased() { take_back(std::exchange(detached_state, nullptr)); }

bool signal_handler_raised() noexcept {
    if (outside_interpreter) {
        return false;
    }
    PyThreadState* detached = std::exchange(detached_state, nullptr);
    if (detached == nullptr) {
        return PyErr_CheckSignals() != 0;
    }
    take_back(detached);
    const bool raised = PyErr_CheckSignals() != 0;
    detached_state = PyEval_SaveThread();
    return raised;
}

}  // namespace pelvar
