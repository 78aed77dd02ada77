// The Arrow C stream of a reader's batches, apart from Python: its state,
// get_next with the error numbers that consumers turn into their exceptions,
// get_last_error and release. arrow_stream.cpp hands it out in capsules and
// reads with the interpreter let go of; the C++ tests drive it over
// in-memory files. Python-free.
//
// Consumers may call a stream from any thread, and one that does not
// serialise its calls may call it from two at once. What the stream writes
// (its error, the failure it keeps, the reader's claim) is written only by
// the call that holds the reader's exclusive borrow; a call that meets the
// borrow taken fails with EBUSY and writes nothing shared: its error text is
// kept for its own thread. A failure, once kept, is never written again, so
// every later call, from any thread, repeats it without reading.
#pragma once

#include <atomic>
#include <cerrno>
#include <memory>
#include <new>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>

#include "arrow_c.h"
#include "arrow_export.hpp"
#include "borrow_flag.hpp"
#include "read_outcome.hpp"

namespace pelvar {

// The schema of the batches of whichever batcher `batchers` (a std::variant)
// holds.
template <class Batchers>
void export_stream_schema(Batchers& batchers, ListOffsets offsets, ArrowSchema* out) {
    std::visit([&](auto& b) {
        export_batch_schema<typename std::decay_t<decltype(b)>::Batch>(out, offsets, b.columns());
    }, batchers);
}

// `Core`: a BasicBatchCore. `Read::next(batcher, interrupt_text)` reads one
// batch with the borrow held; when a read was given up because a signal
// handler raised, it leaves the text of the handler's exception in
// `interrupt_text`, the error of the stream from then on.
template <class Core, class Read>
class BatchStream {
public:
    // Fills `out` with a new stream over `core`, which reads nothing before
    // its first get_next; it takes the reader then, unless another consumer
    // has read from it already.
    static void export_to(ArrowArrayStream* out, std::shared_ptr<Core> core, ListOffsets offsets) {
        auto* stream = new BatchStream(std::move(core), offsets);
        *out = ArrowArrayStream{get_schema, get_next, get_last_error, release, stream};
    }

    static constexpr const char* busy_text = "Already borrowed";
    static constexpr const char* claimed_text =
        "the BatchReader has been read from, by iteration or another stream: a file is read once, so open a "
        "new BatchReader for the whole of it";

private:
    BatchStream(std::shared_ptr<Core> core, ListOffsets offsets)
        : core_(std::move(core)), id_(Core::next_stream()), offsets_(offsets) {}

    static BatchStream& of(ArrowArrayStream* stream) noexcept {
        return *static_cast<BatchStream*>(stream->private_data);
    }

    // This thread's own error of its last call on a stream, when that call
    // wrote nothing shared (a busy reader, a schema that could not be made).
    struct OwnError {
        const BatchStream* stream = nullptr;
        const char* text = nullptr;
    };
    static inline thread_local OwnError own_error;

    void set_own_error(const char* text) const noexcept { own_error = OwnError{this, text}; }
    void clear_own_error() const noexcept {
        if (own_error.stream == this) {
            own_error = OwnError{};
        }
    }

    static int get_schema(ArrowArrayStream* stream, ArrowSchema* out) noexcept {
        BatchStream& self = of(stream);
        try {
            export_stream_schema(self.core_->batcher(), self.offsets_, out);
            self.clear_own_error();
            return 0;
        } catch (const std::bad_alloc&) {
            self.set_own_error("out of memory");
            return ENOMEM;
        }
    }

    static int get_next(ArrowArrayStream* stream, ArrowArray* out) noexcept {
        BatchStream& self = of(stream);
        out->release = nullptr;
        if (const int failed = self.failed_.load(std::memory_order_acquire); failed != 0) {
            self.clear_own_error();
            return failed;
        }
        ExclusiveBorrow borrow(self.core_->borrow());
        if (!borrow.held()) {
            self.set_own_error(busy_text);
            return EBUSY;
        }
        const int result = self.next_borrowed(out);
        // Also after a call of this thread that met the borrow from inside
        // this one (a signal handler's).
        self.clear_own_error();
        return result;
    }

    static const char* get_last_error(ArrowArrayStream* stream) noexcept {
        const BatchStream& self = of(stream);
        if (own_error.stream == &self) {
            return own_error.text;
        }
        return self.last_error_.empty() ? nullptr : self.last_error_.c_str();
    }

    // Drops the stream's reference on the reader: the last one closes the file.
    static void release(ArrowArrayStream* stream) noexcept {
        BatchStream* self = &of(stream);
        self->clear_own_error();
        delete self;
        stream->release = nullptr;
    }

    // get_next, with the exclusive borrow held.
    int next_borrowed(ArrowArray* out) noexcept {
        // Failed while this call waited for the borrow.
        if (const int failed = failed_.load(std::memory_order_acquire); failed != 0) {
            return failed;
        }
        try {
            if (!core_->claim(id_)) {
                return fail(EINVAL, claimed_text);
            }
            return std::visit([&](auto& batcher) { return next_of(batcher, out); }, core_->batcher());
        } catch (const std::bad_alloc&) {
            if (out->release != nullptr) {
                out->release(out);
            }
            return fail(ENOMEM, "out of memory");
        }
    }

    template <class Batcher>
    int next_of(Batcher& batcher, ArrowArray* out) {
        auto outcome = Read::next(batcher, interrupt_text_);
        if (auto* batch = std::get_if<typename Batcher::Batch>(&outcome)) {
            if (auto refused = export_batch(std::move(*batch), offsets_, out)) {
                return fail(EOVERFLOW, std::move(*refused));
            }
            return 0;
        }
        if (std::holds_alternative<EndOfEvents>(outcome)) {
            return 0;  // the end: a released array
        }
        if (auto* io = std::get_if<IoFailure>(&outcome)) {
            if (io->is_interrupted()) {
                return fail(EINTR, interrupt_text_.empty() ? io->display() : interrupt_text_);
            }
            return fail(io->error_number() != 0 ? io->error_number() : EIO, io->display());
        }
        auto& internal = std::get<InternalFailure>(outcome);
        return fail(internal.memory_exhausted ? ENOMEM : EINVAL, std::move(internal.message));
    }

    // Keeps the failure for good: the text first, then the number that
    // publishes it.
    int fail(int error, std::string text) noexcept {
        last_error_ = std::move(text);
        failed_.store(error, std::memory_order_release);
        return error;
    }

    std::shared_ptr<Core> core_;
    int id_;  // claims the reader at the first read
    ListOffsets offsets_;
    std::string last_error_;         // the kept failure's text; written with the borrow held, once
    std::atomic<int> failed_{0};     // the kept failure's number, repeated by every later call
    std::string interrupt_text_;     // a signal handler's exception, for the interrupted read
};

}  // namespace pelvar
