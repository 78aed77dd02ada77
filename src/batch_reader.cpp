// BatchReader(path, reader_type, max_events=65536, max_bytes=64 MiB): the
// events of a file in columnar batches, one dictionary of arrays per batch.
// It opens the file as EventReader does and reads it with the same readers;
// while it fills a batch it touches no Python object and lets go of the
// interpreter, so that threads reading other files run in parallel.
#include "batch_reader.hpp"

#include <cstdint>
#include <memory>
#include <new>
#include <string>
#include <utility>
#include <variant>

#include "arrow_stream.hpp"
#include "batch_core.hpp"
#include "batch_dict.hpp"
#include "borrow_flag.hpp"
#include "constructor_arguments.hpp"
#include "event_batch.hpp"
#include "failure.hpp"
#include "input_source.hpp"
#include "interpreter_lock.hpp"
#include "numpy_bridge.hpp"
#include "process_cell.hpp"
#include "py_text.hpp"
#include "reader_binding.hpp"

namespace pelvar {
namespace {

struct BatchReaderObject {
    PyObject_HEAD
    // The batcher (its variant fixed at construction) and the borrow that
    // keeps two callers apart, shared with the Arrow streams made of it.
    std::shared_ptr<BatchCore> core;
    // The exception of a signal handler that ended a read after some events:
    // they went out as a batch, and the next call raises it.
    PyObject* deferred;
};

// Made at module initialisation and kept for the process.
ProcessCell<PyTypeObject*> the_type;

BatchReaderObject* as_batch_reader(PyObject* self) noexcept { return reinterpret_cast<BatchReaderObject*>(self); }

bool check_batch_reader(PyObject* self) { return is_instance_or_raise(self, the_type.get(), "BatchReader"); }

FileBatcher make_batcher(FileReader&& reader, BatchLimits limits) {
    if (auto* wd1 = std::get_if<0>(&reader)) {
        return FileBatcher(std::in_place_index<0>, std::move(*wd1), batch_block_pool(), limits);
    }
    return FileBatcher(std::in_place_index<1>, std::get<1>(std::move(reader)), batch_block_pool(), limits);
}

PyObject* batch_reader_new(PyTypeObject* subtype, PyObject* args, PyObject* kwargs) noexcept {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        auto arguments = bind_batch_reader_arguments(args, kwargs);
        if (!arguments) {
            return nullptr;
        }
        auto source = open_input(arguments->source, arguments->compression);
        if (!source) {
            return nullptr;
        }
        // A source that cannot be sized (a pipe, a decompressed stream, a
        // file object) may not seek back either: the layout probe keeps
        // what it reads instead.
        const auto rewind = source->remaining() ? ProbeRewind::seek : ProbeRewind::keep;
        auto reader = build_reader(std::move(*source), arguments->reader_type, arguments->reader_type_object, rewind);
        if (!reader) {
            return nullptr;
        }
        auto core =
            std::make_shared<BatchCore>(make_batcher(std::move(*reader), {arguments->max_events, arguments->max_bytes}));
        // A failed allocation drops the batcher here, closing the file.
        allocfunc alloc = subtype->tp_alloc != nullptr ? subtype->tp_alloc : PyType_GenericAlloc;
        PyObject* self = alloc(subtype, 0);
        if (self == nullptr) {
            return nullptr;
        }
        auto* object = as_batch_reader(self);
        new (&object->core) std::shared_ptr<BatchCore>(std::move(core));
        object->deferred = nullptr;
        return self;
    });
}

PyObject* batch_reader_iter(PyObject* self) noexcept {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        if (!check_batch_reader(self)) {
            return nullptr;
        }
        BorrowFlag& flag = as_batch_reader(self)->core->borrow();
        if (!try_shared_borrow(flag)) {
            PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
            return nullptr;
        }
        Py_INCREF(self);
        flag.fetch_sub(1, std::memory_order_release);
        return self;
    });
}

// One batch, read with the interpreter let go of; the exclusive borrow is held.
template <class Batcher>
PyObject* next_batch(BatchReaderObject* object, Batcher& batcher) {
    auto outcome = [&] {
        InterpreterReleased released;
        return batcher.next();
    }();
    if (auto* batch = std::get_if<typename Batcher::Batch>(&outcome)) {
        // A signal handler raised after the batch's events: the batcher
        // keeps the failure for the next call, which raises this.
        if (PyErr_Occurred()) {
            Py_XSETREF(object->deferred, take_pending_exception().release());
        }
        try {
            return batch_to_dict(*batch).release();
        } catch (...) {
            // Its arrays could not be made (memory, NumPy): the next call
            // gives the batch again rather than losing its events.
            batcher.put_back(std::move(*batch));
            throw;
        }
    }
    if (auto* io = std::get_if<IoFailure>(&outcome); io != nullptr && io->is_interrupted() && object->deferred) {
        restore_exception(PyRef::steal(std::exchange(object->deferred, nullptr)));
    }
    return raise_outcome(std::move(outcome));
}

PyObject* batch_reader_next(PyObject* self) noexcept {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        if (!check_batch_reader(self)) {
            return nullptr;
        }
        auto* object = as_batch_reader(self);
        // Declared first so that it is dropped after the borrow is released.
        PyRef hold = PyRef::borrow(self);
        BatchCore& core = *object->core;
        ExclusiveBorrow borrow(core.borrow());
        if (!borrow.held()) {
            PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
            return nullptr;
        }
        if (!core.claim(BatchCore::iteration)) {
            PyErr_SetString(PyExc_RuntimeError, "this BatchReader is read through an Arrow stream");
            return nullptr;
        }
        return std::visit([&](auto& batcher) { return next_batch(object, batcher); }, core.batcher());
    });
}

int batch_reader_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    Py_VISIT(as_batch_reader(self)->deferred);
    Py_VISIT(Py_TYPE(self));
    return 0;
}

int batch_reader_clear(PyObject* self) noexcept {
    Py_CLEAR(as_batch_reader(self)->deferred);
    return 0;
}

void batch_reader_dealloc(PyObject* self) noexcept {
    PyObject_GC_UnTrack(self);
    // Frees the buffers and closes the descriptor, unless an Arrow stream
    // still reads them.
    guarded_destruction(self, [&] { std::destroy_at(&as_batch_reader(self)->core); });
    Py_CLEAR(as_batch_reader(self)->deferred);
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* batch_reader_arrow_c_stream(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        if (!check_batch_reader(self)) {
            return nullptr;
        }
        static const char* keywords[] = {"requested_schema", nullptr};
        PyObject* requested = nullptr;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|O:__arrow_c_stream__", const_cast<char**>(keywords),
                                         &requested)) {
            return nullptr;
        }
        return arrow_stream_capsule(as_batch_reader(self)->core, requested);
    });
}

PyObject* batch_reader_arrow_c_schema(PyObject* self, PyObject*) noexcept {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        if (!check_batch_reader(self)) {
            return nullptr;
        }
        return arrow_schema_capsule(*as_batch_reader(self)->core);
    });
}

PyMethodDef batch_reader_methods[] = {
    {"__arrow_c_stream__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(batch_reader_arrow_c_stream)),
     METH_VARARGS | METH_KEYWORDS,
     "__arrow_c_stream__($self, /, requested_schema=None)\n--\n\n"
     "The batches as an Arrow C stream (a PyCapsule \"arrow_array_stream\"), for pyarrow, polars,\n"
     "DuckDB and other Arrow consumers; it reads nothing until the consumer asks for a batch, and\n"
     "then takes the reader for itself. A requested schema with 32-bit list offsets (\"+l\") is\n"
     "honoured; any other request is left aside and the stream keeps its own schema."},
    {"__arrow_c_schema__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(batch_reader_arrow_c_schema)),
     METH_NOARGS,
     "__arrow_c_schema__($self, /)\n--\n\n"
     "The Arrow schema of the batches (a PyCapsule \"arrow_schema\"): a struct of the header columns and\n"
     "\"data\", a large list of the samples."},
    {nullptr, nullptr, 0, nullptr},
};

constexpr const char* batch_reader_doc =
    "BatchReader(source, reader_type, max_events=65536, max_bytes=67108864, *, compression='infer')\n"
    "--\n"
    "\n"
    "The events of a WD1 or WD2 file in columnar batches.\n"
    "\n"
    "source is a path (str or os.PathLike; a name ending in .gz, .bz2, .xz or .zst is\n"
    "decompressed unless compression says otherwise), an object with the buffer protocol\n"
    "(bytes, bytearray, memoryview, mmap, a NumPy array), read from memory, or a binary\n"
    "file object (readinto() or read()), which the reader does not close.\n"
    "\n"
    "Each step yields a dict of 1-D NumPy arrays: one per header field (the keys of\n"
    "the event dictionaries, in their order), 'offsets' (int64, one more than the\n"
    "events: event i's samples are data[offsets[i]:offsets[i + 1]]) and 'data' (every\n"
    "event's samples, flat). A batch holds at most max_events events and max_bytes\n"
    "bytes of arrays, except that an event larger than max_bytes comes alone.";

PyType_Slot batch_reader_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(batch_reader_new)},
    {Py_tp_iter, reinterpret_cast<void*>(batch_reader_iter)},
    {Py_tp_iternext, reinterpret_cast<void*>(batch_reader_next)},
    {Py_tp_traverse, reinterpret_cast<void*>(batch_reader_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(batch_reader_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(batch_reader_dealloc)},
    {Py_tp_methods, batch_reader_methods},
    {Py_tp_doc, const_cast<char*>(batch_reader_doc)},
    {0, nullptr},
};

PyType_Spec batch_reader_spec{
    "pelvar.BatchReader",
    static_cast<int>(sizeof(BatchReaderObject)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    batch_reader_slots,
};

}  // namespace

PyTypeObject* batch_reader_type() {
    return the_type.get_or_make([] { return reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&batch_reader_spec)); },
                                [](PyTypeObject* lost) noexcept { Py_DECREF(lost); });
}

}  // namespace pelvar
