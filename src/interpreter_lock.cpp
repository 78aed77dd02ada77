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

// Takes back what InterpreterReleased let go of.
void take_back(PyThreadState* state) noexcept {
    interpreter_call([state] { PyEval_RestoreThread(state); });
}

}  // namespace

void wait_for_the_process_end() noexcept {
    for (;;) {
        ::pause();
    }
}

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

namespace {

bool finalizing() noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    return Py_IsFinalizing() != 0;
#else
    return _Py_IsFinalizing() != 0;
#endif
}

}  // namespace

InterpreterTaken::InterpreterTaken() noexcept {
    if (PyThreadState* detached = std::exchange(detached_state, nullptr)) {
        detached_ = detached;
        how_ = How::taken_back;
        take_back(detached);
    } else if (holds_interpreter()) {
        how_ = How::held;
    } else if (finalizing()) {
        how_ = How::unavailable;
    } else {
        how_ = How::ensured;
        ensured_ = interpreter_call([] { return PyGILState_Ensure(); });
    }
}

InterpreterTaken::~InterpreterTaken() {
    switch (how_) {
        case How::taken_back:
            detached_state = PyEval_SaveThread();
            break;
        case How::ensured:
            PyGILState_Release(ensured_);
            break;
        case How::held:
        case How::unavailable:
            break;
    }
}

bool signal_handler_raised() noexcept {
    if (outside_interpreter) {
        return false;
    }
    PyThreadState* detached = std::exchange(detached_state, nullptr);
    if (detached == nullptr) {
        return interpreter_call(PyErr_CheckSignals) != 0;
    }
    take_back(detached);
    const bool raised = interpreter_call(PyErr_CheckSignals) != 0;
    detached_state = PyEval_SaveThread();
    return raised;
}

}  // namespace pelvar
