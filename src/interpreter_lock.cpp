#include "interpreter_lock.hpp"

#include <utility>

namespace pelvar {
namespace {

// The thread state that InterpreterReleased detached on this thread; null
// while the thread holds the interpreter.
thread_local PyThreadState* detached_state = nullptr;

}  // namespace

InterpreterReleased::InterpreterReleased() noexcept { detached_state = PyEval_SaveThread(); }

InterpreterReleased::~InterpreterReleased() { PyEval_RestoreThread(std::exchange(detached_state, nullptr)); }

bool signal_handler_raised() noexcept {
    PyThreadState* detached = std::exchange(detached_state, nullptr);
    if (detached == nullptr) {
        return PyErr_CheckSignals() != 0;
    }
    PyEval_RestoreThread(detached);
    const bool raised = PyErr_CheckSignals() != 0;
    detached_state = PyEval_SaveThread();
    return raised;
}

}  // namespace pelvar
