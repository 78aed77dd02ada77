#include "source_error.hpp"

#include <string>
#include <utility>

#include "failure.hpp"
#include "interpreter_lock.hpp"
#include "py_ref.hpp"

namespace pelvar {
namespace {

class PythonSourceError final : public RaisedError {
public:
    PythonSourceError(PyRef exception, std::string text) noexcept
        : exception_(exception.release()), text_(std::move(text)) {}
    // The failure may go with a batcher on any thread (an Arrow stream's).
    ~PythonSourceError() override {
        InterpreterTaken taken;
        if (taken.available()) {
            Py_XDECREF(exception_);
        }
    }
    std::string text() const override { return text_; }
    PyObject* exception() const noexcept { return exception_; }

private:
    PyObject* exception_;
    std::string text_;
};

}  // namespace

std::shared_ptr<const RaisedError> capture_source_exception() {
    PyRef exception = take_pending_exception();
    std::string text = describe_exception(exception.get());
    return std::make_shared<const PythonSourceError>(std::move(exception), std::move(text));
}

void restore_source_error(const IoFailure& failure) {
    const auto* error = dynamic_cast<const PythonSourceError*>(failure.raised_error());
    if (error == nullptr || error->exception() == nullptr) {
        PyErr_SetString(PyExc_OSError, failure.display().c_str());
        return;
    }
    restore_exception(PyRef::borrow(error->exception()));
}

}  // namespace pelvar
