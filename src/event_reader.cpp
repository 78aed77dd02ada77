// EventReader(path, reader_type): opens the file, puts the read-ahead buffer
// in front of it and builds the reader of the named format. The object is
// its own iterator; each __next__ reads one event, holding the interpreter.
#include "event_reader.hpp"

#include <atomic>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <variant>

#include "borrow_flag.hpp"
#include "constructor_arguments.hpp"
#include "event_dict.hpp"
#include "failure.hpp"
#include "reader_binding.hpp"
#include "process_cell.hpp"
#include "py_text.hpp"

namespace pelvar {
namespace {

struct EventReaderObject {
    PyObject_HEAD
    FileReader reader;  // the variant is fixed at construction
    BorrowFlag borrow;  // never waited on: a conflicting call fails at once
};

// Made at module initialisation and kept for the process.
ProcessCell<PyTypeObject*> the_type;

EventReaderObject* as_event_reader(PyObject* self) noexcept { return reinterpret_cast<EventReaderObject*>(self); }

bool check_event_reader(PyObject* self) { return is_instance_or_raise(self, the_type.get(), "EventReader"); }

PyObject* event_reader_new(PyTypeObject* subtype, PyObject* args, PyObject* kwargs) noexcept {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        auto arguments = bind_event_reader_arguments(args, kwargs);
        if (!arguments) {
            return nullptr;
        }
        // 1. to 3. The file, its buffer and the reader.
        auto reader = open_reader(*arguments);
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
        new (&object->reader) FileReader(std::move(*reader));
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
    return raise_outcome(std::move(outcome));
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
    return the_type.get_or_make([] { return reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&event_reader_spec)); },
                                [](PyTypeObject* lost) noexcept { Py_DECREF(lost); });
}

}  // namespace pelvar
