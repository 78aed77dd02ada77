// A BatchReader as an Arrow C stream, handed out in PyCapsules: the same
// batches as its iteration, each an Arrow struct array over the batch's own
// columns.
//
// Consumers call the stream from any thread, holding the interpreter or not
// (DuckDB from its worker threads, pyarrow with the interpreter let go of),
// and release streams and arrays wherever they finish with them. So nothing
// here needs Python except for what only Python can do: on a thread that
// holds the interpreter, a read interrupted by a signal runs the handlers,
// and the text of an exception that a handler raised becomes the error. A
// thread that does not hold it never waits for it: its interrupted reads
// are repeated, and signals are handled when Python next runs.
#include "arrow_stream.hpp"

#include <cerrno>
#include <cstring>
#include <new>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

#include "arrow_export.hpp"
#include "batch_dict.hpp"
#include "failure.hpp"
#include "interpreter_lock.hpp"

namespace pelvar {
namespace {

constexpr const char* stream_capsule_name = "arrow_array_stream";
constexpr const char* schema_capsule_name = "arrow_schema";

template <class Batcher>
using BatchOf = typename Batcher::Batch;

void export_schema(FileBatcher& batcher, ListOffsets offsets, ArrowSchema* out) {
    std::visit([&](auto& b) { export_batch_schema<BatchOf<std::decay_t<decltype(b)>>>(out, offsets); }, batcher);
}

struct StreamState {
    std::shared_ptr<BatchCore> core;
    int id;                      // claims the reader at the first read
    ListOffsets offsets;
    std::string last_error;      // what get_last_error points at
    int failed = 0;              // the error the stream ended with, repeated
    std::string interrupt_text;  // a signal handler's exception, for the interrupted read
};

StreamState* state_of(ArrowArrayStream* stream) { return static_cast<StreamState*>(stream->private_data); }

int fail(StreamState& state, int error, std::string text) {
    state.last_error = std::move(text);
    state.failed = error;
    return error;
}

// The failure as an error number and the text that iteration would raise.
int stream_failure(StreamState& state, StepFailure&& failure) {
    if (auto* io = std::get_if<IoFailure>(&failure)) {
        if (io->is_interrupted()) {
            return fail(state, EINTR, state.interrupt_text.empty() ? io->display() : state.interrupt_text);
        }
        // A source object's exception (its text) or the operating system's error.
        return fail(state, io->error_number() != 0 ? io->error_number() : EIO, io->display());
    }
    auto& internal = std::get<InternalFailure>(failure);
    return fail(state, internal.memory_exhausted ? ENOMEM : EINVAL, std::move(internal.message));
}

// One batch, read with the interpreter let go of when this thread holds it.
template <class Batcher>
ReadOutcome<BatchOf<Batcher>> read_batch(StreamState& state, Batcher& batcher) {
    if (!holds_interpreter()) {
        OutsideInterpreter outside;
        return batcher.next();
    }
    auto outcome = [&] {
        InterpreterReleased released;
        return batcher.next();
    }();
    if (PyErr_Occurred()) {
        // A signal handler raised: the read that it interrupted ends the
        // stream, now or after this batch. Its text is the error.
        PyRef error = take_pending_exception();
        state.interrupt_text = describe_exception(error.get());
    }
    return outcome;
}

int get_schema(ArrowArrayStream* stream, ArrowSchema* out) noexcept {
    StreamState& state = *state_of(stream);
    try {
        export_schema(state.core->batcher(), state.offsets, out);
        return 0;
    } catch (const std::bad_alloc&) {
        state.last_error = "out of memory";
        return ENOMEM;
    }
}

int get_next(ArrowArrayStream* stream, ArrowArray* out) noexcept {
    StreamState& state = *state_of(stream);
    out->release = nullptr;
    if (state.failed != 0) {
        return state.failed;
    }
    try {
        BatchCore& core = *state.core;
        if (!core.claim(state.id)) {
            return fail(state, EINVAL,
                        "the BatchReader has been read from, by iteration or another stream: a file is read "
                        "once, so open a new BatchReader for the whole of it");
        }
        ExclusiveBorrow borrow(core.borrow());
        if (!borrow.held()) {
            state.last_error = "Already borrowed";
            return EBUSY;
        }
        return std::visit(
            [&](auto& batcher) -> int {
                auto outcome = read_batch(state, batcher);
                if (auto* batch = std::get_if<0>(&outcome)) {
                    if (auto refused = export_batch(std::move(*batch), state.offsets, out)) {
                        return fail(state, EOVERFLOW, std::move(*refused));
                    }
                    return 0;
                }
                if (std::holds_alternative<EndOfEvents>(outcome)) {
                    return 0;  // the end: a released array
                }
                if (auto* io = std::get_if<IoFailure>(&outcome)) {
                    return stream_failure(state, *io);
                }
                return stream_failure(state, std::get<InternalFailure>(std::move(outcome)));
            },
            core.batcher());
    } catch (const std::bad_alloc&) {
        if (out->release != nullptr) {
            out->release(out);
        }
        return fail(state, ENOMEM, "out of memory");
    }
}

const char* get_last_error(ArrowArrayStream* stream) noexcept {
    const std::string& text = state_of(stream)->last_error;
    return text.empty() ? nullptr : text.c_str();
}

// Drops the stream's reference on the reader: the last one closes the file.
void release_stream(ArrowArrayStream* stream) noexcept {
    delete state_of(stream);
    stream->release = nullptr;
}

// A capsule gives its struct (an ArrowArrayStream or an ArrowSchema) back
// when it goes, releasing it unless a consumer moved it out (and set its
// release to null).
template <class Struct, const char* const& name>
void capsule_destructor(PyObject* capsule) noexcept {
    auto* held = static_cast<Struct*>(PyCapsule_GetPointer(capsule, name));
    if (held == nullptr) {
        interpreter_call([&] { PyErr_WriteUnraisable(capsule); });
        return;
    }
    if (held->release != nullptr) {
        held->release(held);
    }
    delete held;
}

// Whether two schemas agree field by field, but for a list's offsets.
bool same_fields(const ArrowSchema& ours, const ArrowSchema& asked, bool& small_offsets) {
    const std::string_view our_format = ours.format;
    const std::string_view asked_format = asked.format != nullptr ? asked.format : "";
    if (our_format == "+L" && asked_format == "+l") {
        small_offsets = true;
    } else if (our_format != asked_format) {
        return false;
    }
    if (ours.n_children != asked.n_children) {
        return false;
    }
    for (std::int64_t i = 0; i < ours.n_children; ++i) {
        if (asked.children[i] == nullptr || !same_fields(*ours.children[i], *asked.children[i], small_offsets)) {
            return false;
        }
    }
    return true;
}

// The offsets that a requested schema asks for: 32-bit ones when it is this
// schema with "+l" for the list, else the stream's own. Any other request is
// left aside, as the interface allows: the stream keeps its own schema and
// the consumer may cast.
ListOffsets requested_offsets(FileBatcher& batcher, PyObject* requested) {
    if (requested == nullptr || requested == Py_None || !PyCapsule_IsValid(requested, schema_capsule_name)) {
        return ListOffsets::large;
    }
    const auto* asked = static_cast<const ArrowSchema*>(PyCapsule_GetPointer(requested, schema_capsule_name));
    ArrowSchema ours;
    export_schema(batcher, ListOffsets::large, &ours);
    bool small_offsets = false;
    const bool same = asked != nullptr && asked->release != nullptr && same_fields(ours, *asked, small_offsets);
    ours.release(&ours);
    return same && small_offsets ? ListOffsets::small : ListOffsets::large;
}

}  // namespace

PyObject* arrow_stream_capsule(const std::shared_ptr<BatchCore>& core, PyObject* requested_schema) {
    if (!core->unread()) {
        PyErr_SetString(PyExc_RuntimeError,
                        "this BatchReader has been read from: an Arrow stream of it would miss the batches "
                        "already read; open a new BatchReader for the whole file");
        return nullptr;
    }
    auto state = std::make_unique<StreamState>();
    state->core = core;
    state->id = BatchCore::next_stream();
    state->offsets = requested_offsets(core->batcher(), requested_schema);
    auto* stream = new ArrowArrayStream{get_schema, get_next, get_last_error, release_stream, state.release()};
    PyObject* capsule = PyCapsule_New(stream, stream_capsule_name, capsule_destructor<ArrowArrayStream, stream_capsule_name>);
    if (capsule == nullptr) {
        stream->release(stream);
        delete stream;
    }
    return capsule;
}

PyObject* arrow_schema_capsule(BatchCore& core) {
    auto* schema = new ArrowSchema;
    export_schema(core.batcher(), ListOffsets::large, schema);
    PyObject* capsule = PyCapsule_New(schema, schema_capsule_name, capsule_destructor<ArrowSchema, schema_capsule_name>);
    if (capsule == nullptr) {
        schema->release(schema);
        delete schema;
    }
    return capsule;
}

}  // namespace pelvar
