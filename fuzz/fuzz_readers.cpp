// libFuzzer target: both readers over an in-memory file made of the input.
//
// Input: five control bytes, then the file.
//
//   byte 0  flags: 0x01 short reads (at most byte 1 + 1 bytes a call, 256
//                       times that with 0x20)
//                  0x02 EINTR before every other read
//                  0x04 EIO once the file offset reaches N
//                  0x08 the EIO stays (else it happens once)
//                  0x10 the file cannot seek or be sized (like a FIFO)
//                  0x20 the file goes on with zero bytes, byte 4 x 16 KiB of
//                       them, so that blocks above 1 MiB (allocated in steps
//                       as they arrive) can be read whole
//   byte 1  largest short read, minus 1
//   byte 2-3  N, little-endian
//   byte 4  the length of the zero bytes
//
// Each reader runs against a small model that reads the same bytes without
// any buffer: the WD1 reader must return, step for step, what an independent
// decoding of the file at the same offset gives (24 + 2n bytes per event),
// and stand where that decoding stands after every step. The WD2 reader's
// layout probe, its events and its position are checked the same way.
//
// Then each reader runs again over the same bytes and faults with a batch's
// columns as its sink (limits taken from the control bytes): the batches,
// row by row, must hold what the event records held, with the failures in
// the same places, up to the first end of the events.
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "event_batch.hpp"
#include "io_failure.hpp"
#include "scripted_file.hpp"
#include "wd1_reader.hpp"
#include "wd2_reader.hpp"

namespace {

using pelvar::IoFailure;

constexpr std::size_t max_steps = 10000;

struct Faults {
    std::size_t max_chunk = 0;  // 0: whole requests
    bool eintr = false;
    std::optional<std::uint64_t> eio_at;
    bool eio_sticky = false;
    bool seekable = true;
};

[[noreturn]] void fail(const char* what, std::uint64_t a = 0, std::uint64_t b = 0) {
    std::fprintf(stderr, "fuzz check failed: %s (%llu, %llu)\n", what, static_cast<unsigned long long>(a),
                 static_cast<unsigned long long>(b));
    std::abort();
}

void check(bool ok, const char* what, std::uint64_t a = 0, std::uint64_t b = 0) {
    if (!ok) {
        fail(what, a, b);
    }
}

// The in-memory file over the input, with the faults the control bytes chose.
using pelvar_test::FileScript;
using Source = pelvar_test::Buffered;

std::shared_ptr<FileScript> scripted(const std::uint8_t* file, std::size_t size, const Faults& faults) {
    const auto* bytes = reinterpret_cast<const std::byte*>(file);
    auto script = pelvar_test::make_script(pelvar_test::Bytes(bytes, bytes + size));
    if (faults.max_chunk != 0) {
        script->max_per_read = faults.max_chunk;
    }
    if (faults.eintr) {
        script->interrupt_every = 2;
    }
    if (faults.eio_at) {
        script->fail_at(*faults.eio_at, EIO, faults.eio_sticky);
    }
    script->seekable = faults.seekable;
    return script;
}

// ---------------------------------------------------------------------------
// The model: the same file and faults, read byte-exactly with no buffer.

enum class Status { ok, end_of_file, eio, espipe };

class ModelFile {
public:
    ModelFile(const std::uint8_t* data, std::size_t size, Faults faults) noexcept
        : data_(data), size_(size), faults_(faults), eio_armed_(faults.eio_at.has_value()) {}

    std::uint64_t position() const noexcept { return position_; }
    std::uint64_t size() const noexcept { return size_; }

    // An exact read of [position, position + count). What it cannot have
    // stays consumed up to where the file stopped giving bytes.
    Status read(std::uint64_t count, std::vector<std::uint8_t>* out) {
        std::uint64_t limit = size_;
        if (eio_armed_ && *faults_.eio_at < limit) {
            limit = *faults_.eio_at;
        }
        if (count <= limit && position_ <= limit - count) {
            if (out != nullptr) {
                out->assign(data_ + position_, data_ + position_ + count);
            }
            position_ += count;
            return Status::ok;
        }
        if (limit > position_) {
            position_ = limit;
        }
        if (eio_armed_ && position_ >= *faults_.eio_at) {
            eio_armed_ = faults_.eio_sticky;
            return Status::eio;
        }
        return Status::end_of_file;
    }

    // Forward by count bytes: a seek on a sized file as far as its size
    // goes, a read for the rest (and for all of it elsewhere).
    Status skip(std::uint64_t count) {
        if (faults_.seekable) {
            const std::uint64_t vouched = count < size_ - position_ ? count : size_ - position_;
            position_ += vouched;
            count -= vouched;
            if (count == 0) {
                return Status::ok;
            }
        }
        return read(count, nullptr);
    }

    Status rewind() {
        if (!faults_.seekable) {
            return Status::espipe;
        }
        position_ = 0;
        return Status::ok;
    }

private:
    const std::uint8_t* data_;
    std::uint64_t size_;
    Faults faults_;
    std::uint64_t position_ = 0;
    bool eio_armed_;
};

std::uint32_t u32(const std::uint8_t* p) {
    return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 | std::uint32_t{p[3]} << 24;
}
std::int32_t i32(const std::uint8_t* p) {
    std::uint32_t bits = u32(p);
    std::int32_t value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}
std::uint64_t u64(const std::uint8_t* p) { return std::uint64_t{u32(p)} | std::uint64_t{u32(p + 4)} << 32; }

void check_io_failure(const IoFailure& failure, Status status) {
    switch (status) {
        case Status::eio:
            check(failure == IoFailure::from_errno(EIO), "expected EIO", failure.error_number());
            return;
        case Status::espipe:
            check(failure == IoFailure::from_errno(ESPIPE), "expected ESPIPE", failure.error_number());
            return;
        case Status::end_of_file:
            check(failure.is_end_of_file(), "expected the end-of-file failure", failure.error_number());
            return;
        case Status::ok:
            break;
    }
    fail("unexpected I/O failure", failure.error_number());
}

// Where the reader stands in the file: only a sized file can tell. Nothing
// may seek past the end of a sized file.
void check_position(Source& source, const FileScript& script, const ModelFile& model, const Faults& faults,
                    const char* what) {
    if (!faults.seekable) {
        return;
    }
    check(script.furthest_position <= model.size(), "seek past the end of a sized file", script.furthest_position,
          model.size());
    auto left = source.remaining();
    check(left.has_value(), "a sized file lost its size");
    check(model.size() - *left == model.position(), what, model.size() - *left, model.position());
}

// ---------------------------------------------------------------------------
// WD1

struct Wd1Expected {
    enum Kind { event, end, io_failure, overflow } kind;
    Status status = Status::ok;
    std::vector<std::uint8_t> header;
    std::vector<std::uint8_t> samples;
};

Wd1Expected model_wd1_step(ModelFile& model) {
    Wd1Expected expected{Wd1Expected::event, Status::ok, {}, {}};
    if (Status s = model.read(24, &expected.header); s != Status::ok) {
        expected.kind = s == Status::end_of_file ? Wd1Expected::end : Wd1Expected::io_failure;
        expected.status = s;
        return expected;
    }
    // n from the size rule: (event_size - 24) wrapping in 32 bits, halved
    // toward zero; below -1 there is no sample count at all.
    const std::int64_t difference =
        static_cast<std::int32_t>(static_cast<std::uint32_t>(u32(expected.header.data()) - 24u));
    if (difference < -1) {
        expected.kind = Wd1Expected::overflow;
        return expected;
    }
    const std::uint64_t n = difference < 0 ? 0 : static_cast<std::uint64_t>(difference) / 2;
    if (Status s = model.read(2 * n, &expected.samples); s != Status::ok) {
        expected.kind = s == Status::end_of_file ? Wd1Expected::end : Wd1Expected::io_failure;
        expected.status = s;
    }
    return expected;
}

// The index of the first sample that is not the little-endian pair of bytes
// at twice its index, or the count when there is none. Left out of the
// coverage feedback: a comparison per sample of a megabyte block tells the
// fuzzer nothing and costs most of its time.
__attribute__((no_sanitize("coverage"))) std::size_t first_difference(const std::uint16_t* samples,
                                                                      const std::vector<std::uint8_t>& bytes) {
    const std::size_t count = bytes.size() / 2;
    for (std::size_t i = 0; i < count; ++i) {
        if (samples[i] != static_cast<std::uint16_t>(bytes[2 * i] | bytes[2 * i + 1] << 8)) {
            return i;
        }
    }
    return count;
}

void run_wd1(const std::uint8_t* file, std::size_t size, const Faults& faults) {
    auto script = scripted(file, size, faults);
    pelvar::WD1Reader<Source> reader(pelvar_test::buffered(script));
    ModelFile model(file, size, faults);
    std::size_t ends = 0;
    for (std::size_t step = 0; step < max_steps; ++step) {
        auto outcome = reader.next();
        Wd1Expected expected = model_wd1_step(model);
        switch (expected.kind) {
            case Wd1Expected::event: {
                auto* event = std::get_if<pelvar::WD1Event>(&outcome);
                check(event != nullptr, "WD1: an event was due", step, outcome.index());
                const std::uint8_t* h = expected.header.data();
                check(event->event_size == i32(h) && event->board_id == i32(h + 4) &&
                          event->pattern == i32(h + 8) && event->board_channel == i32(h + 12) &&
                          event->event_counter == i32(h + 16) && event->timestamp == i32(h + 20),
                      "WD1: header differs", step);
                check(event->data.size() * 2 == expected.samples.size(), "WD1: sample count differs",
                      event->data.size(), expected.samples.size());
                const std::size_t differs = first_difference(event->data.data(), expected.samples);
                check(differs == event->data.size(), "WD1: sample differs", differs);
                check(!reader.finished(), "WD1: latched without a failure");
                break;
            }
            case Wd1Expected::overflow: {
                auto* internal = std::get_if<pelvar::InternalFailure>(&outcome);
                check(internal != nullptr && internal->message == "capacity overflow",
                      "WD1: capacity overflow was due", step, outcome.index());
                break;
            }
            case Wd1Expected::end:
                check(std::holds_alternative<pelvar::EndOfEvents>(outcome), "WD1: the end was due", step,
                      outcome.index());
                check(!reader.finished(), "WD1: the end of the file latched");
                break;
            case Wd1Expected::io_failure: {
                auto* failure = std::get_if<IoFailure>(&outcome);
                check(failure != nullptr, "WD1: an I/O failure was due", step, outcome.index());
                check_io_failure(*failure, expected.status);
                check(reader.finished(), "WD1: an I/O failure did not latch");
                break;
            }
        }
        check_position(reader.source(), *script, model, faults, "WD1: reader and model stand apart");
        if (expected.kind == Wd1Expected::io_failure) {
            // Latched: every later step is the end, without touching the file.
            const std::size_t calls = script->read_calls;
            for (int i = 0; i < 3; ++i) {
                check(std::holds_alternative<pelvar::EndOfEvents>(reader.next()), "WD1: latched reader read on");
            }
            check(script->read_calls == calls, "WD1: latched reader touched the file", script->read_calls, calls);
            return;
        }
        if (expected.kind == Wd1Expected::end && ++ends == 2) {
            return;  // the end, and the end again
        }
    }
}

// ---------------------------------------------------------------------------
// WD2

std::optional<std::uint64_t> model_block_bytes(std::uint32_t samples, std::int32_t channels) {
    const std::uint64_t bytes = std::uint64_t{samples} * static_cast<std::uint64_t>(std::int64_t{channels}) * 4u;
    if (bytes > static_cast<std::uint64_t>(INT64_MAX)) {
        return std::nullopt;
    }
    return bytes;
}

struct Wd2Header {
    std::uint32_t counter;
    std::uint64_t timestamp;
    std::uint32_t samples;
    std::uint64_t period;
    std::int32_t channels;
};

Wd2Header decode_header(const std::vector<std::uint8_t>& b, bool with_channels, std::int32_t probed) {
    return Wd2Header{u32(b.data()), u64(b.data() + 4), u32(b.data() + 12), u64(b.data() + 16),
                     with_channels ? i32(b.data() + 24) : probed};
}

bool follows(const Wd2Header& a, const Wd2Header& b) {
    return b.counter == static_cast<std::uint32_t>(a.counter + 1u) && b.samples == a.samples && b.period == a.period;
}

// What opening gives: the probed channel count, an I/O failure, or
// "capacity overflow".
struct ProbeResult {
    enum Kind { channels, io_failure, overflow } kind;
    std::int32_t probed = 0;
    Status status = Status::ok;
};

ProbeResult model_probe_with_field(ModelFile& model) {
    std::vector<std::uint8_t> bytes;
    if (Status s = model.read(28, &bytes); s != Status::ok) {
        return {ProbeResult::io_failure, 0, s};
    }
    const Wd2Header first = decode_header(bytes, true, 0);
    auto block = model_block_bytes(first.samples, first.channels);
    if (!block) {
        return {ProbeResult::overflow, 0, Status::ok};
    }
    if (Status s = model.skip(*block); s != Status::ok) {
        return {ProbeResult::io_failure, 0, s};
    }
    if (Status s = model.read(28, &bytes); s != Status::ok) {
        return {ProbeResult::io_failure, 0, s};
    }
    const Wd2Header second = decode_header(bytes, true, 0);
    const bool same = second.channels == first.channels && follows(first, second);
    return {ProbeResult::channels, same ? first.channels : 1, Status::ok};
}

// The same bytes read as single-channel events: whether two headers follow
// each other (Status::ok), or the error of the operating system met on the
// way, which opening returns. The end of the file, or a file that cannot
// seek back, only means they do not follow.
struct SingleChannel {
    bool follows = false;
    Status error = Status::ok;
};

SingleChannel model_single_channel(ModelFile& model) {
    std::vector<std::uint8_t> bytes;
    auto stop = [](Status s) { return SingleChannel{false, s == Status::eio ? s : Status::ok}; };
    if (Status s = model.rewind(); s != Status::ok) {
        return stop(s);
    }
    if (Status s = model.read(24, &bytes); s != Status::ok) {
        return stop(s);
    }
    const Wd2Header first = decode_header(bytes, false, 1);
    if (Status s = model.skip(std::uint64_t{first.samples} * 4); s != Status::ok) {
        return stop(s);
    }
    if (Status s = model.read(24, &bytes); s != Status::ok) {
        return stop(s);
    }
    return SingleChannel{follows(first, decode_header(bytes, false, 1)), Status::ok};
}

ProbeResult model_open(ModelFile& model) {
    ProbeResult probed = model_probe_with_field(model);
    if (probed.kind == ProbeResult::channels) {
        if (Status s = model.rewind(); s != Status::ok) {
            return {ProbeResult::io_failure, 0, s};
        }
        return probed;
    }
    const bool retry = probed.kind == ProbeResult::overflow || probed.status == Status::end_of_file;
    if (retry) {
        const SingleChannel single = model_single_channel(model);
        if (single.error != Status::ok) {
            return {ProbeResult::io_failure, 0, single.error};
        }
        if (single.follows && model.rewind() == Status::ok) {
            return {ProbeResult::channels, 1, Status::ok};
        }
    }
    return probed;
}

void run_wd2(const std::uint8_t* file, std::size_t size, const Faults& faults) {
    auto script = scripted(file, size, faults);
    ModelFile model(file, size, faults);
    const ProbeResult expected_open = model_open(model);
    auto opened = pelvar::WD2Reader<Source>::open(pelvar_test::buffered(script));
    switch (expected_open.kind) {
        case ProbeResult::io_failure: {
            auto* failure = std::get_if<IoFailure>(&opened);
            check(failure != nullptr, "WD2: opening should fail with an I/O failure", opened.index());
            check_io_failure(*failure, expected_open.status);
            return;
        }
        case ProbeResult::overflow: {
            auto* internal = std::get_if<pelvar::InternalFailure>(&opened);
            check(internal != nullptr && internal->message == "capacity overflow",
                  "WD2: opening should fail with capacity overflow", opened.index());
            return;
        }
        case ProbeResult::channels:
            break;
    }
    auto* reader = std::get_if<pelvar::WD2Reader<Source>>(&opened);
    check(reader != nullptr, "WD2: opening should succeed", opened.index());
    const std::int32_t probed = reader->probed_channels();
    check(probed == expected_open.probed, "WD2: probed channels differ", static_cast<std::uint32_t>(probed),
          static_cast<std::uint32_t>(expected_open.probed));
    check(model.position() == 0, "WD2: the model did not rewind");
    check_position(reader->source(), *script, model, faults, "WD2: not back at offset 0 after opening");

    const bool with_channels = probed >= 2;
    const std::uint64_t header_bytes = with_channels ? 28 : 24;
    std::size_t ends = 0;
    std::size_t failures_in_a_row = 0;
    for (std::size_t step = 0; step < max_steps; ++step) {
        auto outcome = reader->next();
        std::vector<std::uint8_t> bytes;
        Status s = model.read(header_bytes, &bytes);
        std::optional<std::uint64_t> block;
        if (s == Status::ok) {
            block = model_block_bytes(u32(bytes.data() + 12), probed);
        }
        std::vector<std::uint8_t> samples;
        if (s == Status::ok && block) {
            s = model.read(*block, &samples);
        }
        if (s == Status::ok && !block) {
            auto* internal = std::get_if<pelvar::InternalFailure>(&outcome);
            check(internal != nullptr && internal->message == "capacity overflow", "WD2: capacity overflow was due",
                  step, outcome.index());
        } else if (s == Status::ok) {
            auto* event = std::get_if<pelvar::WD2Event>(&outcome);
            check(event != nullptr, "WD2: an event was due", step, outcome.index());
            const Wd2Header header = decode_header(bytes, with_channels, probed);
            check(event->event_counter == header.counter && event->timestamp == header.timestamp &&
                      event->samples == header.samples && event->sampling_period == header.period &&
                      event->channels == header.channels,
                  "WD2: header differs", step);
            // The block is probed_channels x samples values, whatever the
            // event's own channel count says.
            check(event->data.size() == std::uint64_t{header.samples} * static_cast<std::uint64_t>(probed),
                  "WD2: data length is not probed_channels x samples", event->data.size(), header.samples);
            check(event->data.size() * 4 == samples.size(), "WD2: sample bytes differ in length", event->data.size(),
                  samples.size());
            check(samples.empty() || std::memcmp(event->data.data(), samples.data(), samples.size()) == 0,
                  "WD2: samples differ bit for bit", step);
        } else if (s == Status::end_of_file) {
            check(std::holds_alternative<pelvar::EndOfEvents>(outcome), "WD2: the end was due", step, outcome.index());
        } else {
            auto* failure = std::get_if<IoFailure>(&outcome);
            check(failure != nullptr, "WD2: an I/O failure was due", step, outcome.index());
            check_io_failure(*failure, s);
        }
        check_position(reader->source(), *script, model, faults, "WD2: reader and model stand apart");
        if (s == Status::end_of_file && ++ends == 2) {
            return;  // the end, and the end again
        }
        // A failure that stays would repeat for ever; a few in a row show
        // that the reader reads on.
        failures_in_a_row = s == Status::eio ? failures_in_a_row + 1 : 0;
        if (failures_in_a_row == 3) {
            return;
        }
    }
}

// ---------------------------------------------------------------------------
// The event path against the batch path

// One event or outcome, as both paths can give it.
struct Row {
    enum Kind { event, end, io_failure, internal_failure } kind;
    std::vector<std::uint64_t> head;  // the header fields, in the record's order
    std::vector<std::uint8_t> samples;
    std::string failure;  // display text or message

    bool operator==(const Row&) const = default;
};

template <class T>
std::vector<std::uint8_t> bytes_of(const T* data, std::size_t count) {
    std::vector<std::uint8_t> out(count * sizeof(T));
    if (count != 0) {
        std::memcpy(out.data(), data, out.size());
    }
    return out;
}

std::vector<std::uint64_t> head_of(const pelvar::WD1Header& h) {
    return {static_cast<std::uint32_t>(h.event_size),    static_cast<std::uint32_t>(h.board_id),
            static_cast<std::uint32_t>(h.pattern),       static_cast<std::uint32_t>(h.board_channel),
            static_cast<std::uint32_t>(h.event_counter), static_cast<std::uint32_t>(h.timestamp)};
}

std::vector<std::uint64_t> head_of(const pelvar::WD2Event& e) {
    return {e.event_counter, e.timestamp, e.samples, e.sampling_period, static_cast<std::uint32_t>(e.channels)};
}

Row event_row(pelvar::WD1Event& e) { return Row{Row::event, head_of(e), bytes_of(e.data.data(), e.data.size()), {}}; }
Row event_row(pelvar::WD2Event& e) { return Row{Row::event, head_of(e), bytes_of(e.data.data(), e.data.size()), {}}; }

template <class Outcome>
std::optional<Row> failure_row(const Outcome& outcome) {
    if (std::holds_alternative<pelvar::EndOfEvents>(outcome)) {
        return Row{Row::end, {}, {}, {}};
    }
    if (auto* io = std::get_if<IoFailure>(&outcome)) {
        return Row{Row::io_failure, {}, {}, io->display()};
    }
    if (auto* internal = std::get_if<pelvar::InternalFailure>(&outcome)) {
        return Row{Row::internal_failure, {}, {}, internal->message};
    }
    return std::nullopt;
}

// Row i of a batch, read back from its columns.
template <class Batch>
Row batch_row(Batch& b, std::size_t i) {
    std::vector<std::uint64_t> head;
    b.head.for_each([&](const char*, auto& column) {
        using E = std::remove_reference_t<decltype(*column.data())>;
        head.push_back(static_cast<std::uint64_t>(static_cast<std::make_unsigned_t<E>>(column.data()[i])));
    });
    const auto* offsets = b.offsets.data();
    return Row{Row::event, head,
               bytes_of(b.data.data() + offsets[i], static_cast<std::size_t>(offsets[i + 1] - offsets[i])), {}};
}

// Outcomes until the first end, or three failures in a row.
template <class Next>
std::vector<Row> rows_until_end(Next next) {
    std::vector<Row> rows;
    std::size_t failures = 0;
    for (std::size_t step = 0; step < max_steps && failures < 3; ++step) {
        for (Row& row : next()) {
            const bool end = row.kind == Row::end;
            failures = row.kind == Row::event ? 0 : failures + 1;
            rows.push_back(std::move(row));
            if (end) {
                return rows;
            }
        }
    }
    return rows;
}

template <class Reader, class Columns, class T>
void compare_paths(Reader events, Reader batched, const pelvar::BatchLimits& limits) {
    using Batcher = pelvar::EventBatcher<Reader, Columns, T>;
    auto expected = rows_until_end([&] {
        auto outcome = events.next();
        if (auto row = failure_row(outcome)) {
            return std::vector<Row>{*row};
        }
        return std::vector<Row>{event_row(std::get<0>(outcome))};
    });
    pelvar::BlockPool pool(&pelvar::malloc_allocator);
    Batcher batcher(std::move(batched), pool, limits);
    auto got = rows_until_end([&] {
        auto outcome = batcher.next();
        if (auto row = failure_row(outcome)) {
            return std::vector<Row>{*row};
        }
        auto& batch = std::get<typename Batcher::Batch>(outcome);
        check(batch.events != 0 && batch.events <= limits.max_events, "batch: event count out of its limits",
              batch.events, limits.max_events);
        check(batch.events == 1 || batch.bytes() <= limits.max_bytes, "batch: bytes past the limit", batch.bytes(),
              limits.max_bytes);
        std::vector<Row> rows;
        for (std::size_t i = 0; i < batch.events; ++i) {
            rows.push_back(batch_row(batch, i));
        }
        return rows;
    });
    check(got.size() >= expected.size(), "batch: fewer outcomes than the event path", got.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        check(got[i] == expected[i], "batch: differs from the event path", i, got[i].kind);
    }
}

void compare_wd1(const std::uint8_t* file, std::size_t size, const Faults& faults, pelvar::BatchLimits limits) {
    using Reader = pelvar::WD1Reader<Source>;
    compare_paths<Reader, pelvar::WD1Columns, std::uint16_t>(Reader(pelvar_test::buffered(scripted(file, size, faults))),
                                                             Reader(pelvar_test::buffered(scripted(file, size, faults))),
                                                             limits);
}

void compare_wd2(const std::uint8_t* file, std::size_t size, const Faults& faults, pelvar::BatchLimits limits) {
    using Reader = pelvar::WD2Reader<Source>;
    auto events = Reader::open(pelvar_test::buffered(scripted(file, size, faults)));
    auto batched = Reader::open(pelvar_test::buffered(scripted(file, size, faults)));
    check(events.index() == batched.index(), "batch: the same file opened differently");
    if (auto* reader = std::get_if<Reader>(&events)) {
        compare_paths<Reader, pelvar::WD2Columns, float>(std::move(*reader), std::get<Reader>(std::move(batched)),
                                                         limits);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::uint8_t control[5] = {0, 0, 0, 0, 0};
    const std::size_t taken = size < sizeof control ? size : sizeof control;
    std::memcpy(control, data, taken);
    const std::uint8_t* file = data + taken;
    std::size_t file_size = size - taken;

    const std::size_t padding = (control[0] & 0x20) != 0 ? std::size_t{control[4]} << 14 : 0;
    static std::vector<std::uint8_t> padded;
    if (padding != 0) {
        padded.assign(file, file + file_size);
        padded.resize(file_size + padding, 0);
        file = padded.data();
        file_size = padded.size();
    }

    Faults faults;
    if (control[0] & 0x01) {
        // Short reads of a few bytes over megabytes of zeros would only be slow.
        faults.max_chunk = (std::size_t{control[1]} + 1) * (padding != 0 ? 256 : 1);
    }
    faults.eintr = (control[0] & 0x02) != 0;
    if (control[0] & 0x04) {
        faults.eio_at = std::uint64_t{control[2]} | std::uint64_t{control[3]} << 8;
    }
    faults.eio_sticky = (control[0] & 0x08) != 0;
    faults.seekable = (control[0] & 0x10) == 0;

    run_wd1(file, file_size, faults);
    run_wd2(file, file_size, faults);

    // Batches of 1 to 8 events and of 1 byte (every event alone) to 64 KiB.
    const pelvar::BatchLimits limits{std::size_t{1} + (control[1] & 7),
                                     std::size_t{1} + (std::size_t{control[3]} << 8 | control[4])};
    compare_wd1(file, file_size, faults, limits);
    compare_wd2(file, file_size, faults, limits);
    return 0;
}
