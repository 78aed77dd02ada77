#include "python_file_source.hpp"

#include <cerrno>
#include <cstring>
#include <new>
#include <string>
#include <utility>

#include "failure.hpp"
#include "interpreter_lock.hpp"
#include "py_ref.hpp"
#include "py_text.hpp"
#include "source_error.hpp"

namespace pelvar {
namespace {

// Raised when the interpreter is being finalized and the object cannot be
// called any more.
constexpr int finalizing_error = ECANCELED;

class PythonFileSource final : public RawSource {
public:
    PythonFileSource(PyRef file, PyRef readinto, PyRef read, bool seekable, PyRef start, bool close_at_end) noexcept
        : file_(std::move(file)),
          readinto_(std::move(readinto)),
          read_(std::move(read)),
          start_(std::move(start)),
          seekable_(seekable),
          close_at_end_(close_at_end) {}

    ~PythonFileSource() override {
        InterpreterTaken taken;
        if (!taken.available()) {
            // Nothing may be called while the interpreter is torn down: the
            // references are left to the process's end.
            (void)file_.release();
            (void)readinto_.release();
            (void)read_.release();
            (void)start_.release();
            return;
        }
        if (close_at_end_) {
            // The reader may go while an exception is on its way (its own).
            PyRef pending = take_pending_exception();
            PyRef closed = PyRef::steal(PyObject_CallMethod(file_.get(), "close", nullptr));
            if (!closed) {
                PyErr_WriteUnraisable(file_.get());
            }
            restore_exception(std::move(pending));
        }
        file_ = PyRef();
        readinto_ = PyRef();
        read_ = PyRef();
        start_ = PyRef();
    }

    RawRead read(void* destination, std::size_t count) noexcept override {
        InterpreterTaken taken;
        if (!taken.available()) {
            return RawRead{0, finalizing_error};
        }
        return calling([&] { return readinto_ ? read_into(destination, count) : read_and_copy(destination, count); },
                       [] { return RawRead{0, 0, capture_source_exception()}; });
    }

    // One call into the object, for the first piece only: a large request is
    // read straight into its destination.
    RawRead readv(void* first, std::size_t first_count, void*, std::size_t) noexcept override {
        return read(first, first_count);
    }

    IoStatus seek_to_start() noexcept override {
        if (!seekable_) {
            return IoFailure::from_errno(ESPIPE);
        }
        return seek(start_.get(), 0);
    }

    IoStatus seek_forward(std::uint64_t count) noexcept override {
        if (!seekable_) {
            return IoFailure::from_errno(ESPIPE);
        }
        InterpreterTaken taken;
        if (!taken.available()) {
            return IoFailure::from_errno(finalizing_error);
        }
        PyRef distance = PyRef::steal(PyLong_FromUnsignedLongLong(count));
        if (!distance) {
            return calling([] { return capture_source_error(); }, [] { return IoFailure::from_errno(ENOMEM); });
        }
        return seek(distance.get(), 1);
    }

    // A file object does not say how much is left without being moved.
    std::optional<std::uint64_t> remaining() noexcept override { return std::nullopt; }

private:
    // Runs a call into the object. A std::bad_alloc of the module's own
    // strings is the read's MemoryError; any other unwinding through Python
    // code is the end of a daemon thread at exit, which waits for the process
    // end as every call into the interpreter here does.
    template <class Body, class OnMemory>
    static auto calling(Body&& body, OnMemory&& on_memory) noexcept -> decltype(body()) {
        try {
            return body();
        } catch (const std::bad_alloc&) {
            PyErr_NoMemory();
            return on_memory();
        } catch (...) {
            wait_for_the_process_end();
        }
    }

    RawRead raised() { return RawRead{0, 0, capture_source_exception()}; }

    IoStatus seek(PyObject* offset, int whence) noexcept {
        InterpreterTaken taken;
        if (!taken.available()) {
            return IoFailure::from_errno(finalizing_error);
        }
        return calling(
            [&]() -> IoStatus {
                PyRef done = PyRef::steal(PyObject_CallMethod(file_.get(), "seek", "Oi", offset, whence));
                if (!done) {
                    return capture_source_error();
                }
                return std::nullopt;
            },
            []() -> IoStatus { return capture_source_error(); });
    }

    RawRead refuse(PyObject* type, const std::string& message) {
        PyErr_SetString(type, message.c_str());
        return raised();
    }

    RawRead read_into(void* destination, std::size_t count) {
        PyRef view = PyRef::steal(PyMemoryView_FromMemory(static_cast<char*>(destination),
                                                          static_cast<Py_ssize_t>(count), PyBUF_WRITE));
        if (!view) {
            return raised();
        }
        PyRef result = PyRef::steal(PyObject_CallOneArg(readinto_.get(), view.get()));
        PyRef error = take_pending_exception();
        // The object may not write into the buffer after this call.
        PyRef released = PyRef::steal(PyObject_CallMethod(view.get(), "release", nullptr));
        if (error) {
            PyErr_Clear();  // the read's own exception is the one to see
            restore_exception(std::move(error));
            return raised();
        }
        if (!released) {
            return raised();
        }
        return counted(result.get(), count, "readinto");
    }

    RawRead read_and_copy(void* destination, std::size_t count) {
        PyRef result = PyRef::steal(PyObject_CallFunction(read_.get(), "n", static_cast<Py_ssize_t>(count)));
        if (!result) {
            return raised();
        }
        if (result.get() == Py_None) {
            return non_blocking("read");
        }
        if (PyUnicode_Check(result.get())) {
            return refuse(PyExc_TypeError,
                          "the source's read() returned str, not bytes: open the file in binary mode ('rb')");
        }
        Py_buffer bytes;
        if (PyObject_GetBuffer(result.get(), &bytes, PyBUF_SIMPLE) != 0) {
            PyErr_Clear();
            return refuse(PyExc_TypeError, "the source's read() returned '" + type_name_of(result.get()) +
                                               "', not a bytes-like object");
        }
        const auto length = static_cast<std::size_t>(bytes.len);
        if (length > count) {
            PyBuffer_Release(&bytes);
            return too_many("read", length, count);
        }
        std::memcpy(destination, bytes.buf, length);
        PyBuffer_Release(&bytes);
        return RawRead{length, 0};
    }

    RawRead counted(PyObject* result, std::size_t count, const char* method) {
        if (result == Py_None) {
            return non_blocking(method);
        }
        if (!PyLong_Check(result)) {
            return refuse(PyExc_TypeError, std::string("the source's ") + method + "() returned '" +
                                               type_name_of(result) + "', not an int");
        }
        const long long n = PyLong_AsLongLong(result);
        if (n == -1 && PyErr_Occurred()) {
            return raised();
        }
        if (n < 0 || static_cast<unsigned long long>(n) > count) {
            return too_many(method, static_cast<std::size_t>(n < 0 ? 0 : n), count, n < 0);
        }
        return RawRead{static_cast<std::size_t>(n), 0};
    }

    RawRead non_blocking(const char* method) {
        return refuse(PyExc_TypeError,
                      std::string("the source's ") + method +
                          "() returned None: a non-blocking file object that has no data now; a BatchReader "
                          "needs a blocking one");
    }

    RawRead too_many(const char* method, std::size_t got, std::size_t asked, bool negative = false) {
        return refuse(PyExc_ValueError,
                      std::string("the source's ") + method + "() returned " +
                          (negative ? std::string("a negative count") : std::to_string(got) + " bytes") +
                          ", but at most " + std::to_string(asked) + " were asked for");
    }

    PyRef file_;
    PyRef readinto_;  // the bound method, or empty: read_ is used
    PyRef read_;
    PyRef start_;     // where the object stood when the reader took it (seekable ones)
    bool seekable_;
    bool close_at_end_;
};

// The object's attribute, or empty without an exception when it has none.
PyRef optional_attribute(PyObject* object, const char* name) {
    PyObject* value = nullptr;
#if PY_VERSION_HEX >= 0x030D0000
    if (PyObject_GetOptionalAttrString(object, name, &value) < 0) {
        python_api_failed();
    }
#else
    value = PyObject_GetAttrString(object, name);
    if (value == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
            python_api_failed();
        }
        PyErr_Clear();
    }
#endif
    return PyRef::steal(value);
}

bool is_text_file(PyObject* file) {
    PyRef io = checked(PyImport_ImportModule("io"));
    PyRef text_base = checked(PyObject_GetAttrString(io.get(), "TextIOBase"));
    const int text = PyObject_IsInstance(file, text_base.get());
    if (text < 0) {
        python_api_failed();
    }
    return text != 0;
}

}  // namespace

std::unique_ptr<RawSource> python_file_source(PyObject* file, bool close_at_end) {
    if (is_text_file(file)) {
        PyErr_Format(PyExc_TypeError,
                     "argument 'source': a text-mode file object ('%s'); open the file in binary mode ('rb')",
                     type_name_of(file).c_str());
        return nullptr;
    }
    PyRef readinto = optional_attribute(file, "readinto");
    PyRef read;
    if (!readinto) {
        read = optional_attribute(file, "read");
        if (!read) {
            PyErr_Format(PyExc_TypeError, "argument 'source': '%s' object has neither readinto() nor read()",
                         type_name_of(file).c_str());
            return nullptr;
        }
    }
    // seekable() decides whether samples are skipped by seeking; where the
    // object stands now is where a rewind goes back to.
    bool seekable = false;
    PyRef start;
    if (PyRef method = optional_attribute(file, "seekable")) {
        PyRef answer = PyRef::steal(PyObject_CallNoArgs(method.get()));
        if (!answer) {
            return nullptr;
        }
        const int truth = PyObject_IsTrue(answer.get());
        if (truth < 0) {
            return nullptr;
        }
        seekable = truth != 0;
    }
    if (seekable) {
        start = PyRef::steal(PyObject_CallMethod(file, "tell", nullptr));
        if (!start) {
            return nullptr;
        }
    }
    return std::make_unique<PythonFileSource>(PyRef::borrow(file), std::move(readinto), std::move(read), seekable,
                                              std::move(start), close_at_end);
}

}  // namespace pelvar
