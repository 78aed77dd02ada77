// Events in columnar batches: the reader's own steps, with the columns of a
// batch as their sink. Python-free.
//
// A batch holds one column per header field, the offsets of each event's
// samples (events + 1 of them, from 0) and every event's samples, flat, in
// file order. It ends at max_events events, at the end of the file, at a
// failure, or when the next event would take it past max_bytes (columns and
// samples together): that event's header is given back to the source and
// read again for the next batch, so nothing is read ahead. An event larger
// than max_bytes comes alone. A failure after some events ends the batch and
// is kept for the next call, so the events before it are delivered first;
// the end of the file is not kept.
//
// Nothing is allocated per event: the columns grow geometrically, a new
// batch starts with the room the last one needed, and its blocks come from
// the pool that earlier batches gave theirs back to.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <utility>
#include <variant>

#include "allocator.hpp"
#include "block_pool.hpp"
#include "column.hpp"
#include "header_fields.hpp"
#include "internal_failure.hpp"
#include "read_outcome.hpp"
#include "selection.hpp"

namespace pelvar {

struct BatchLimits {
    std::size_t max_events;  // at least 1
    std::size_t max_bytes;   // at least 1
};

template <class Columns, class T>
struct EventBatch {
    using Sample = T;
    // A header field of every column, and the event's offset.
    static constexpr std::size_t bytes_per_event = Columns::bytes_per_event + sizeof(std::int64_t);

    explicit EventBatch(BlockPool* pool, ColumnSet set = {}) noexcept
        : head(pool), offsets(pool), data(pool), byte_offsets(pool), columns(set), event_bytes(bytes_per_event_of(set)) {}

    // Columns and samples together, the leading offset included, when the
    // batch holds every column.
    std::size_t bytes() const noexcept {
        return sizeof(std::int64_t) + events * bytes_per_event + data.size() * sizeof(T);
    }
    // The bytes of the columns it holds.
    std::size_t held_bytes() const noexcept {
        return (columns.data ? sizeof(std::int64_t) : 0) + events * event_bytes + data.size() * sizeof(T);
    }

    // A row of the chosen columns.
    static std::size_t bytes_per_event_of(ColumnSet set) noexcept {
        std::size_t bytes = (set.data ? sizeof(std::int64_t) : 0) + (set.byte_offset ? sizeof(std::int64_t) : 0);
        for_each_index<Columns::count>([&](auto i) {
            if (set.has_header(i)) {
                bytes += sizeof(FieldType<typename Columns::Format, i>);
            }
        });
        return bytes;
    }

    Columns head;
    // The header columns and offsets take their sizes from `events` when the
    // batch is handed out.
    Column<std::int64_t> offsets;  // event i's samples are data[offsets[i], offsets[i + 1])
    Column<T> data;
    Column<std::int64_t> byte_offsets;  // where each event's header starts in the stream
    // The columns that the batch holds; the others stay empty.
    ColumnSet columns;
    std::size_t event_bytes;  // a row of them
    std::size_t events = 0;
    std::size_t room = 0;  // events that the header columns and offsets have room for
};

template <class Reader, class Columns, class T>
class EventBatcher {
public:
    using Batch = EventBatch<Columns, T>;

    // The columns' blocks come from `pool` and go back there. The batches
    // hold `columns` of the events in `range` (its begin is where the
    // reader stands already).
    EventBatcher(Reader reader, BlockPool& pool, BatchLimits limits, ColumnSet columns = {},
                 EventRange range = {}) noexcept
        : reader_(std::move(reader)),
          share_(pool),
          limits_(limits),
          columns_(columns),
          range_(range),
          chosen_(!columns.is_default(Columns::count) || !range.is_whole()),
          event_bytes_(Batch::bytes_per_event_of(columns)),
          // No column chosen: rows of no bytes, which only max_events limits.
          header_limit_(std::min(limits.max_events,
                                 std::max<std::size_t>(1, limits.max_bytes / std::max<std::size_t>(1, event_bytes_)))),
          current_(&pool, columns),
          scratch_(&pool) {
        // Samples that no column takes are seeked over where the source can
        // be sized; elsewhere (a pipe, a file object, a codec) they are read
        // into a scratch column, which also gives them back to a source
        // object that raises, as a full read does.
        skip_by_seek_ = reader_.source().remaining().has_value();
    }

    Reader& reader() noexcept { return reader_; }
    const ColumnSet& columns() const noexcept { return columns_; }
    const EventRange& range() const noexcept { return range_; }

    // The next batch; the end of the events or a failure when no event came
    // before it. Flattened: the reader's step and the sink's work for every
    // event are one loop, without calls (the rare paths stay out of line).
    [[nodiscard, gnu::flatten]] ReadOutcome<Batch> next() {
        if (returned_) {
            Batch out = std::move(*returned_);
            returned_.reset();
            return out;
        }
        if (pending_) {
            auto failure = std::move(*pending_);
            pending_.reset();
            return as_outcome<Batch>(std::move(failure));
        }
        if (chosen_) {
            return next_chosen();
        }
        while (!sealed_ && !full(current_)) {
            if (!reserve_event(current_)) {
                // Nothing of the next event is read yet: the next call tries again.
                if (current_.events == 0) {
                    return memory_refused(Batch::bytes_per_event);
                }
                break;
            }
            Sink sink(*this);
            auto step = reader_.next_into(sink);
            if (std::holds_alternative<Delivered>(step)) {
                continue;
            }
            if (std::holds_alternative<Declined>(step)) {
                break;
            }
            auto failure = failure_of(std::move(step));
            if (!sealed_ && current_.events == 0) {
                if (!failure) {
                    return EndOfEvents{};
                }
                return as_outcome<Batch>(std::move(*failure));
            }
            pending_ = std::move(failure);
            break;
        }
        return hand_out();
    }

    // A batch that next() gave and its caller could not deliver: the next
    // call gives it again, before anything else.
    void put_back(Batch&& batch) noexcept { returned_.emplace(std::move(batch)); }

private:
    // The smallest columns worth allocating.
    static constexpr std::size_t floor_events = 256;
    static constexpr std::size_t floor_samples = 16384 / sizeof(T);

    // The batch filled (or sealed) by this call, its sizes set; the next
    // one starts with its room.
    Batch hand_out() noexcept {
        Batch out = sealed_ ? std::move(*sealed_) : std::exchange(current_, Batch(&share_.pool(), columns_));
        sealed_.reset();
        // The columns not chosen hold nothing: no size without a block.
        out.head.for_each_at(
            [&](std::size_t i, auto& column) { column.set_size(out.columns.has_header(i) ? out.events : 0); });
        out.offsets.set_size(out.columns.data ? out.events + 1 : 0);
        out.byte_offsets.set_size(out.columns.byte_offset ? out.events : 0);
        if (out.held_bytes() > limits_.max_bytes) {
            // An event larger than max_bytes, alone: no later batch is meant
            // to have its size, so its samples' block is not kept for one.
            out.data.keep_out_of_pool();
        } else {
            // The pool keeps room for two batches' blocks (and a quarter more).
            std::size_t bytes = (out.offsets.capacity() + out.byte_offsets.capacity()) * sizeof(std::int64_t) +
                                out.data.capacity() * sizeof(T);
            out.head.for_each(
                [&](const char*, auto& column) { bytes += column.capacity() * sizeof(column.data()[0]); });
            share_.expect(bytes / 2 * 5);
        }
        hint_events_ = out.events;
        hint_samples_ = out.data.size();
        return out;
    }

    // next() for chosen columns or events: the events before the range are
    // passed over as headers, nothing is read once it ends, and samples that
    // no column takes are skipped.
    [[gnu::noinline, gnu::flatten]] ReadOutcome<Batch> next_chosen() {
        if (range_.stop && *range_.stop <= range_.start) {
            return EndOfEvents{};
        }
        while (seen_ < range_.start) {
            if (past_range_end()) {
                return EndOfEvents{};
            }
            auto step = pass_over(false);
            if (std::holds_alternative<Delivered>(step)) {
                ++seen_;
                continue;
            }
            auto failure = failure_of(std::move(step));
            if (!failure) {
                return EndOfEvents{};
            }
            return as_outcome<Batch>(std::move(*failure));
        }
        while (!sealed_ && !full_chosen(current_)) {
            if ((range_.stop && seen_ >= *range_.stop) || past_range_end()) {
                if (current_.events == 0) {
                    return EndOfEvents{};
                }
                break;
            }
            if (!reserve_event(current_)) {
                if (current_.events == 0) {
                    return memory_refused(event_bytes_);
                }
                break;
            }
            StepOutcome step = columns_.data ? read_chosen() : pass_over(true);
            if (std::holds_alternative<Delivered>(step)) {
                ++seen_;
                continue;
            }
            if (std::holds_alternative<Declined>(step)) {
                break;
            }
            auto failure = failure_of(std::move(step));
            if (!sealed_ && current_.events == 0) {
                if (!failure) {
                    return EndOfEvents{};
                }
                return as_outcome<Batch>(std::move(*failure));
            }
            pending_ = std::move(failure);
            break;
        }
        return hand_out();
    }

    bool past_range_end() noexcept { return range_.end && reader_.source().position() >= *range_.end; }

    bool full_chosen(const Batch& b) const noexcept {
        return b.events >= limits_.max_events ||
               (b.events != 0 && b.held_bytes() + event_bytes_ > limits_.max_bytes);
    }

    // One event with its samples, into the chosen columns.
    StepOutcome read_chosen() {
        ChosenSink sink(*this, reader_.source().position());
        return reader_.next_into(sink);
    }

    // One event without its samples: its header into the chosen columns
    // when `keep`, else dropped.
    StepOutcome pass_over(bool keep) {
        const std::uint64_t at = reader_.source().position();
        if (skip_by_seek_) {
            HeaderSink sink(*this, at, keep);
            return reader_.skip_into(sink);
        }
        ScratchSink sink(*this, at, keep);
        return reader_.next_into(sink);
    }

    // Where one event's samples go: the end of the sample column.
    class Tail {
    public:
        explicit Tail(EventBatcher& owner) noexcept : owner_(&owner), base_(owner.current_.data.size()) {}
        T* data() noexcept { return owner_->current_.data.data() + base_; }
        [[nodiscard]] bool resize(std::size_t count) noexcept { return owner_->grow_samples(*this, count); }

    private:
        friend class EventBatcher;
        EventBatcher* owner_;
        std::size_t base_;      // where the event's samples start in the column
        std::size_t size_ = 0;  // samples the column has room for behind base_
    };

    class Sink {
    public:
        explicit Sink(EventBatcher& owner) noexcept : owner_(owner) {}
        std::optional<Tail> sample_storage(std::uint64_t count) noexcept { return owner_.storage_for(count); }
        template <class... Head>
        [[nodiscard]] std::optional<InternalFailure> accept(Tail&& tail, const Head&... head) {
            return owner_.accept(tail, head...);
        }

    private:
        EventBatcher& owner_;
    };

    // The chosen columns' sink for an event with its samples.
    class ChosenSink {
    public:
        ChosenSink(EventBatcher& owner, std::uint64_t at) noexcept : owner_(owner), at_(at) {}
        std::optional<Tail> sample_storage(std::uint64_t count) noexcept { return owner_.chosen_storage_for(count); }
        template <class... Head>
        [[nodiscard]] std::optional<InternalFailure> accept(Tail&& tail, const Head&... head) {
            return owner_.accept_chosen(&tail, at_, head...);
        }

    private:
        EventBatcher& owner_;
        std::uint64_t at_;  // where the event's header starts
    };

    // The sink of a header whose samples are skipped.
    class HeaderSink {
    public:
        HeaderSink(EventBatcher& owner, std::uint64_t at, bool keep) noexcept : owner_(owner), at_(at), keep_(keep) {}
        template <class... Head>
        [[nodiscard]] std::optional<InternalFailure> accept_header(const Head&... head) {
            return keep_ ? owner_.accept_chosen(nullptr, at_, head...) : std::nullopt;
        }

    private:
        EventBatcher& owner_;
        std::uint64_t at_;
        bool keep_;
    };

    // Samples read and dropped: the scratch column, reused by every event.
    class ScratchTail {
    public:
        explicit ScratchTail(Column<T>& scratch) noexcept : scratch_(&scratch) {}
        T* data() noexcept { return scratch_->data(); }
        [[nodiscard]] bool resize(std::size_t count) noexcept { return scratch_->reserve(count); }

    private:
        Column<T>* scratch_;
    };

    class ScratchSink {
    public:
        ScratchSink(EventBatcher& owner, std::uint64_t at, bool keep) noexcept : owner_(owner), at_(at), keep_(keep) {}
        std::optional<ScratchTail> sample_storage(std::uint64_t) noexcept { return ScratchTail(owner_.scratch_); }
        template <class... Head>
        [[nodiscard]] std::optional<InternalFailure> accept(ScratchTail&&, const Head&... head) {
            return keep_ ? owner_.accept_chosen(nullptr, at_, head...) : std::nullopt;
        }

    private:
        EventBatcher& owner_;
        std::uint64_t at_;
        bool keep_;
    };

    // The capacity to grow to: what is needed, at least twice what there is,
    // the size of the last batch and a floor, but not past `limit` unless
    // that is less than what is needed.
    static std::size_t grown(std::size_t needed, std::size_t present, std::size_t hint, std::size_t floor,
                             std::size_t limit) noexcept {
        const std::size_t doubled = present > SIZE_MAX / 2 ? SIZE_MAX : 2 * present;
        return std::max(needed, std::min(std::max({doubled, hint, floor}), limit));
    }

    bool full(const Batch& b) const noexcept {
        return b.events >= limits_.max_events ||
               (b.events != 0 && b.bytes() + Batch::bytes_per_event > limits_.max_bytes);
    }

    // Room in the header columns and offsets for one more event.
    bool reserve_event(Batch& b) noexcept { return b.events < b.room || grow_events(b); }

    [[gnu::noinline]] bool grow_events(Batch& b) noexcept {
        const std::size_t needed = b.events + 1;
        const std::size_t target = grown(needed, b.room, hint_events_, floor_events, header_limit_);
        // Before a reader's first event its size is unknown: a kept block
        // of any size that a batch could use will do.
        const std::size_t largest = hint_events_ == 0 ? header_limit_ : 0;
        auto reserve_all = [&b, largest, this](std::size_t events) {
            bool ok = !columns_.data || b.offsets.reserve(events + 1, largest == 0 ? 0 : largest + 1);
            b.head.for_each_at([&](std::size_t i, auto& column) {
                ok = ok && (!columns_.has_header(i) || column.reserve(events, largest));
            });
            return ok && (!columns_.byte_offset || b.byte_offsets.reserve(events, largest));
        };
        std::size_t room = target;
        if (!reserve_all(room)) {
            room = needed;
            if (target == needed || !reserve_all(room)) {
                return false;
            }
        }
        if (b.room == 0 && columns_.data) {
            b.offsets.put(0, 0);
        }
        b.room = room;
        return true;
    }

    // No room for an event that would take the batch past max_bytes: it is
    // left for the next batch.
    std::optional<Tail> storage_for(std::uint64_t count) noexcept {
        const Batch& b = current_;
        if (b.events == 0) {
            plan(count);
        } else {
            const std::size_t used = b.bytes() + Batch::bytes_per_event;
            if (used > limits_.max_bytes || count > (limits_.max_bytes - used) / sizeof(T)) {
                return std::nullopt;
            }
        }
        return Tail(*this);
    }

    std::optional<Tail> chosen_storage_for(std::uint64_t count) noexcept {
        const Batch& b = current_;
        if (b.events == 0) {
            plan(count);
        } else {
            const std::size_t used = b.held_bytes() + event_bytes_;
            if (used > limits_.max_bytes || count > (limits_.max_bytes - used) / sizeof(T)) {
                return std::nullopt;
            }
        }
        return Tail(*this);
    }

    // The room a batch that starts with an event of `count` samples is
    // given at once: the last batch's or, for the first one, as many events
    // of this size as the limits allow. A header's count is believed only
    // as far as the file vouches for it: never more samples than a sized
    // file still holds behind the header (the column grows as more arrive,
    // as the event path's buffer does), and nothing from it at all for a
    // file that cannot be sized.
    void plan(std::uint64_t count) noexcept {
        sample_floor_ = floor_samples;
        auto left = reader_.source().remaining();
        if (!left) {
            return;
        }
        const std::uint64_t file_samples = *left / sizeof(T);
        sample_floor_ = static_cast<std::size_t>(std::min<std::uint64_t>(floor_samples, file_samples));
        const std::uint64_t sample_bytes = saturating_product(count, sizeof(T));
        const std::uint64_t file_events = *left / (Columns::bytes_per_event + sample_bytes) + 1;
        if (hint_events_ == 0) {
            hint_events_ = static_cast<std::size_t>(std::min<std::uint64_t>(
                header_limit_, limits_.max_bytes / (Batch::bytes_per_event + sample_bytes) + 1));
            hint_samples_ = static_cast<std::size_t>(
                std::min<std::uint64_t>(saturating_product(count, hint_events_), limits_.max_bytes / sizeof(T)));
        }
        hint_events_ = static_cast<std::size_t>(std::min<std::uint64_t>(hint_events_, file_events));
        hint_samples_ = static_cast<std::size_t>(std::min<std::uint64_t>(hint_samples_, file_samples));
    }

    static std::uint64_t saturating_product(std::uint64_t a, std::uint64_t b) noexcept {
        return b != 0 && a > UINT64_MAX / b ? UINT64_MAX : a * b;
    }

    // Moves the batch being filled aside, to be returned by this call, and
    // starts the next one (when the batch's memory cannot grow).
    void seal() noexcept { sealed_.emplace(std::exchange(current_, Batch(&share_.pool(), columns_))); }

    bool grow_samples(Tail& tail, std::size_t count) noexcept {
        if (count <= current_.data.capacity() - tail.base_) [[likely]] {
            tail.size_ = count;
            return true;
        }
        return grow_column(tail, count);
    }

    [[gnu::noinline]] bool grow_column(Tail& tail, std::size_t count) noexcept {
        Column<T>& data = current_.data;
        if (count > SIZE_MAX - tail.base_) {
            return false;
        }
        const std::size_t needed = tail.base_ + count;
        const std::size_t header_bytes = sizeof(std::int64_t) + (current_.events + 1) * Batch::bytes_per_event;
        const std::size_t limit =
            limits_.max_bytes > header_bytes ? (limits_.max_bytes - header_bytes) / sizeof(T) : 0;
        const std::size_t target = grown(needed, data.capacity(), hint_samples_, sample_floor_, limit);
        if (!data.reserve(target) && !(target > needed && data.reserve(needed))) {
            // The batch cannot grow: it ends with the events it holds, and
            // this one starts the next in a column of its own size.
            if (tail.size_ != 0 || current_.events == 0) {
                return false;
            }
            seal();
            tail.base_ = 0;
            if (!current_.data.reserve(count)) {
                return false;
            }
        }
        tail.size_ = count;
        return true;
    }

    template <class... Head>
    std::optional<InternalFailure> accept(const Tail& tail, const Head&... head) {
        Batch& b = current_;
        // The room was reserved before the step, unless the event started
        // a new batch.
        if (!reserve_event(b)) {
            return memory_refused(Batch::bytes_per_event);
        }
        b.head.put(b.events, head...);
        b.data.set_size(tail.base_ + tail.size_);
        b.offsets.put(b.events + 1, static_cast<std::int64_t>(b.data.size()));
        ++b.events;
        return std::nullopt;
    }

    // An event into the chosen columns, its samples with it when `tail`.
    template <class... Head>
    std::optional<InternalFailure> accept_chosen(const Tail* tail, std::uint64_t at, const Head&... head) {
        Batch& b = current_;
        if (!reserve_event(b)) {
            return memory_refused(event_bytes_);
        }
        b.head.put_selected(b.events, head..., columns_.header);
        if (columns_.byte_offset) {
            b.byte_offsets.put(b.events, static_cast<std::int64_t>(at));
        }
        if (tail != nullptr) {
            b.data.set_size(tail->base_ + tail->size_);
            b.offsets.put(b.events + 1, static_cast<std::int64_t>(b.data.size()));
        }
        ++b.events;
        return std::nullopt;
    }

    Reader reader_;
    BlockPool::Share share_;
    BatchLimits limits_;
    ColumnSet columns_;
    EventRange range_;
    bool chosen_;               // columns or events are chosen: next_chosen() reads
    bool skip_by_seek_ = false; // samples that no column takes are skipped by seeking
    std::size_t event_bytes_;   // a row of the chosen columns
    std::uint64_t seen_ = 0;    // events passed over or delivered
    std::size_t header_limit_;  // the most events a batch can hold
    Batch current_;             // being filled
    Column<T> scratch_;                     // samples read only to be dropped
    std::optional<Batch> sealed_;           // full, to be returned by this call
    std::optional<Batch> returned_;         // put back by the caller
    std::optional<StepFailure> pending_;    // met after the last batch's events
    std::size_t hint_events_ = 0;   // events and samples the next batch is likely to hold
    std::size_t hint_samples_ = 0;
    std::size_t sample_floor_ = floor_samples;  // the least sample column worth allocating for this batch
};

}  // namespace pelvar
