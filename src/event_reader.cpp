// EventReader(path, reader_type): opens the file, puts the 8192-byte buffer
// in front of it and builds the reader of the named format. The object is
// its own iterator; each __next__ reads one event.
#include "event_reader.hpp"

#include <atomic>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <variant>

#include "buffered_file.hpp"
#include "constructor_arguments.hpp"
#include "event_dict.hpp"
#include "failure.hpp"
#include "numpy_bridge.hpp"
#include "os_error.hpp"
#include "posix_file.hpp"
#include "py_text.hpp"
#include "wd1_reader.hpp"
#include "wd2_reader.hpp"

namespace pelvar {
namespace {

using Source = BufferedReader<PosixFile>;
static_assert(PlacingByteSource<Source>);
using Reader = std::variant<WD1Reader<Source>, WD2Reader<Source>>;

// 0: free; 1 up to exclusive - 1: that many shared borrows (__iter__);
// all bits set: one exclusive borrow (__next__).
using BorrowFlag = std::atomic<std::uintptr_t>;
constexpr std::uintptr_t exclusive = ~std::uintptr_t{0};

struct EventReaderObject {
    PyObject_HEAD
    Reader reader;      // the variant is fixed at construction
    BorrowFlag borrow;  // never waited on: a conflicting call fails at once
};

PyTypeObject* the_type = nullptr;

EventReaderObject* as_event_reader(PyObject* self) noexcept { return reinterpret_cast<EventReaderObject*>(self); }

// Sets TypeError unless the object is an EventReader.
bool check_event_reader(PyObject* self) {
    if (the_type != nullptr && PyObject_TypeCheck(self, the_type)) {
        return true;
    }
    std::string type_name = type_name_of(self);
    PyErr_Format(PyExc_TypeError, "'%s' object cannot be cast as 'EventReader'", type_name.c_str());
    return false;
}

// The exclusive borrow for the life of the scope; released on every path.
class ExclusiveBorrow {
public:
    explicit ExclusiveBorrow(BorrowFlag& flag) noexcept : flag_(flag) {
        std::uintptr_t expected = 0;
        held_ = flag_.compare_exchange_strong(expected, exclusive, std::memory_order_acq_rel,
                                              std::memory_order_acquire);
    }
    ExclusiveBorrow(const ExclusiveBorrow&) = delete;
    ExclusiveBorrow& operator=(const ExclusiveBorrow&) = delete;
    ~ExclusiveBorrow() {
        if (held_) {
            flag_.store(0, std::memory_order_release);
        }
    }
    bool held() const noexcept { return held_; }

private:
    BorrowFlag& flag_;
    bool held_;
};

// A shared borrow, taken unless the exclusive one is held.
bool try_shared_borrow(BorrowFlag& flag) noexcept {
    std::uintptr_t current = flag.load(std::memory_order_relaxed);
    do {
        if (current == exclusive || current + 1 == exclusive) {
            return false;
        }
    } while (!flag.compare_exchange_weak(current, current + 1, std::memory_order_acquire, std::memory_order_relaxed));
    return true;
}

// The interrupt check handed to the file and its readers: a system call
// interrupted by a signal runs the interpreter's signal handlers, as Python's
// own I/O does, and is given up when one raises (its exception stays
// pending). Away from the main thread no handler runs and the call repeats.
bool signal_handler_raised() noexcept { return PyErr_CheckSignals() != 0; }

// An internal failure of a reader: MemoryError when the allocator refused a
// sample buffer, else PanicException.
PyObject* raise_internal(InternalFailure&& failure) {
    if (failure.memory_exhausted) {
        return PyErr_NoMemory();
    }
    panic(std::move(failure.message));
}

// Builds the reader that the format name selects, or sets the exception.
std::optional<Reader> build_reader(Source source, std::string_view reader_type, PyObject* reader_type_object) {
    if (reader_type == "WD1") {
        return Reader(std::in_place_index<0>, std::move(source), &python_raw_allocator);
    }
    if (reader_type == "WD2") {
        auto opened = WD2Reader<Source>::open(std::move(source), &python_raw_allocator);
        if (auto* reader = std::get_if<WD2Reader<Source>>(&opened)) {
            return Reader(std::in_place_index<1>, std::move(*reader));
        }
        if (auto* failure = std::get_if<IoFailure>(&opened)) {
            set_plain_os_error(*failure);
            return std::nullopt;
        }
        raise_internal(std::get<InternalFailure>(std::move(opened)));
        return std::nullopt;
    }
    // Closing the file is the source's destructor, before the exception rises.
    { Source closing = std::move(source); }
    PyErr_Format(PyExc_ValueError, "unknown reader type '%U', expected 'WD1' or 'WD2'", reader_type_object);
    return std::nullopt;
}

PyObject* event_reader_new(PyTypeObject* subtype, PyObject* args, PyObject* kwargs) noexcept {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        auto arguments = bind_constructor_arguments(args, kwargs);
        if (!arguments) {
            return nullptr;
        }
        // 1. Open the file. The binding refused a path with a NUL in it, and
        // the UTF-8 form of a str ends in a NUL, so it goes to open() as it is.
        auto opened = PosixFile::open(arguments->path.data(), signal_handler_raised);
        if (auto* failure = std::get_if<IoFailure>(&opened)) {
            set_io_exception(*failure);
            return nullptr;
        }
        // 2. The buffer, then 3. the reader.
        Source source(std::move(std::get<PosixFile>(opened)), signal_handler_raised);
        auto reader = build_reader(std::move(source), arguments->reader_type, arguments->reader_type_object);
        if (!reader) {
            return nullptr;
        }
        // 4. The object; 5. the reader moves in. A failed allocation drops
        // the reader here, closing the file.
        allocfunc alloc = subtype->tp_alloc != nullptr ? subtype->tp_alloc : PyType_GenericAlloc;
        PyObject* self = alloc(subtype, 0);
        if (self == nullptr) {
            return nullptr;
        }
        auto* object = as_event_reader(self);
        new (&object->reader) Reader(std::move(*reader));
        new (&object->borrow) BorrowFlag(0);
        return self;
    });
}

PyObject* event_reader_iter(PyObject* self) noexcept {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        if (!check_event_reader(self)) {
            return nullptr;
        }
        BorrowFlag& flag = as_event_reader(self)->borrow;
        if (!try_shared_borrow(flag)) {
            PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
            return nullptr;
        }
        Py_INCREF(self);
        flag.fetch_sub(1, std::memory_order_release);
        return self;
    });
}

template <class Event>
PyObject* deliver(ReadOutcome<Event>&& outcome) {
    if (auto* event = std::get_if<Event>(&outcome)) {
        return event_to_dict(std::move(*event)).release();
    }
    if (auto* failure = std::get_if<IoFailure>(&outcome)) {
        // The operating system's read failure is raised, not taken for the
        // end of the file: the events after it would be lost unseen.
        set_io_exception(*failure);
        return nullptr;
    }
    if (auto* internal = std::get_if<InternalFailure>(&outcome)) {
        return raise_internal(std::move(*internal));
    }
    return nullptr;  // the end of the events: no exception set
}

PyObject* event_reader_next(PyObject* self) noexcept {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        if (!check_event_reader(self)) {
            return nullptr;
        }
        auto* object = as_event_reader(self);
        // Declared first so that it is dropped after the borrow is released.
        PyRef hold = PyRef::borrow(self);
        ExclusiveBorrow borrow(object->borrow);
        if (!borrow.held()) {
            PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
            return nullptr;
        }
        return std::visit([](auto& reader) { return deliver(reader.next()); }, object->reader);
    });
}

void event_reader_dealloc(PyObject* self) noexcept {
    // Frees the buffer and closes the descriptor.
    guarded_destruction(self, [&] { std::destroy_at(&as_event_reader(self)->reader); });
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyType_Slot event_reader_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(event_reader_new)},
    {Py_tp_iter, reinterpret_cast<void*>(event_reader_iter)},
    {Py_tp_iternext, reinterpret_cast<void*>(event_reader_next)},
    {Py_tp_dealloc, reinterpret_cast<void*>(event_reader_dealloc)},
    {Py_tp_doc, const_cast<char*>("EventReader(path, reader_type)\n--\n\n")},
    {0, nullptr},
};

PyType_Spec event_reader_spec{
    "builtins.EventReader",
    static_cast<int>(sizeof(EventReaderObject)),
    0,
    Py_TPFLAGS_DEFAULT,
    event_reader_slots,
};

}  // namespace

PyTypeObject* event_reader_type() {
    if (the_type == nullptr) {
        the_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&event_reader_spec));
    }
    return the_type;
}

}  // namespace pelvar
