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
#include "reader_recipe.hpp"
#include "column_names.hpp"
#include "batch_partitions.hpp"

namespace pelvar {
namespace {

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

// A reader's core and what it was made of.
struct BatchReaderContents {
    std::shared_ptr<BatchCore> core;
    ReaderRecipe recipe;
};

bool known_reader_type(std::string_view reader_type) { return reader_type == "WD1" || reader_type == "WD2"; }

const char* not_portable_text(InputKind kind) {
    switch (kind) {
        case InputKind::memory:
            return "it reads a buffer of this process, which another process cannot see; pickle a reader over "
                   "a path";
        case InputKind::file_object:
            return "it reads a file object, whose position another process cannot share; pickle a reader over "
                   "a path";
        default:
            return "it reads a decompressed file object, whose position another process cannot share; pickle a "
                   "reader over a path";
    }
}

struct BatchReaderState {
    static constexpr const char* class_name = "BatchReader";
    static constexpr bool garbage_collected = true;  // `deferred` may hold a cycle

    static std::optional<BatchReaderContents> open(PyObject* args, PyObject* kwargs) {
        auto arguments = bind_batch_reader_arguments(args, kwargs);
        if (!arguments) {
            return std::nullopt;
        }
        ReaderRecipe recipe;
        recipe.reader_type = std::string(arguments->reader_type);
        recipe.limits = {arguments->max_events, arguments->max_bytes};
        recipe.compression = PyRef::borrow(arguments->compression);
        recipe.range = EventRange{arguments->start, arguments->stop, 0, std::nullopt};
        // The columns are the format's: an unknown format is told once the
        // input is open, as before columns could be chosen.
        if (known_reader_type(recipe.reader_type)) {
            auto columns = parse_columns(arguments->columns, recipe.reader_type);
            if (!columns) {
                return std::nullopt;
            }
            recipe.columns = *columns;
        }
        auto input = open_input(arguments->source, arguments->compression);
        if (!input) {
            return std::nullopt;
        }
        recipe.path = std::move(input->path);
        if (!recipe.path) {
            recipe.not_portable = not_portable_text(input->kind);
        }
        if (!known_reader_type(recipe.reader_type)) {
            // Closes the input and raises the unknown type.
            build_reader(std::move(input->source), arguments->reader_type, arguments->reader_type_object,
                         ProbeRewind::seek);
            return std::nullopt;
        }
        auto batcher = batcher_for(std::move(input->source), recipe);
        if (!batcher) {
            return std::nullopt;
        }
        return BatchReaderContents{std::make_shared<BatchCore>(std::move(*batcher)), std::move(recipe)};
    }

    explicit BatchReaderState(BatchReaderContents&& contents) noexcept
        : recipe(std::move(contents.recipe)), core(std::move(contents.core)) {}

    // The borrow is the core's: an Arrow stream takes it too.
    BorrowFlag& borrow_flag() noexcept { return core->borrow(); }

    PyObject* next_borrowed() {
        if (!core->opened() && !open_core()) {
            return nullptr;
        }
        if (!core->claim(BatchCore::iteration)) {
            PyErr_SetString(PyExc_RuntimeError, "this BatchReader is read through an Arrow stream");
            return nullptr;
        }
        return std::visit([&](auto& batcher) { return next_batch(deferred, batcher); }, core->batcher());
    }

    // Opens the file of a reader made elsewhere (a partition, an unpickled
    // reader), with the exclusive borrow held.
    bool open_core() {
        auto batcher = reopen(recipe);
        if (!batcher) {
            return false;
        }
        core->open(std::move(*batcher));
        return true;
    }

    // The core opened, for a caller that does not hold the borrow.
    bool opened_core() {
        if (core->opened()) {
            return true;
        }
        ExclusiveBorrow borrow(core->borrow());
        if (!borrow.held()) {
            PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
            return false;
        }
        return core->opened() || open_core();
    }

    // The exception of a signal handler that ended a read after some events:
    // they went out as a batch, and the next call raises it.
    PyRef deferred;
    // What the reader reads, to open it again elsewhere.
    ReaderRecipe recipe;
    // The batcher (its variant fixed when the file is opened) and the borrow
    // that keeps two callers apart, shared with the Arrow streams made of
    // it. Dropped first: that frees the buffers and closes the descriptor,
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
        auto& state = BatchReaderObject::of(self)->state;
        if (!state.opened_core()) {
            return nullptr;
        }
        return arrow_stream_capsule(state.core, requested);
    });
}

PyObject* batch_reader_arrow_c_schema(PyObject* self, PyObject*) noexcept {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        if (!BatchReaderObject::check(self)) {
            return nullptr;
        }
        auto& state = BatchReaderObject::of(self)->state;
        if (!state.opened_core()) {
            return nullptr;
        }
        return arrow_schema_capsule(*state.core);
    });
}

PyObject* batch_reader_reduce(PyObject* self, PyObject*) noexcept {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        if (!BatchReaderObject::check(self)) {
            return nullptr;
        }
        auto& state = BatchReaderObject::of(self)->state;
        if (state.recipe.not_portable != nullptr) {
            PyErr_Format(PyExc_TypeError, "cannot pickle this BatchReader: %s", state.recipe.not_portable);
            return nullptr;
        }
        if (state.core->opened() && !state.core->unread()) {
            PyErr_SetString(PyExc_TypeError,
                            "cannot pickle a BatchReader that has been read from: the copy would read its events "
                            "again from the first, not from where this one stands; pickle it before reading");
            return nullptr;
        }
        PyRef restore = PyRef::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(self)), "_restore"));
        PyRef recipe = recipe_state(state.recipe);
        if (!restore || !recipe) {
            return nullptr;
        }
        return Py_BuildValue("(O(O))", restore.get(), recipe.get());
    });
}

// A reader of `recipe` that opens its file when first read.
PyObject* unopened_reader(PyTypeObject* type, ReaderRecipe&& recipe) {
    return BatchReaderObject::create(type, BatchReaderContents{std::make_shared<BatchCore>(), std::move(recipe)});
}

PyObject* batch_reader_with_columns(PyObject* self, PyObject* columns) noexcept {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        if (!BatchReaderObject::check(self)) {
            return nullptr;
        }
        const auto& recipe = BatchReaderObject::of(self)->state.recipe;
        if (recipe.not_portable != nullptr) {
            PyErr_Format(PyExc_TypeError, "cannot make this BatchReader again: %s", recipe.not_portable);
            return nullptr;
        }
        auto chosen = parse_columns(columns == Py_None ? nullptr : columns, recipe.reader_type);
        if (!chosen) {
            return nullptr;
        }
        ReaderRecipe twin = recipe.copy();
        twin.columns = *chosen;
        return unopened_reader(Py_TYPE(self), std::move(twin));
    });
}

PyObject* batch_reader_restore(PyObject* type, PyObject* state) noexcept {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        auto recipe = recipe_from_state(state);
        if (!recipe) {
            return nullptr;
        }
        return unopened_reader(reinterpret_cast<PyTypeObject*>(type), std::move(*recipe));
    });
}

PyObject* batch_reader_partitions(PyObject* type, PyObject* args, PyObject* kwargs) noexcept {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        auto planned = plan_batch_partitions(args, kwargs);
        if (!planned) {
            return nullptr;
        }
        PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(planned->size())));
        if (!list) {
            return nullptr;
        }
        Py_ssize_t i = 0;
        for (auto& partition : *planned) {
            auto* subtype = reinterpret_cast<PyTypeObject*>(type);
            PyObject* reader =
                partition.batcher
                    ? BatchReaderObject::create(subtype,
                                                BatchReaderContents{std::make_shared<BatchCore>(std::move(*partition.batcher)),
                                                                    std::move(partition.recipe)})
                    : unopened_reader(subtype, std::move(partition.recipe));
            if (reader == nullptr) {
                return nullptr;
            }
            PyList_SET_ITEM(list.get(), i++, reader);
        }
        return list.release();
    });
}

PyObject* batch_reader_columns(PyObject* self, void*) noexcept {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        const auto& recipe = BatchReaderObject::of(self)->state.recipe;
        return column_names(recipe.columns, recipe.reader_type, true).release();
    });
}

PyObject* batch_reader_event_range(PyObject* self, void*) noexcept {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        const auto& recipe = BatchReaderObject::of(self)->state.recipe;
        const auto& range = recipe.range;
        PyRef first = PyRef::steal(PyLong_FromUnsignedLongLong(recipe.first + range.start));
        PyRef stop = range.stop ? PyRef::steal(PyLong_FromUnsignedLongLong(recipe.first + std::max(*range.stop, range.start)))
                                : PyRef::borrow(Py_None);
        if (!first || !stop) {
            return nullptr;
        }
        return PyTuple_Pack(2, first.get(), stop.get());
    });
}

PyObject* batch_reader_byte_range(PyObject* self, void*) noexcept {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        const auto& recipe = BatchReaderObject::of(self)->state.recipe;
        if (!recipe.planned_size) {
            Py_RETURN_NONE;
        }
        return Py_BuildValue("(KK)", static_cast<unsigned long long>(recipe.range.begin),
                             static_cast<unsigned long long>(recipe.range.end.value_or(*recipe.planned_size)));
    });
}

PyGetSetDef batch_reader_getset[] = {
    {"columns", batch_reader_columns, nullptr,
     "The keys of each batch, in their order: the chosen header columns, then 'byte_offset', 'offsets' and\n"
     "'data' when chosen.",
     nullptr},
    {"event_range", batch_reader_event_range, nullptr,
     "(first, stop): the positions in the whole file of the events this reader yields, as a range;\n"
     "stop is None when it is not known (the reader reads on to the end).",
     nullptr},
    {"byte_range", batch_reader_byte_range, nullptr,
     "(begin, end): the bytes of the file that a partition covers; None for a reader made otherwise.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

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
    {"__reduce__", batch_reader_reduce, METH_NOARGS,
     "__reduce__($self, /)\n--\n\n"
     "Pickles a reader over a path that has not been read from: its path, format, limits, columns,\n"
     "events and, for a partition, its bytes. Unpickled, it opens the file when first read."},
    {"with_columns", batch_reader_with_columns, METH_O,
     "with_columns($self, columns, /)\n--\n\n"
     "A new reader of the same events (the same source path, format, limits, events and, for a\n"
     "partition, bytes) holding other columns (None: all of them); it opens its file when first read,\n"
     "whether or not this one has been read. For a reader over a path: how a partition is narrowed to\n"
     "the columns that a task needs."},
    {"_restore", batch_reader_restore, METH_O | METH_CLASS, "_restore($type, state, /)\n--\n\nA pickled reader."},
    {"partitions", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(batch_reader_partitions)),
     METH_VARARGS | METH_KEYWORDS | METH_CLASS,
     "partitions($type, source, reader_type, *, partition_bytes=268435456, **reader_keywords)\n--\n\n"
     "Splits one file into partitions: a list of BatchReaders, not read yet, each over a run of whole\n"
     "events of about partition_bytes bytes, found by one pass over the headers. Read in order they\n"
     "give exactly the events and exceptions of one BatchReader over the whole file. source is the\n"
     "path of a regular file, or a buffer; reader_keywords (max_events, max_bytes, columns, start,\n"
     "stop) go to every partition, start and stop choosing the events that the partitions cover.\n"
     "Partitions of a path pickle, and open their file when first read."},
    {nullptr, nullptr, 0, nullptr},
};

constexpr const char* batch_reader_doc =
    "BatchReader(source, reader_type, max_events=65536, max_bytes=4194304, *, compression='infer', "
    "columns=None, start=0, stop=None)\n"
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
    "bytes of arrays, except that an event larger than max_bytes comes alone.\n"
    "\n"
    "columns (a list of names: header fields, 'byte_offset', where each event's header\n"
    "starts in the stream, and 'data') chooses the arrays; without 'data' the samples\n"
    "are skipped, by seeking where the source can. start and stop choose events by\n"
    "their position, as a slice does.";

PyType_Slot batch_reader_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(BatchReaderObject::make)},
    {Py_tp_iter, reinterpret_cast<void*>(BatchReaderObject::iter)},
    {Py_tp_iternext, reinterpret_cast<void*>(BatchReaderObject::next)},
    {Py_tp_traverse, reinterpret_cast<void*>(batch_reader_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(batch_reader_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(BatchReaderObject::dealloc)},
    {Py_tp_methods, batch_reader_methods},
    {Py_tp_getset, batch_reader_getset},
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
