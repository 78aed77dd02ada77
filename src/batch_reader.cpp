// BatchReader(path, reader_type, max_events=65536, max_bytes=4 MiB): the
// events of a file in columnar batches, one dictionary of arrays per batch.
// It opens the file as EventReader does and reads it with the same readers;
// while it fills a batch it touches no Python object and lets go of the
// interpreter, so that threads reading other files run in parallel.
#include "batch_reader.hpp"

#include <memory>
#include <optional>
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
#include "python_memory.hpp"
#include "reader_binding.hpp"
#include "reader_object.hpp"

namespace pelvar {
namespace {

FileBatcher make_batcher(FileReader&& reader, BatchLimits limits) {
    if (auto* wd1 = std::get_if<0>(&reader)) {
        return FileBatcher(std::in_place_index<0>, std::move(*wd1), batch_block_pool(), limits);
    }
    return FileBatcher(std::in_place_index<1>, std::get<1>(std::move(reader)), batch_block_pool(), limits);
}

// One batch, read with the interpreter let go of; the exclusive borrow is held.
template <class Batcher>
PyObject* next_batch(PyRef& deferred, Batcher& batcher) {
    auto outcome = [&] {
        InterpreterReleased released;
        return batcher.next();
    }();
    if (auto* batch = std::get_if<typename Batcher::Batch>(&outcome)) {
        // A signal handler raised after the batch's events: the batcher
        // keeps the failure for the next call, which raises this.
        if (PyErr_Occurred()) {
            deferred = take_pending_exception();
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
    if (auto* io = std::get_if<IoFailure>(&outcome); io != nullptr && io->is_interrupted() && deferred) {
        restore_exception(std::exchange(deferred, PyRef()));
    }
    return raise_outcome(std::move(outcome));
}

struct BatchReaderState {
    static constexpr const char* class_name = "BatchReader";
    static constexpr bool garbage_collected = true;  // `deferred` may hold a cycle

    static std::optional<std::shared_ptr<BatchCore>> open(PyObject* args, PyObject* kwargs) {
        auto arguments = bind_batch_reader_arguments(args, kwargs);
        if (!arguments) {
            return std::nullopt;
        }
        auto source = open_input(arguments->source, arguments->compression);
        if (!source) {
            return std::nullopt;
        }
        // A source that cannot be sized (a pipe, a decompressed stream, a
        // file object) may not seek back either: the layout probe keeps
        // what it reads instead.
        const auto rewind = source->remaining() ? ProbeRewind::seek : ProbeRewind::keep;
        auto reader = build_reader(std::move(*source), arguments->reader_type, arguments->reader_type_object, rewind);
        if (!reader) {
            return std::nullopt;
        }
        return std::make_shared<BatchCore>(
            make_batcher(std::move(*reader), {arguments->max_events, arguments->max_bytes}));
    }

    explicit BatchReaderState(std::shared_ptr<BatchCore> batch_core) noexcept : core(std::move(batch_core)) {}

    // The borrow is the core's: an Arrow stream takes it too.
    BorrowFlag& borrow_flag() noexcept { return core->borrow(); }

    PyObject* next_borrowed() {
        if (!core->claim(BatchCore::iteration)) {
            PyErr_SetString(PyExc_RuntimeError, "this BatchReader is read through an Arrow stream");
            return nullptr;
        }
        return std::visit([&](auto& batcher) { return next_batch(deferred, batcher); }, core->batcher());
    }

    // The exception of a signal handler that ended a read after some events:
    // they went out as a batch, and the next call raises it.
    PyRef deferred;
    // The batcher (its variant fixed at construction) and the borrow that
    // keeps two callers apart, shared with the Arrow streams made of it.
    // Dropped first: that frees the buffers and closes the descriptor,
    // unless an Arrow stream still reads them.
    std::shared_ptr<BatchCore> core;
};

using BatchReaderObject = ReaderObject<BatchReaderState>;

int batch_reader_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    Py_VISIT(BatchReaderObject::of(self)->state.deferred.get());
    Py_VISIT(Py_TYPE(self));
    return 0;
}

int batch_reader_clear(PyObject* self) noexcept {
    BatchReaderObject::of(self)->state.deferred = PyRef();
    return 0;
}

PyObject* batch_reader_arrow_c_stream(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        if (!BatchReaderObject::check(self)) {
            return nullptr;
        }
        static const char* keywords[] = {"requested_schema", nullptr};
        PyObject* requested = nullptr;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|O:__arrow_c_stream__", const_cast<char**>(keywords),
                                         &requested)) {
            return nullptr;
        }
        return arrow_stream_capsule(BatchReaderObject::of(self)->state.core, requested);
    });
}

PyObject* batch_reader_arrow_c_schema(PyObject* self, PyObject*) noexcept {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        if (!BatchReaderObject::check(self)) {
            return nullptr;
        }
        return arrow_schema_capsule(*BatchReaderObject::of(self)->state.core);
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
    "BatchReader(source, reader_type, max_events=65536, max_bytes=4194304, *, compression='infer')\n"
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
    {Py_tp_new, reinterpret_cast<void*>(BatchReaderObject::make)},
    {Py_tp_iter, reinterpret_cast<void*>(BatchReaderObject::iter)},
    {Py_tp_iternext, reinterpret_cast<void*>(BatchReaderObject::next)},
    {Py_tp_traverse, reinterpret_cast<void*>(batch_reader_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(batch_reader_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(BatchReaderObject::dealloc)},
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

PyTypeObject* batch_reader_type() { return BatchReaderObject::type(batch_reader_spec); }

}  // namespace pelvar
