// Batches of chosen columns and events against a full read of the same file:
// the same header values, samples and failures, each event's byte offset
// where its header starts, whether the samples are read, seeked over or read
// and dropped; partitions read one after the other as the whole file; and a
// skip that seeks reads little after each seek.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <string_view>
#include <type_traits>
#include <variant>
#include <vector>

#include "event_batch.hpp"
#include "partition_plan.hpp"
#include "scripted_file.hpp"
#include "wd1_reader.hpp"
#include "wd2_reader.hpp"

namespace pelvar_test {
namespace {

using WD1 = pelvar::WD1Reader<Buffered>;
using WD2 = pelvar::WD2Reader<Buffered>;
using pelvar::BatchLimits;
using pelvar::ColumnSet;
using pelvar::EventRange;

// ---- A read, step by step ---------------------------------------------------

// An event's columns as text (those its batch holds), or a failure, or "end".
struct Row {
    std::vector<std::string> fields;  // "name=value" by position in the field table
    std::string samples;
    std::size_t sample_count = 0;
    std::int64_t at = -1;  // where the header starts
    std::string outcome;   // not an event: "end" or the failure

    std::string text(const ColumnSet& set) const {
        if (!outcome.empty()) return outcome;
        std::string out = "event";
        for (std::size_t k = 0; k < fields.size(); ++k) {
            if (set.has_header(k)) out += " " + fields[k];
        }
        if (set.data) out += " | " + samples;
        if (set.byte_offset) out += " @" + std::to_string(at);
        return out;
    }
};

// Checks a batch's sizes and limits, and adds its rows.
template <class Columns, class T>
void add_rows(pelvar::EventBatch<Columns, T>& b, BatchLimits limits, std::vector<Row>& rows) {
    const ColumnSet set = b.columns;
    EXPECT_GT(b.events, 0u);
    EXPECT_LE(b.events, limits.max_events);
    EXPECT_TRUE(b.events == 1 || b.held_bytes() <= limits.max_bytes) << b.events << " events, " << b.held_bytes();
    // The columns not chosen stay empty (they have no block).
    b.head.for_each_at([&](std::size_t k, auto& c) { EXPECT_EQ(c.size(), set.has_header(k) ? b.events : 0u) << k; });
    EXPECT_EQ(b.offsets.size(), set.data ? b.events + 1 : 0u);
    EXPECT_EQ(b.byte_offsets.size(), set.byte_offset ? b.events : 0u);
    for (std::size_t i = 0; i < b.events; ++i) {
        Row row;
        row.fields.resize(Columns::count);
        pelvar::for_each_field<typename Columns::Format>([&](auto k, const auto& field) {
            if (set.has_header(k)) {
                row.fields[k] = std::string(field.name) + "=" + std::to_string(b.head.template column<k>().data()[i]);
            }
        });
        if (set.data) {
            const auto* offsets = b.offsets.data();
            row.sample_count = static_cast<std::size_t>(offsets[i + 1] - offsets[i]);
            const std::string_view bytes(reinterpret_cast<const char*>(b.data.data() + offsets[i]),
                                         row.sample_count * sizeof(T));
            row.samples = std::to_string(row.sample_count) + " samples #" +
                          std::to_string(std::hash<std::string_view>{}(bytes));
        }
        if (set.byte_offset) row.at = b.byte_offsets.data()[i];
        rows.push_back(std::move(row));
    }
}

// Every step up to the first end.
template <class Batcher>
std::vector<Row> read_rows(Batcher& batcher, BatchLimits limits) {
    std::vector<Row> rows;
    for (int guard = 0; guard < 100000; ++guard) {
        auto outcome = batcher.next();
        if (auto* b = std::get_if<typename Batcher::Batch>(&outcome)) {
            add_rows(*b, limits, rows);
            continue;
        }
        auto* io = std::get_if<pelvar::IoFailure>(&outcome);
        auto* internal = std::get_if<pelvar::InternalFailure>(&outcome);
        rows.emplace_back().outcome = io ? "io " + io->display() : internal ? "internal " + internal->message : "end";
        if (!io && !internal) return rows;
    }
    ADD_FAILURE() << "no end";
    return rows;
}

std::vector<std::string> texts(const std::vector<Row>& rows, const ColumnSet& set) {
    std::vector<std::string> out;
    for (const auto& r : rows) out.push_back(r.text(set));
    return out;
}

// Where each step's header starts, from the sizes alone: an event takes its
// header and samples, a damaged header only itself.
void place(std::vector<Row>& rows, std::size_t header_bytes, std::size_t sample_bytes) {
    std::int64_t at = 0;
    for (auto& r : rows) {
        r.at = at;
        if (r.outcome.empty()) {
            at += static_cast<std::int64_t>(header_bytes + r.sample_count * sample_bytes);
        } else if (r.outcome.rfind("internal ", 0) == 0) {
            at += static_cast<std::int64_t>(header_bytes);
        }
    }
}

// The full read's steps that a read of `set` and `range` gives: the failures
// met before the stop, the events from the start up to it.
std::vector<std::string> selected(const std::vector<Row>& full, const ColumnSet& set, const EventRange& range) {
    if (range.stop && *range.stop <= range.start) return {"end"};
    std::vector<std::string> out;
    std::uint64_t seen = 0;
    for (const auto& r : full) {
        if ((range.stop && seen >= *range.stop) || r.outcome == "end") break;
        if (!r.outcome.empty()) {
            out.push_back(r.outcome);
        } else if (seen++ >= range.start) {
            out.push_back(r.text(set));
        }
    }
    out.push_back("end");
    return out;
}

std::string difference(const std::vector<std::string>& got, const std::vector<std::string>& expected) {
    std::size_t i = 0;
    while (i < got.size() && i < expected.size() && got[i] == expected[i]) ++i;
    if (i == got.size() && i == expected.size()) return "";
    return "step " + std::to_string(i) + ": got " + (i < got.size() ? got[i] : "nothing") + ", expected " +
           (i < expected.size() ? expected[i] : "nothing");
}

// ---- Random files, columns, events and limits ------------------------------

bool coin(std::mt19937& rng, int in) { return std::uniform_int_distribution<int>(0, in - 1)(rng) == 0; }
template <class T>
T uniform(std::mt19937& rng, T low, T high) {
    return std::uniform_int_distribution<T>(low, high)(rng);
}

// Header words from `seed`; samples from it too, or all `constant` (which a
// header read among them takes for a damaged one, or for a few events).
void put_wd1(Bytes& out, std::int32_t size, std::size_t samples, std::uint32_t seed,
             std::optional<std::uint16_t> constant = {}) {
    put_i32(out, size);
    for (std::uint32_t w = 0; w < 5; ++w) put_u32(out, seed * 5 + w);
    for (std::size_t s = 0; s < samples; ++s) {
        put_u16(out, constant.value_or(static_cast<std::uint16_t>(seed * 31 + s)));
    }
}

void put_wd2(Bytes& out, std::uint32_t counter, std::uint32_t samples, std::int32_t channels, std::size_t values,
             std::optional<std::uint32_t> constant = {}) {
    put_u32(out, counter);
    put_u64(out, std::uint64_t{counter} * 1000);
    put_u32(out, samples);
    put_u64(out, 8);
    if (channels >= 2) put_i32(out, channels);
    for (std::size_t s = 0; s < values; ++s) {
        put_u32(out, constant.value_or(counter * 7 + static_cast<std::uint32_t>(s)));
    }
}

// Small events and large ones (past the size a skip seeks over), some
// damaged headers, perhaps cut at a random byte.
void cut_maybe(std::mt19937& rng, Bytes& out) {
    if (!out.empty() && coin(rng, 3)) out.resize(uniform<std::size_t>(rng, 0, out.size()));
}

Bytes random_wd1(std::mt19937& rng) {
    Bytes out;
    for (int i = 0, n = uniform(rng, 0, 30); i < n; ++i) {
        const auto samples = coin(rng, 5) ? uniform<std::size_t>(rng, 2100, 12000) : uniform<std::size_t>(rng, 0, 40);
        // Odd: the last byte is the next header's first.
        auto size = static_cast<std::int32_t>(24 + 2 * samples + (coin(rng, 8) ? 1 : 0));
        const bool overflow = coin(rng, 20);
        if (overflow) size = uniform<std::int32_t>(rng, -30, 22);  // capacity overflow; the next header follows
        if (coin(rng, 40)) size = INT32_MAX - uniform(rng, 0, 9);  // the rest of the file is its samples
        put_wd1(out, size, overflow ? 0 : samples, static_cast<std::uint32_t>(rng()));
    }
    cut_maybe(rng, out);
    return out;
}

Bytes random_wd2(std::mt19937& rng) {
    Bytes out;
    const auto channels = uniform<std::int32_t>(rng, 1, 4);
    const auto first_samples = uniform<std::uint32_t>(rng, 0, 30);
    auto counter = static_cast<std::uint32_t>(rng());
    for (int i = 0, n = uniform(rng, 2, 30); i < n; ++i) {
        // The probe reads the first two events as consecutive ones.
        auto samples = i < 2 ? first_samples : uniform<std::uint32_t>(rng, 0, 30);
        if (i >= 2 && coin(rng, 5)) samples = uniform<std::uint32_t>(rng, 1100, 3000);
        if (i >= 2 && coin(rng, 10)) counter += uniform<std::uint32_t>(rng, 2, 1000);  // a break in the count
        const bool huge = i >= 2 && coin(rng, 30);  // the rest of the file is its samples
        put_wd2(out, counter++, huge ? uniform<std::uint32_t>(rng, 1u << 28, ~0u) : samples, channels,
                std::size_t{samples} * static_cast<std::size_t>(channels));
    }
    cut_maybe(rng, out);
    return out;
}

ColumnSet random_set(std::mt19937& rng) {
    return ColumnSet{coin(rng, 4) ? ~0u : static_cast<std::uint32_t>(rng()), coin(rng, 2), coin(rng, 2)};
}

EventRange random_range(std::mt19937& rng) {
    EventRange range;
    if (coin(rng, 2)) range.start = uniform<std::uint64_t>(rng, 0, 12);
    if (coin(rng, 2)) range.stop = uniform<std::uint64_t>(rng, 0, 25);
    return range;
}

BatchLimits random_limits(std::mt19937& rng) {
    return BatchLimits{uniform<std::size_t>(rng, 1, 12),
                       coin(rng, 2) ? uniform<std::size_t>(rng, 1, 300) : uniform<std::size_t>(rng, 1, 200000)};
}

// Runs of small events between large ones: samples read through or seeked
// over, headers after a seek in its short fill or beyond it.
// The large blocks span 17 to 48 KB: most are seeked over (16 KiB or more
// beyond the buffer), some read through.
std::vector<std::uint32_t> mixed_samples(std::uint32_t sample_bytes) {
    std::vector<std::uint32_t> samples;
    for (std::uint32_t large_bytes : {18000u, 48000u, 17600u, 24000u}) {
        const std::uint32_t large = large_bytes / sample_bytes;
        for (std::uint32_t i = 0; i < 12; ++i) samples.push_back(i / 2 * 7 % 40);  // a WD2 probe's first two alike
        samples.push_back(large);
    }
    return samples;
}

struct Wd1Kind {
    using Reader = WD1;
    using Batcher = pelvar::EventBatcher<WD1, pelvar::WD1Columns, std::uint16_t>;
    static Bytes random_file(std::mt19937& rng) { return random_wd1(rng); }
    static Bytes mixed_file() {
        Bytes out;
        std::uint32_t seed = 0;
        for (auto n : mixed_samples(2)) put_wd1(out, static_cast<std::int32_t>(24 + 2 * n), n, ++seed, 0);
        return out;
    }
    static std::optional<Reader> open(Buffered source, bool) { return Reader(std::move(source)); }
    static Reader with_layout(Buffered source, std::int32_t) { return Reader(std::move(source)); }
    static std::int32_t channels(const Reader&) { return 0; }
};

struct Wd2Kind {
    using Reader = WD2;
    using Batcher = pelvar::EventBatcher<WD2, pelvar::WD2Columns, float>;
    static Bytes random_file(std::mt19937& rng) { return random_wd2(rng); }
    static Bytes mixed_file() {
        Bytes out;
        std::uint32_t counter = 0;
        for (auto n : mixed_samples(8)) put_wd2(out, ++counter, n, 2, std::size_t{n} * 2, 1000);
        return out;
    }
    // Probed by seeking back, or by keeping the bytes it read.
    static std::optional<Reader> open(Buffered source, bool keep) {
        auto opened =
            WD2::open(std::move(source), &pelvar::malloc_allocator, keep ? WD2::Rewind::keep : WD2::Rewind::seek);
        if (auto* reader = std::get_if<WD2>(&opened)) return std::move(*reader);
        return std::nullopt;
    }
    static Reader with_layout(Buffered source, std::int32_t channels) {
        return WD2::with_layout(std::move(source), channels);
    }
    static std::int32_t channels(const Reader& reader) { return reader.probed_channels(); }
};

// A file's full read (every column, every event), each step placed.
template <class Kind>
std::optional<std::vector<Row>> full_read(const Bytes& file, pelvar::BlockPool& pool, std::int32_t& channels) {
    auto whole = Kind::open(buffered(make_script(file)), false);
    if (!whole) return std::nullopt;  // no WD2 layout to probe: the probe's own tests cover it
    channels = Kind::channels(*whole);
    const std::size_t header_bytes = whole->format().header_bytes();
    const BatchLimits all{1 << 16, std::size_t{1} << 30};
    typename Kind::Batcher full(std::move(*whole), pool, all);
    auto rows = read_rows(full, all);
    place(rows, header_bytes, sizeof(typename Kind::Reader::Sample));
    return rows;
}

template <class Kind>
class ChosenReading : public ::testing::Test {};

struct KindName {
    template <class Kind>
    static std::string GetName(int) {
        return std::is_same_v<Kind, Wd1Kind> ? "WD1" : "WD2";
    }
};
using Kinds = ::testing::Types<Wd1Kind, Wd2Kind>;
TYPED_TEST_SUITE(ChosenReading, Kinds, KindName);

constexpr int seeds = 200;

// Random columns, events and limits over a source that is sized and seeks
// (samples no column takes are seeked over; its size sometimes behind the
// truth) or one that cannot (they are read and dropped), with short and
// interrupted reads: the full read's selection.
TYPED_TEST(ChosenReading, MatchesTheFullReadOfRandomFiles) {
    using Kind = TypeParam;
    for (int seed = 0; seed < seeds && !this->HasFailure(); ++seed) {
        std::mt19937 rng(static_cast<unsigned>(seed));
        const Bytes file = Kind::random_file(rng);
        pelvar::BlockPool pool(&pelvar::malloc_allocator);
        std::int32_t channels = 0;
        const auto full = full_read<Kind>(file, pool, channels);
        if (!full) continue;
        for (bool sized : {true, false}) {
            const auto set = random_set(rng);
            const auto range = random_range(rng);
            const auto limits = random_limits(rng);
            auto script = make_script(file);
            script->seekable = sized;
            if (sized && coin(rng, 4)) script->reported_size = uniform<std::uint64_t>(rng, 0, file.size());
            if (coin(rng, 2)) script->max_per_read = uniform<std::size_t>(rng, 1, 5000);
            if (coin(rng, 3)) script->interrupt_every = uniform<std::size_t>(rng, 2, 5);  // repeated: no check
            auto reader = Kind::open(Buffered(ScriptedFile(script)), !sized || coin(rng, 2));
            ASSERT_TRUE(reader) << "seed " << seed;
            ASSERT_EQ(Kind::channels(*reader), channels);
            typename Kind::Batcher batcher(std::move(*reader), pool, limits, set, range);
            EXPECT_EQ(difference(texts(read_rows(batcher, limits), set), selected(*full, set, range)), "")
                << "seed " << seed << (sized ? ", sized" : ", unsized");
        }
    }
}

bool give_up() noexcept { return true; }

enum class Fault { read_error, interrupt, seek_error };

// Headers alone, every read and every seek failing with EIO in turn, every
// read interrupted in turn (and given up): what a full read gives with that
// fault at the same offset (the events before it once, the failure, then a
// WD1 file ends and a WD2 file reads on). Given up where an event starts,
// the next calls read on from it.
TYPED_TEST(ChosenReading, HeadersAloneMeetEveryFaultAsTheFullReadDoes) {
    using Kind = TypeParam;
    const Bytes file = Kind::mixed_file();
    pelvar::BlockPool pool(&pelvar::malloc_allocator);
    std::int32_t channels = 0;
    const auto clean = full_read<Kind>(file, pool, channels);
    ASSERT_TRUE(clean);
    std::set<std::int64_t> starts;
    for (const auto& r : *clean) starts.insert(r.at);
    const ColumnSet headers{0b10101u, false, false};
    const BatchLimits limits{3, std::size_t{1} << 20};
    for (bool sized : {true, false}) {
        auto run = [&](const std::shared_ptr<FileScript>& script, ColumnSet set) {
            script->seekable = sized;
            script->max_per_read = 997;  // reads that end inside headers too
            typename Kind::Batcher batcher(Kind::with_layout(Buffered(ScriptedFile(script), give_up), channels), pool,
                                           limits, set);
            return read_rows(batcher, limits);
        };
        auto clean_script = make_script(file);
        ASSERT_EQ(difference(texts(run(clean_script, headers), headers), texts(*clean, headers)), "");
        EXPECT_EQ(clean_script->seek_forward_calls != 0, sized);
        for (Fault fault : {Fault::read_error, Fault::interrupt, Fault::seek_error}) {
            const std::size_t calls =
                fault == Fault::seek_error ? clean_script->seek_forward_calls : clean_script->read_calls;
            for (std::size_t call = 1; call <= calls; ++call) {
                SCOPED_TRACE(std::string(sized ? "sized" : "unsized") + ", fault " +
                             std::to_string(static_cast<int>(fault)) + " at call " + std::to_string(call));
                auto script = make_script(file);
                (fault == Fault::seek_error  ? script->seek_error_calls
                 : fault == Fault::read_error ? script->error_calls
                                              : script->interrupt_calls) = {call};
                const auto got = texts(run(script, headers), headers);
                ASSERT_EQ(script->errors + script->interrupts, 1u);
                auto at_fault = make_script(file);
                at_fault->fail_at(script->fault_position, fault == Fault::interrupt ? EINTR : EIO);
                EXPECT_EQ(difference(got, texts(run(at_fault, {}), headers)), "") << "at " << script->fault_position;
                if (fault == Fault::interrupt && starts.count(static_cast<std::int64_t>(script->fault_position))) {
                    std::vector<std::string> retried;
                    for (const auto& t : got) {
                        if (t != "io " + pelvar::IoFailure::interrupted().display()) retried.push_back(t);
                    }
                    EXPECT_EQ(difference(retried, texts(*clean, headers)), "") << "at " << script->fault_position;
                }
            }
        }
    }
}

// The partitions of a random file, each read by a reader that starts at its
// first byte, give the events and failures of one reader over the whole
// file. Each ends where the next begins, at the first event at or after
// partition_bytes from its start, but where a failure starts the last one.
TYPED_TEST(ChosenReading, PartitionsReadAsTheWholeFile) {
    using Kind = TypeParam;
    for (int seed = 0; seed < seeds && !this->HasFailure(); ++seed) {
        std::mt19937 rng(static_cast<unsigned>(seed) + 50000);
        const Bytes file = Kind::random_file(rng);
        pelvar::BlockPool pool(&pelvar::malloc_allocator);
        std::int32_t channels = 0;
        const auto full = full_read<Kind>(file, pool, channels);
        if (!full) continue;
        std::set<std::int64_t> starts;
        for (const auto& r : *full) starts.insert(r.at);
        const auto set = random_set(rng);
        const auto range = random_range(rng);
        const auto limits = random_limits(rng);
        // Small ones end partitions exactly at an event now and then.
        const auto partition_bytes = uniform<std::uint64_t>(rng, 1, coin(rng, 2) ? 120 : file.size() + 1);

        auto planner = Kind::with_layout(buffered(make_script(file)), channels);
        auto planned = pelvar::plan_partitions(planner, partition_bytes, range.start, range.stop);
        ASSERT_TRUE(std::holds_alternative<std::vector<pelvar::Partition>>(planned)) << "seed " << seed;
        const auto& partitions = std::get<std::vector<pelvar::Partition>>(planned);
        std::vector<std::string> got;
        for (std::size_t i = 0; i < partitions.size(); ++i) {
            const auto& p = partitions[i];
            SCOPED_TRACE("seed " + std::to_string(seed) + ", partition " + std::to_string(i));
            if (i + 1 < partitions.size()) {
                const auto& next = partitions[i + 1];
                ASSERT_TRUE(p.range.end && p.range.stop);
                EXPECT_EQ(*p.range.end, next.range.begin);
                EXPECT_EQ(p.first + *p.range.stop, next.first);
                const auto end = static_cast<std::int64_t>(*p.range.end);
                const auto least = static_cast<std::int64_t>(p.range.begin + partition_bytes);
                const auto first_after = starts.lower_bound(least);
                EXPECT_TRUE((first_after != starts.end() && *first_after == end) ||
                            (i + 2 == partitions.size() && starts.count(end) && end < least))
                    << p.range.begin << " to " << end;
            }
            auto source = buffered(make_script(file));
            ASSERT_FALSE(source.skip(p.range.begin));
            // Its end alone bounds a partition that a failure does not start.
            auto part = p.range;
            if (part.end && coin(rng, 2)) part.stop.reset();
            typename Kind::Batcher batcher(Kind::with_layout(std::move(source), channels), pool, limits, set, part);
            const auto rows = texts(read_rows(batcher, limits), set);
            got.insert(got.end(), rows.begin(), rows.end() - 1);
        }
        got.push_back("end");
        EXPECT_EQ(difference(got, selected(*full, set, range)), "") << "seed " << seed;
    }
}

// Headers alone over events of 128 KiB: a seek and one short read per event,
// the file's size asked once; over events of 56 bytes: no seek, every byte
// read once.
TEST(ChosenReadingSeeks, OnlyOverLargeSamples) {
    constexpr std::size_t events = 40;
    for (std::size_t samples : {std::size_t{65524}, std::size_t{16}}) {
        Bytes file;
        for (std::size_t i = 0; i < events; ++i) put_wd1(file, static_cast<std::int32_t>(24 + 2 * samples), samples, 0);
        auto script = make_script(file);
        pelvar::BlockPool pool(&pelvar::malloc_allocator);
        const BatchLimits limits{1000, std::size_t{1} << 20};
        Wd1Kind::Batcher batcher(WD1(buffered(script)), pool, limits, ColumnSet{~0u, true, false});
        EXPECT_EQ(read_rows(batcher, limits).size(), events + 1);
        if (samples > 16) {
            EXPECT_EQ(script->seek_forward_calls, events);
            EXPECT_LE(script->read_calls, events + 2);  // and the end, met again by the next call
            EXPECT_LE(script->bytes_read, Buffered::first_fill + events * Buffered::after_seek_fill);
            EXPECT_LE(script->remaining_calls, 2u);
        } else {
            EXPECT_EQ(script->seek_forward_calls, 0u);
            EXPECT_EQ(script->bytes_read, file.size());
        }
    }
}

}  // namespace
}  // namespace pelvar_test
