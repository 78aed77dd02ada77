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
// are repeated, and signals are handled when Python next runs. The stream
// itself (its calls, error numbers and texts) is batch_stream.hpp's.
#include "arrow_stream.hpp"

#include <memory>
#include <string>
#include <string_view>

#include "arrow_export.hpp"
#include "batch_stream.hpp"
#include "failure.hpp"
#include "interpreter_lock.hpp"

namespace pelvar {
namespace {

constexpr const char* stream_capsule_name = "arrow_array_stream";
constexpr const char* schema_capsule_name = "arrow_schema";

// Reads one batch, with the interpreter let go of when this thread holds it.
struct ReadAwayFromInterpreter {
    template <class Batcher>
    static ReadOutcome<typename Batcher::Batch> next(Batcher& batcher, std::string& interrupt_text) {
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
            interrupt_text = describe_exception(error.get());
        }
        return outcome;
    }
};

using Stream = BatchStream<BatchCore, ReadAwayFromInterpreter>;

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
    export_stream_schema(batcher, ListOffsets::large, &ours);
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
    const ListOffsets offsets = requested_offsets(core->batcher(), requested_schema);
    auto stream = std::make_unique<ArrowArrayStream>();
    Stream::export_to(stream.get(), core, offsets);
    PyObject* capsule =
        PyCapsule_New(stream.get(), stream_capsule_name, capsule_destructor<ArrowArrayStream, stream_capsule_name>);
    if (capsule == nullptr) {
        stream->release(stream.get());
        return nullptr;
    }
    stream.release();
    return capsule;
}

PyObject* arrow_schema_capsule(BatchCore& core) {
    auto* schema = new ArrowSchema;
    export_stream_schema(core.batcher(), ListOffsets::large, schema);
    PyObject* capsule = PyCapsule_New(schema, schema_capsule_name, capsule_destructor<ArrowSchema, schema_capsule_name>);
    if (capsule == nullptr) {
        schema->release(schema);
        delete schema;
    }
    return capsule;
}

}  // namespace pelvar
