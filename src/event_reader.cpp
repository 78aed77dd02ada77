// EventReader(path, reader_type): opens the file, puts the read-ahead buffer
// in front of it and builds the reader of the named format. The object is
// its own iterator; each __next__ reads one event, holding the interpreter.
#include "event_reader.hpp"

#include <optional>
#include <utility>
#include <variant>

#include "borrow_flag.hpp"
#include "constructor_arguments.hpp"
#include "event_dict.hpp"
#include "failure.hpp"
#include "reader_binding.hpp"
#include "reader_object.hpp"

namespace pelvar {
namespace {

template <class Event>
PyObject* deliver(ReadOutcome<Event>&& outcome) {
    if (auto* event = std::get_if<Event>(&outcome)) {
        return event_to_dict(std::move(*event)).release();
    }
    return raise_outcome(std::move(outcome));
}

struct EventReaderState {
    static constexpr const char* class_name = "EventReader";
    static constexpr bool garbage_collected = false;

    // The file, its read-ahead buffer and the reader of the named format.
    static std::optional<FileReader> open(PyObject* args, PyObject* kwargs) {
        auto arguments = bind_event_reader_arguments(args, kwargs);
        if (!arguments) {
            return std::nullopt;
        }
        return open_reader(*arguments);
    }

    explicit EventReaderState(FileReader&& file_reader) noexcept : reader(std::move(file_reader)) {}

    BorrowFlag& borrow_flag() noexcept { return borrow; }

    // One event, read holding the interpreter.
    PyObject* next_borrowed() {
        return std::visit([](auto& r) { return deliver(r.next()); }, reader);
    }

    FileReader reader;     // the variant is fixed at construction
    BorrowFlag borrow{0};  // never waited on: a conflicting call fails at once
};

using EventReaderObject = ReaderObject<EventReaderState>;

PyType_Slot event_reader_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(EventReaderObject::make)},
    {Py_tp_iter, reinterpret_cast<void*>(EventReaderObject::iter)},
    {Py_tp_iternext, reinterpret_cast<void*>(EventReaderObject::next)},
    {Py_tp_dealloc, reinterpret_cast<void*>(EventReaderObject::dealloc)},
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

PyTypeObject* event_reader_type() { return EventReaderObject::type(event_reader_spec); }

}  // namespace pelvar
