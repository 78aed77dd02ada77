// What EventReader and BatchReader objects have in common: the type, made
// once; tp_new, which makes the contents and then the object; __iter__ (the
// object is its own iterator); the exclusive borrow that __next__ holds
// while it reads; destruction. What differs is the reader's State, the
// object's contents: it opens what it reads from the constructor's
// arguments, names its class for messages, says where its borrow flag is
// and whether the object takes part in garbage collection, and reads one
// step with the borrow held.
#pragma once

#include <Python.h>

#include <atomic>
#include <concepts>
#include <memory>
#include <new>
#include <utility>

#include "borrow_flag.hpp"
#include "failure.hpp"
#include "process_cell.hpp"
#include "py_ref.hpp"
#include "py_text.hpp"

namespace pelvar {

template <class S>
concept ReaderState = requires(S& state, PyObject* args, PyObject* kwargs) {
    { S::class_name } -> std::convertible_to<const char*>;
    { S::garbage_collected } -> std::convertible_to<bool>;
    // What the object is made of, from the constructor's arguments: empty,
    // with the exception set, when they do not bind or the file cannot be
    // opened.
    { *S::open(args, kwargs) };
    { state.borrow_flag() } noexcept -> std::same_as<BorrowFlag&>;
    // A step of the iteration; the caller holds the exclusive borrow.
    { state.next_borrowed() } -> std::same_as<PyObject*>;
};

template <ReaderState State>
struct ReaderObject {
    PyObject_HEAD
    State state;

    static ReaderObject* of(PyObject* self) noexcept { return reinterpret_cast<ReaderObject*>(self); }

    // True for an instance of the type; otherwise sets TypeError.
    static bool check(PyObject* self) { return is_instance_or_raise(self, the_type.get(), State::class_name); }

    // tp_new: the contents, then the object. A failed allocation drops the
    // contents, closing the file.
    static PyObject* make(PyTypeObject* subtype, PyObject* args, PyObject* kwargs) noexcept {
        return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
            auto contents = State::open(args, kwargs);
            if (!contents) {
                return nullptr;
            }
            return create(subtype, std::move(*contents));
        });
    }

    // An object of `subtype` made of `contents`; null, with the contents
    // dropped, when it cannot be allocated.
    template <class Contents>
    static PyObject* create(PyTypeObject* subtype, Contents&& contents) {
        allocfunc alloc = subtype->tp_alloc != nullptr ? subtype->tp_alloc : PyType_GenericAlloc;
        PyObject* self = alloc(subtype, 0);
        if (self == nullptr) {
            return nullptr;
        }
        new (&of(self)->state) State(std::forward<Contents>(contents));
        return self;
    }

    static PyObject* iter(PyObject* self) noexcept {
        return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
            if (!check(self)) {
                return nullptr;
            }
            BorrowFlag& flag = of(self)->state.borrow_flag();
            if (!try_shared_borrow(flag)) {
                PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
                return nullptr;
            }
            Py_INCREF(self);
            flag.fetch_sub(1, std::memory_order_release);
            return self;
        });
    }

    static PyObject* next(PyObject* self) noexcept {
        return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
            if (!check(self)) {
                return nullptr;
            }
            State& state = of(self)->state;
            // Declared first so that it is dropped after the borrow is released.
            PyRef hold = PyRef::borrow(self);
            ExclusiveBorrow borrow(state.borrow_flag());
            if (!borrow.held()) {
                PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
                return nullptr;
            }
            return state.next_borrowed();
        });
    }

    static void dealloc(PyObject* self) noexcept {
        if constexpr (State::garbage_collected) {
            PyObject_GC_UnTrack(self);
        }
        guarded_destruction(self, [&] { std::destroy_at(&of(self)->state); });
        PyTypeObject* type = Py_TYPE(self);
        type->tp_free(self);
        Py_DECREF(type);
    }

    // The type, made from `spec` on the first call (at module
    // initialisation) and kept for the process; null, with the Python error
    // set, if it cannot be made.
    static PyTypeObject* type(PyType_Spec& spec) {
        return the_type.get_or_make([&] { return reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec)); },
                                    [](PyTypeObject* lost) noexcept { Py_DECREF(lost); });
    }

private:
    static inline ProcessCell<PyTypeObject*> the_type;
};

}  // namespace pelvar
