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
#include "internal_failure.hpp"
#include "read_outcome.hpp"

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

    explicit EventBatch(BlockPool* pool) noexcept : head(pool), offsets(pool), data(pool) {}

    // Columns and samples together, the leading offset included.
    std::size_t bytes() const noexcept {
        return sizeof(std::int64_t) + events * bytes_per_event + data.size() * sizeof(T);
    }

    Columns head;
    // The header columns and offsets take their sizes from `events` when the
    // batch is handed out.
    Column<std::int64_t> offsets;  // event i's samples are data[offsets[i], offsets[i + 1])
    Column<T> data;
    std::size_t events = 0;
    std::size_t room = 0;  // events that the header columns and offsets have room for
};

template <class Reader, class Columns, class T>
class EventBatcher {
public:
    using Batch = EventBatch<Columns, T>;

    // The columns' blocks come from `pool` and go back there.
    EventBatcher(Reader reader, BlockPool& pool, BatchLimits limits) noexcept
        : reader_(std::move(reader)),
          share_(pool),
          limits_(limits),
          header_limit_(std::min(limits.max_events,
                                 std::max<std::size_t>(1, limits.max_bytes / Batch::bytes_per_event))),
          current_(&pool) {}

    Reader& reader() noexcept { return reader_; }

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
        Batch out = sealed_ ? std::move(*sealed_) : std::exchange(current_, Batch(&share_.pool()));
        sealed_.reset();
        out.head.for_each([&](const char*, auto& column) { column.set_size(out.events); });
        out.offsets.set_size(out.events + 1);
        if (out.bytes() > limits_.max_bytes) {
            // An event larger than max_bytes, alone: no later batch is meant
            // to have its size, so its samples' block is not kept for one.
            out.data.keep_out_of_pool();
        } else {
            // The pool keeps room for two batches' blocks (and a quarter more).
            std::size_t bytes = out.offsets.capacity() * sizeof(std::int64_t) + out.data.capacity() * sizeof(T);
            out.head.for_each(
                [&](const char*, auto& column) { bytes += column.capacity() * sizeof(column.data()[0]); });
            share_.expect(bytes / 2 * 5);
        }
        hint_events_ = out.events;
        hint_samples_ = out.data.size();
        return out;
    }

    // A batch that next() gave and its caller could not deliver: the next
    // call gives it again, before anything else.
    void put_back(Batch&& batch) noexcept { returned_.emplace(std::move(batch)); }

private:
    // The smallest columns worth allocating.
    static constexpr std::size_t floor_events = 256;
    static constexpr std::size_t floor_samples = 16384 / sizeof(T);

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
        auto reserve_all = [&b, largest](std::size_t events) {
            bool ok = b.offsets.reserve(events + 1, largest == 0 ? 0 : largest + 1);
            b.head.for_each([&](const char*, auto& column) { ok = ok && column.reserve(events, largest); });
            return ok;
        };
        std::size_t room = target;
        if (!reserve_all(room)) {
            room = needed;
            if (target == needed || !reserve_all(room)) {
                return false;
            }
        }
        if (b.room == 0) {
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
    void seal() noexcept { sealed_.emplace(std::exchange(current_, Batch(&share_.pool()))); }

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

    Reader reader_;
    BlockPool::Share share_;
    BatchLimits limits_;
    std::size_t header_limit_;  // the most events a batch can hold
    Batch current_;             // being filled
    std::optional<Batch> sealed_;           // full, to be returned by this call
    std::optional<Batch> returned_;         // put back by the caller
    std::optional<StepFailure> pending_;    // met after the last batch's events
    std::size_t hint_events_ = 0;   // events and samples the next batch is likely to hold
    std::size_t hint_samples_ = 0;
    std::size_t sample_floor_ = floor_samples;  // the least sample column worth allocating for this batch
};

}  // namespace pelvar
