// The WD1 reader over scripted in-memory files.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <ostream>
#include <string>
#include <tuple>
#include <vector>

#include "reader_steps.hpp"
#include "scripted_file.hpp"
#include "wd1_reader.hpp"

namespace pelvar_test {
namespace {

using Reader = pelvar::WD1Reader<Buffered>;
constexpr std::size_t unlimited = std::numeric_limits<std::size_t>::max();

// One event as the test writes it and expects it back.
struct Wd1 {
    std::int32_t event_size = 24;
    std::int32_t board_id = 0;
    std::int32_t pattern = 0;
    std::int32_t board_channel = 0;
    std::int32_t event_counter = 0;
    std::int32_t timestamp = 0;
    std::vector<std::uint16_t> data;

    friend bool operator==(const Wd1&, const Wd1&) = default;
    friend std::ostream& operator<<(std::ostream& os, const Wd1& e) {
        os << "{size " << e.event_size << ", board " << e.board_id << ", pattern " << e.pattern << ", channel "
           << e.board_channel << ", counter " << e.event_counter << ", time " << e.timestamp << ", "
           << e.data.size() << " samples";
        if (!e.data.empty()) os << " [" << e.data.front() << " .. " << e.data.back() << "]";
        return os << "}";
    }
};

using S = Step<Wd1>;

// An event of n samples with an even, consistent event_size and distinct values.
Wd1 event(std::int32_t counter, std::size_t n) {
    Wd1 e;
    e.event_size = static_cast<std::int32_t>(24 + 2 * n);
    e.board_id = 7 + counter;
    e.pattern = -counter;
    e.board_channel = counter % 16;
    e.event_counter = counter;
    e.timestamp = 1000000 * counter + 17;
    for (std::size_t i = 0; i < n; ++i) e.data.push_back(static_cast<std::uint16_t>(counter * 4099 + i * 31));
    return e;
}

// The header and the samples, which is what the reader consumes for the event.
Bytes bytes_of(const Wd1& e) {
    Bytes out;
    for (auto word : {e.event_size, e.board_id, e.pattern, e.board_channel, e.event_counter, e.timestamp})
        put_i32(out, word);
    for (auto v : e.data) put_u16(out, v);
    return out;
}

Bytes file_of(const std::vector<Wd1>& events) {
    Bytes out;
    for (const auto& e : events) {
        auto b = bytes_of(e);
        out.insert(out.end(), b.begin(), b.end());
    }
    return out;
}

Wd1 see(const pelvar::WD1Event& e) {
    return Wd1{e.event_size,    e.board_id,  e.pattern,
               e.board_channel, e.event_counter, e.timestamp,
               std::vector<std::uint16_t>(e.data.data(), e.data.data() + e.data.size())};
}

S step(Reader& reader) { return step_of<Wd1>(reader.next(), see); }

// Steps until the first outcome that is not an event, which is included.
std::vector<S> run(Reader& reader, std::size_t limit = 10000) {
    std::vector<S> steps;
    for (std::size_t i = 0; i < limit; ++i) {
        steps.push_back(step(reader));
        if (steps.back().kind != S::event) break;
    }
    return steps;
}

std::vector<S> events_then_end(const std::vector<Wd1>& events) {
    std::vector<S> steps;
    for (const auto& e : events) steps.push_back(S::of(e));
    steps.push_back(S::the_end());
    return steps;
}

using Wd1Test = WithAllocator<::testing::Test>;

Reader make_reader(const std::shared_ptr<FileScript>& script, const CountingAllocator& alloc) {
    return Reader(buffered(script), alloc.get());
}

// A multi-event file with every kind of size: empty, one sample, odd sizes,
// a block larger than the first fill of the read-ahead buffer.
std::vector<Wd1> mixed_events() {
    std::vector<Wd1> events{event(1, 0), event(2, 1), event(3, 500), event(4, 4500), event(5, 3)};
    Wd1 odd = event(6, 1);
    odd.event_size = 27;  // one sample; its 27th byte is the next header's first
    Wd1 short_one = event(7, 0);
    short_one.event_size = 23;  // no samples, 24 bytes
    events.push_back(odd);
    events.push_back(short_one);
    events.push_back(event(8, 2));
    return events;
}

TEST_F(Wd1Test, EmptyFileIsTheEnd) {
    auto script = make_script();
    auto reader = make_reader(script, alloc);
    EXPECT_EQ(run(reader), events_then_end({}));
    EXPECT_EQ(run(reader), events_then_end({}));
    EXPECT_FALSE(reader.finished());
}

TEST_F(Wd1Test, ConstructionReadsNothing) {
    auto script = make_script(file_of({event(1, 3)}));
    auto reader = make_reader(script, alloc);
    EXPECT_EQ(script->read_calls, 0u);
    EXPECT_FALSE(reader.finished());
}

TEST_F(Wd1Test, HeaderOnlyEventHasEmptyDataAndAllocatesNothing) {
    auto script = make_script(file_of({event(1, 0)}));
    auto reader = make_reader(script, alloc);
    auto outcome = reader.next();
    auto* e = std::get_if<pelvar::WD1Event>(&outcome);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->data.size(), 0u);
    EXPECT_NE(e->data.data(), nullptr);
    EXPECT_EQ(alloc.requests(), 0u);
    EXPECT_EQ(step(reader), S::the_end());
}

TEST_F(Wd1Test, SampleBytesAreLittleEndian) {
    Bytes file;
    put_i32(file, 26);
    for (int i = 0; i < 5; ++i) put_i32(file, 0);
    file.push_back(std::byte{0x34});
    file.push_back(std::byte{0x12});
    auto script = make_script(file);
    auto reader = make_reader(script, alloc);
    auto s = step(reader);
    ASSERT_EQ(s.kind, S::event);
    EXPECT_EQ(s.seen.data, std::vector<std::uint16_t>{4660});
    EXPECT_EQ(step(reader), S::the_end());
}

TEST_F(Wd1Test, HeaderWordsKeepTheirBits) {
    Bytes file;
    put_i32(file, 24);
    for (std::uint8_t b : {0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x00, 0x80, 0x01, 0x02, 0x03, 0x04, 0xFF, 0xFF,
                           0xFF, 0x7F, 0xFE, 0xFF, 0xFF, 0xFF})
        file.push_back(std::byte{b});
    auto script = make_script(file);
    auto reader = make_reader(script, alloc);
    Wd1 expected{24, -1, std::numeric_limits<std::int32_t>::min(), 0x04030201,
                 std::numeric_limits<std::int32_t>::max(), -2, {}};
    EXPECT_EQ(run(reader), events_then_end({expected}));
}

// The size arithmetic: what an event_size yields and how many bytes it consumes.
struct SizeCase {
    std::int32_t event_size;
    std::optional<std::size_t> samples;  // empty: "capacity overflow"
    std::size_t consumed;                // bytes after which the next event starts
};

std::ostream& operator<<(std::ostream& os, const SizeCase& c) { return os << "event_size " << c.event_size; }

class Wd1Sizes : public WithAllocator<::testing::TestWithParam<SizeCase>> {};

TEST_P(Wd1Sizes, SamplesAndConsumedBytes) {
    const SizeCase c = GetParam();
    Wd1 first = event(1, c.samples.value_or(0));
    first.event_size = c.event_size;
    Bytes file;
    for (auto word : {first.event_size, first.board_id, first.pattern, first.board_channel, first.event_counter,
                      first.timestamp})
        put_i32(file, word);
    const Bytes block = pattern_bytes(c.consumed - 24);
    file.insert(file.end(), block.begin(), block.end());
    const Wd1 next = event(2, 5);
    const Bytes after = bytes_of(next);
    file.insert(file.end(), after.begin(), after.end());

    auto script = make_script(file);
    auto reader = make_reader(script, alloc);
    if (!c.samples) {
        EXPECT_EQ(step(reader), S::internal("capacity overflow"));
        EXPECT_EQ(alloc.requests(), 0u);
        EXPECT_FALSE(reader.finished());
        // The next step starts right behind the 24 header bytes.
        EXPECT_EQ(run(reader), events_then_end({next}));
        return;
    }
    auto s = step(reader);
    ASSERT_EQ(s.kind, S::event) << s;
    EXPECT_EQ(s.seen.event_size, c.event_size);
    ASSERT_EQ(s.seen.data.size(), *c.samples);
    for (std::size_t i = 0; i < *c.samples; ++i) {
        EXPECT_EQ(s.seen.data[i], static_cast<std::uint16_t>(static_cast<unsigned>(block[2 * i]) |
                                                             static_cast<unsigned>(block[2 * i + 1]) << 8));
    }
    EXPECT_EQ(run(reader), events_then_end({next}));
}

INSTANTIATE_TEST_SUITE_P(
    EventSizes, Wd1Sizes,
    ::testing::Values(SizeCase{22, std::nullopt, 24}, SizeCase{0, std::nullopt, 24},
                      SizeCase{-1, std::nullopt, 24}, SizeCase{1, std::nullopt, 24},
                      SizeCase{-2147483624, std::nullopt, 24}, SizeCase{-2147483623, std::nullopt, 24},
                      SizeCase{23, 0, 24}, SizeCase{24, 0, 24}, SizeCase{25, 0, 24}, SizeCase{26, 1, 26},
                      SizeCase{27, 1, 26}, SizeCase{28, 2, 28}, SizeCase{1023, 499, 1022},
                      SizeCase{1024, 500, 1024}, SizeCase{20025, 10000, 20024}),
    [](const auto& info) {
        const auto size = info.param.event_size;
        return (size < 0 ? "minus" + std::to_string(-static_cast<std::int64_t>(size)) : std::to_string(size));
    });

TEST(Wd1SampleCount, Arithmetic) {
    using pelvar::wd1_sample_count;
    EXPECT_EQ(wd1_sample_count(22), std::nullopt);
    EXPECT_EQ(wd1_sample_count(23), 0u);
    EXPECT_EQ(wd1_sample_count(24), 0u);
    EXPECT_EQ(wd1_sample_count(27), 1u);
    EXPECT_EQ(wd1_sample_count(1024), 500u);
    EXPECT_EQ(wd1_sample_count(0), std::nullopt);
    EXPECT_EQ(wd1_sample_count(-2147483624), std::nullopt);
    EXPECT_EQ(wd1_sample_count(-2147483623), std::nullopt);
    // Wrapping: -2147483648 - 24 is 2147483624.
    EXPECT_EQ(wd1_sample_count(std::numeric_limits<std::int32_t>::min()), 1073741812u);
    EXPECT_EQ(wd1_sample_count(-2147483647), 1073741812u);
    EXPECT_EQ(wd1_sample_count(-2147483625), 1073741823u);
    EXPECT_EQ(wd1_sample_count(std::numeric_limits<std::int32_t>::max()), 1073741811u);
}

// A header that claims a block of about 2 GiB over a short file: the end of
// the events, with an allocation bounded by what the file can hold.
class Wd1HugeClaim : public WithAllocator<::testing::TestWithParam<std::tuple<std::int32_t, bool>>> {};

TEST_P(Wd1HugeClaim, EndsWithoutLargeAllocation) {
    const auto [event_size, seekable] = GetParam();
    Bytes file;
    put_i32(file, event_size);
    for (int i = 0; i < 5; ++i) put_i32(file, i);
    const Bytes rest = pattern_bytes(176);  // a 200-byte file
    file.insert(file.end(), rest.begin(), rest.end());
    auto script = make_script(file);
    script->seekable = seekable;
    auto reader = make_reader(script, alloc);
    EXPECT_EQ(step(reader), S::the_end());
    EXPECT_LE(alloc.largest_request(), pelvar::eager_block_bytes);
    EXPECT_LE(alloc.peak_bytes(), pelvar::eager_block_bytes);
    EXPECT_EQ(script->bytes_read, 200u);
    EXPECT_EQ(step(reader), S::the_end());
    EXPECT_FALSE(reader.finished());
}

INSTANTIATE_TEST_SUITE_P(Claims, Wd1HugeClaim,
                         ::testing::Combine(::testing::Values(std::numeric_limits<std::int32_t>::min(),
                                                              std::numeric_limits<std::int32_t>::max(),
                                                              -2147483625, 100000000),
                                            ::testing::Bool()));

// A block larger than the eager limit: whole at once when the file vouches
// for it, else grown as bytes arrive; either way exactly n samples are held.
class Wd1LargeBlock : public WithAllocator<::testing::TestWithParam<bool>> {};

TEST_P(Wd1LargeBlock, HoldsExactlyItsSamples) {
    const bool seekable = GetParam();
    const std::size_t n = 3 * pelvar::eager_block_bytes / 2 + 7;  // 1.5 MiB of samples, times 2 bytes
    const Wd1 big = event(3, n);
    const Wd1 after = event(4, 2);
    auto script = make_script(file_of({big, after}));
    script->seekable = seekable;
    script->max_per_read = 100000;
    auto reader = make_reader(script, alloc);
    auto outcome = reader.next();
    auto* e = std::get_if<pelvar::WD1Event>(&outcome);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(see(*e), big);
    EXPECT_EQ(alloc.block_bytes(e->data.data()), 2 * n);
    EXPECT_EQ(alloc.live_bytes(), 2 * n);
    if (seekable) {
        EXPECT_EQ(alloc.requests(), 1u);
    } else {
        EXPECT_GT(alloc.requests(), 1u);
        EXPECT_LE(alloc.peak_bytes(), 2 * n);
    }
    EXPECT_EQ(run(reader), events_then_end({after}));
}

TEST_P(Wd1LargeBlock, CutShortStaysBoundedByTheFile) {
    const bool seekable = GetParam();
    const std::size_t n = 20 * pelvar::eager_block_bytes;  // claims 40 MiB
    Wd1 claim = event(3, 0);
    claim.event_size = static_cast<std::int32_t>(24 + 2 * n);
    Bytes file = bytes_of(claim);
    const Bytes held = pattern_bytes(3 * pelvar::eager_block_bytes / 2);  // 1.5 MiB held
    file.insert(file.end(), held.begin(), held.end());
    auto script = make_script(file);
    script->seekable = seekable;
    auto reader = make_reader(script, alloc);
    EXPECT_EQ(step(reader), S::the_end());
    EXPECT_LE(alloc.peak_bytes(), 2 * pelvar::eager_block_bytes);
    EXPECT_EQ(script->bytes_read, file.size());
}

// A header that claims a little more than the file still holds (the rest
// of a run being written, or a damaged size): nothing is allocated beyond
// what the file can fill, give or take a page.
TEST_P(Wd1LargeBlock, ClaimsALittleBeyondTheFileAllocateNoMore) {
    if (!GetParam()) {
        GTEST_SKIP() << "a file that cannot be sized grows its blocks by doubling";
    }
    for (double claimed : {1.1, 2.0, 3.5}) {
        SCOPED_TRACE(claimed);
        CountingAllocator& own = alloc;
        const std::size_t held = 600 * 1024;  // bytes the file holds after the header
        Wd1 claim = event(3, 0);
        claim.event_size = static_cast<std::int32_t>(24 + static_cast<double>(held) * claimed);
        Bytes file = bytes_of(claim);
        const Bytes rest = pattern_bytes(held);
        file.insert(file.end(), rest.begin(), rest.end());
        auto script = make_script(file);
        auto reader = Reader(buffered(script), own.get());
        EXPECT_EQ(step(reader), S::the_end());
        EXPECT_LE(own.largest_request(), held + pelvar::least_step_bytes);
        EXPECT_EQ(own.live_bytes(), 0u);
    }
}

// The allocator refuses a block while it grows (its second or third step,
// on a file that cannot be sized): the event is lost, its bytes skipped, and
// the next event arrives whole.
TEST_P(Wd1LargeBlock, RefusedWhileGrowingLosesOnlyThatEvent) {
    const bool seekable = GetParam();
    for (std::size_t refused_from : {pelvar::eager_block_bytes + 1, 2 * pelvar::eager_block_bytes + 1}) {
        SCOPED_TRACE(refused_from);
        CountingAllocator& own = alloc;
        const std::size_t refusals = own.refusals();
        const Wd1 big = event(3, 5 * pelvar::eager_block_bytes / 4);  // 2.5 MiB of samples
        const Wd1 after = event(4, 5);
        auto script = make_script(file_of({big, after}));
        script->seekable = seekable;
        // Unsized, the steps are 1, 2 and 2.5 MiB; sized, the block is vouched for at once.
        own.refuse_above(seekable ? 2 * big.data.size() - 1 : refused_from);
        auto reader = Reader(buffered(script), own.get());
        auto s = step(reader);
        EXPECT_EQ(s.kind, S::internal_failure) << s;
        EXPECT_NE(s.message.find("memory allocation of"), std::string::npos) << s.message;
        EXPECT_EQ(own.refusals(), refusals + 1);
        EXPECT_EQ(run(reader), events_then_end({after}));
        EXPECT_EQ(own.live_bytes(), 0u);
    }
}

INSTANTIATE_TEST_SUITE_P(Sources, Wd1LargeBlock, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "seekable" : "unseekable"; });

class Wd1RefusedBlock : public WithAllocator<::testing::TestWithParam<bool>> {};

TEST_F(Wd1Test, RefusedAllocationIsAnInternalFailure) {
    auto script = make_script(file_of({event(1, 2), event(2, 500), event(3, 1)}));
    alloc.refuse_above(100);
    auto reader = make_reader(script, alloc);
    EXPECT_EQ(step(reader), S::of(event(1, 2)));
    auto s = step(reader);
    EXPECT_EQ(s.kind, S::internal_failure) << s;
    EXPECT_NE(s.message.find("memory allocation of 1000 bytes failed"), std::string::npos) << s.message;
    EXPECT_EQ(alloc.refusals(), 1u);
}

// The block that could not be allocated is skipped: only its event is lost.
TEST_P(Wd1RefusedBlock, IsSkipped) {
    auto script = make_script(file_of({event(1, 2), event(2, 500), event(3, 1)}));
    script->seekable = GetParam();
    alloc.refuse_above(100);
    auto reader = make_reader(script, alloc);
    EXPECT_EQ(step(reader), S::of(event(1, 2)));
    EXPECT_EQ(step(reader).kind, S::internal_failure);
    EXPECT_EQ(step(reader), S::of(event(3, 1)));
    EXPECT_EQ(step(reader), S::the_end());
}

INSTANTIATE_TEST_SUITE_P(Sources, Wd1RefusedBlock, ::testing::Bool());

TEST_F(Wd1Test, TrailingBytesAreTheEndAndConsumed) {
    const auto events = std::vector<Wd1>{event(1, 3), event(2, 4)};
    Bytes file = file_of(events);
    const Bytes trailing = pattern_bytes(10);
    file.insert(file.end(), trailing.begin(), trailing.end());
    auto script = make_script(file);
    auto reader = make_reader(script, alloc);
    EXPECT_EQ(run(reader), events_then_end(events));
    EXPECT_EQ(script->bytes_read, file.size());
    // The ten bytes are gone: an event appended now is read whole.
    script->append(bytes_of(event(3, 2)));
    EXPECT_EQ(run(reader), events_then_end({event(3, 2)}));
}

TEST_F(Wd1Test, CutSampleBlockIsTheEnd) {
    Bytes file = file_of({event(1, 3), event(2, 100)});
    file.resize(file.size() - 1);
    auto script = make_script(file);
    auto reader = make_reader(script, alloc);
    EXPECT_EQ(run(reader), events_then_end({event(1, 3)}));
    EXPECT_EQ(step(reader), S::the_end());
    EXPECT_FALSE(reader.finished());
}

// After the end at an event boundary, appended events are read.
class Wd1Append : public WithAllocator<::testing::TestWithParam<std::size_t>> {};

TEST_P(Wd1Append, EventAppendedAfterTheEndIsRead) {
    auto script = make_script(file_of({event(1, 3)}));
    script->max_per_read = GetParam();
    auto reader = make_reader(script, alloc);
    EXPECT_EQ(run(reader), events_then_end({event(1, 3)}));
    EXPECT_EQ(step(reader), S::the_end());
    script->append(bytes_of(event(2, 5000)));
    EXPECT_EQ(run(reader), events_then_end({event(2, 5000)}));
    script->append(bytes_of(event(3, 0)));
    script->append(bytes_of(event(4, 1)));
    EXPECT_EQ(run(reader), events_then_end({event(3, 0), event(4, 1)}));
}

INSTANTIATE_TEST_SUITE_P(Deliveries, Wd1Append, ::testing::Values(unlimited, 5));

// An error of the operating system: returned once, then the reader is
// finished and every later step is the end without touching the file.
class Wd1OsError : public WithAllocator<::testing::TestWithParam<std::tuple<std::size_t, bool>>> {};

TEST_P(Wd1OsError, IsReturnedOnceThenTheEnd) {
    const auto [offset, persistent] = GetParam();
    const auto events = mixed_events();
    const Bytes file = file_of(events);
    ASSERT_LE(offset, file.size());
    auto script = make_script(file);
    script->fail_at(offset, EIO, persistent);
    auto reader = make_reader(script, alloc);

    // Events that lie wholly before the bad offset, then the error.
    std::vector<S> expected;
    std::size_t end = 0;
    for (const auto& e : events) {
        end += bytes_of(e).size();
        if (end > offset) break;
        expected.push_back(S::of(e));
    }
    expected.push_back(S::io(EIO));
    EXPECT_EQ(run(reader), expected);
    EXPECT_EQ(expected.back().message, "Input/output error (os error 5)");
    EXPECT_TRUE(reader.finished());

    const auto calls = script->read_calls;
    for (int i = 0; i < 3; ++i) EXPECT_EQ(step(reader), S::the_end());
    EXPECT_EQ(script->read_calls, calls);
    // Even with the fault gone and more data appended.
    script->append(bytes_of(event(9, 1)));
    EXPECT_EQ(step(reader), S::the_end());
    EXPECT_EQ(script->read_calls, calls);
    EXPECT_TRUE(reader.finished());
}

INSTANTIATE_TEST_SUITE_P(Offsets, Wd1OsError,
                         ::testing::Combine(::testing::Values(0, 1, 23, 24, 50, 76, 1100, 5000, 9100, 10100,
                                                              10178),
                                            ::testing::Bool()));

TEST_F(Wd1Test, ErrorAfterAnEndStillLatches) {
    auto script = make_script(file_of({event(1, 3)}));
    auto reader = make_reader(script, alloc);
    EXPECT_EQ(run(reader), events_then_end({event(1, 3)}));
    script->fail_at(script->bytes.size(), EBADF);
    EXPECT_EQ(step(reader), S::io(EBADF));
    script->append(bytes_of(event(2, 1)));
    EXPECT_EQ(step(reader), S::the_end());
}

TEST_F(Wd1Test, CapacityOverflowDoesNotLatch) {
    Wd1 bad = event(1, 0);
    bad.event_size = 22;
    Wd1 zero = event(2, 0);
    zero.event_size = 0;
    auto script = make_script(file_of({bad, event(3, 2), zero, zero, event(4, 1)}));
    auto reader = make_reader(script, alloc);
    EXPECT_EQ(step(reader), S::internal("capacity overflow"));
    EXPECT_EQ(step(reader), S::of(event(3, 2)));
    EXPECT_EQ(step(reader), S::internal("capacity overflow"));
    EXPECT_EQ(step(reader), S::internal("capacity overflow"));
    EXPECT_EQ(run(reader), events_then_end({event(4, 1)}));
    EXPECT_FALSE(reader.finished());
    EXPECT_EQ(alloc.requests(), 2u);
}

// The file cut at every byte offset: exactly the events that end at or
// before the cut, then the end, again and again.
struct Delivery {
    std::size_t max_per_read;
    bool seekable;
};

class Wd1EveryCut : public ::testing::TestWithParam<Delivery> {};

TEST_P(Wd1EveryCut, YieldsTheCompleteEventsBeforeTheCut) {
    const auto events = mixed_events();
    const Bytes file = file_of(events);
    std::vector<std::size_t> ends;
    std::size_t end = 0;
    for (const auto& e : events) ends.push_back(end += bytes_of(e).size());

    for (std::size_t cut = 0; cut <= file.size(); ++cut) {
        CountingAllocator alloc;
        auto script = make_script(Bytes(file.begin(), file.begin() + static_cast<std::ptrdiff_t>(cut)));
        script->max_per_read = GetParam().max_per_read;
        script->seekable = GetParam().seekable;
        std::vector<Wd1> whole;
        for (std::size_t i = 0; i < events.size() && ends[i] <= cut; ++i) whole.push_back(events[i]);
        {
            auto reader = make_reader(script, alloc);
            ASSERT_EQ(run(reader), events_then_end(whole)) << "cut at " << cut;
            ASSERT_EQ(step(reader), S::the_end()) << "cut at " << cut;
            ASSERT_EQ(step(reader), S::the_end()) << "cut at " << cut;
            ASSERT_FALSE(reader.finished());
        }
        ASSERT_EQ(alloc.live_bytes(), 0u) << "cut at " << cut;
        ASSERT_EQ(script->bytes_read, cut);
    }
}

INSTANTIATE_TEST_SUITE_P(Deliveries, Wd1EveryCut,
                         ::testing::Values(Delivery{unlimited, true}, Delivery{997, false}),
                         [](const auto& info) { return info.param.seekable ? "seekable" : "unseekable_short"; });

// Interrupted and short reads anywhere give the same events.
class Wd1Interrupted : public WithAllocator<::testing::TestWithParam<std::size_t>> {};

TEST_P(Wd1Interrupted, AtEveryCallGivesTheSameEvents) {
    const std::size_t max_per_read = GetParam();
    // Byte by byte the large event would make this quadratic run too long.
    auto events = mixed_events();
    if (max_per_read < 10) events.erase(events.begin() + 3);
    const Bytes file = file_of(events);
    std::size_t calls = 0;
    {
        auto script = make_script(file);
        script->max_per_read = max_per_read;
        auto reader = make_reader(script, alloc);
        ASSERT_EQ(run(reader), events_then_end(events));
        calls = script->read_calls;
    }
    for (std::size_t call = 1; call <= calls; ++call) {
        auto script = make_script(file);
        script->max_per_read = max_per_read;
        script->interrupt_calls = {call};
        auto reader = make_reader(script, alloc);
        ASSERT_EQ(run(reader), events_then_end(events)) << "EINTR on call " << call;
        ASSERT_EQ(script->interrupts, 1u);
    }
}

TEST_P(Wd1Interrupted, EveryFewCallsGivesTheSameEvents) {
    const auto events = mixed_events();
    for (std::size_t every : {2, 3, 5}) {
        auto script = make_script(file_of(events));
        script->max_per_read = GetParam();
        script->interrupt_every = every;
        auto reader = make_reader(script, alloc);
        EXPECT_EQ(run(reader), events_then_end(events)) << "EINTR every " << every << " calls";
        EXPECT_EQ(script->interrupts, script->read_calls / every);
        EXPECT_FALSE(reader.finished());
    }
}

INSTANTIATE_TEST_SUITE_P(Deliveries, Wd1Interrupted, ::testing::Values(unlimited, 4096, 97, 13, 1));

}  // namespace
}  // namespace pelvar_test
