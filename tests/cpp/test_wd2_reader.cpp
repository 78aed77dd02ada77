// The WD2 reader and its layout probe over scripted in-memory files.
#include <gtest/gtest.h>

#include <bit>
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
#include "wd2_reader.hpp"

namespace pelvar_test {
namespace {

using Reader = pelvar::WD2Reader<Buffered>;
constexpr std::size_t unlimited = std::numeric_limits<std::size_t>::max();

// One event as written and as expected back; samples as their bit patterns,
// so NaN payloads and negative zero compare exactly.
struct Wd2 {
    std::uint32_t event_counter = 0;
    std::uint64_t timestamp = 0;
    std::uint32_t samples = 0;
    std::uint64_t sampling_period = 0;
    std::int32_t channels = 1;
    std::vector<std::uint32_t> bits;

    friend bool operator==(const Wd2&, const Wd2&) = default;
    friend std::ostream& operator<<(std::ostream& os, const Wd2& e) {
        os << "{counter " << e.event_counter << ", time " << e.timestamp << ", samples " << e.samples
           << ", period " << e.sampling_period << ", channels " << e.channels << ", " << e.bits.size()
           << " values";
        if (!e.bits.empty()) os << std::hex << " [0x" << e.bits.front() << " .. 0x" << e.bits.back() << "]" << std::dec;
        return os << "}";
    }
};

using S = Step<Wd2>;

std::uint32_t bits_of(float f) { return std::bit_cast<std::uint32_t>(f); }

// An event of `channels` x `samples` distinct values.
Wd2 event(std::uint32_t counter, std::uint32_t samples, std::int32_t channels, std::uint64_t period = 1000) {
    Wd2 e{counter, 5000u + 17u * counter, samples, period, channels, {}};
    const std::size_t n = std::size_t{samples} * static_cast<std::size_t>(channels < 0 ? 0 : channels);
    for (std::size_t i = 0; i < n; ++i)
        e.bits.push_back(bits_of(static_cast<float>(counter) * 1000.0f + static_cast<float>(i) + 0.25f));
    return e;
}

// A single-channel event whose first value is `first`.
Wd2 single(std::uint32_t counter, std::uint32_t samples, std::uint32_t first, std::uint64_t period = 8) {
    Wd2 e = event(counter, samples, 1, period);
    if (!e.bits.empty()) e.bits[0] = first;
    return e;
}

Bytes bytes_of(const Wd2& e, bool channel_field) {
    Bytes out;
    put_u32(out, e.event_counter);
    put_u64(out, e.timestamp);
    put_u32(out, e.samples);
    put_u64(out, e.sampling_period);
    if (channel_field) put_i32(out, e.channels);
    for (auto b : e.bits) put_u32(out, b);
    return out;
}

Bytes file_of(const std::vector<Wd2>& events, bool channel_field) {
    Bytes out;
    for (const auto& e : events) {
        auto b = bytes_of(e, channel_field);
        out.insert(out.end(), b.begin(), b.end());
    }
    return out;
}

Bytes prefix(const Bytes& bytes, std::size_t n) { return Bytes(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(n)); }

std::vector<std::uint32_t> words_at(const Bytes& file, std::size_t offset, std::size_t count) {
    std::vector<std::uint32_t> words;
    for (std::size_t i = 0; i < count; ++i) {
        std::uint32_t w = 0;
        for (std::size_t k = 0; k < 4; ++k) w |= static_cast<std::uint32_t>(file[offset + 4 * i + k]) << (8 * k);
        words.push_back(w);
    }
    return words;
}

Wd2 see(const pelvar::WD2Event& e) {
    Wd2 seen{e.event_counter, e.timestamp, e.samples, e.sampling_period, e.channels, {}};
    for (std::size_t i = 0; i < e.data.size(); ++i) seen.bits.push_back(bits_of(e.data.data()[i]));
    return seen;
}

S step(Reader& reader) { return step_of<Wd2>(reader.next(), see); }

std::vector<S> run(Reader& reader, std::size_t limit = 10000) {
    std::vector<S> steps;
    for (std::size_t i = 0; i < limit; ++i) {
        steps.push_back(step(reader));
        if (steps.back().kind != S::event) break;
    }
    return steps;
}

std::vector<S> events_then_end(const std::vector<Wd2>& events) {
    std::vector<S> steps;
    for (const auto& e : events) steps.push_back(S::of(e));
    steps.push_back(S::the_end());
    return steps;
}

std::string describe(const Reader::Opened& opened) {
    if (auto* f = std::get_if<pelvar::IoFailure>(&opened)) return "open failed: " + f->display();
    if (auto* f = std::get_if<pelvar::InternalFailure>(&opened)) return "open failed: " + f->message;
    return "opened";
}

// A failed open, as a step: an I/O failure or an internal one.
S failure_of(const Reader::Opened& opened) {
    if (auto* f = std::get_if<pelvar::IoFailure>(&opened)) {
        S s = S::io(f->error_number());
        s.message = f->display();
        return s;
    }
    if (auto* f = std::get_if<pelvar::InternalFailure>(&opened)) return S::internal(f->message);
    return S::the_end();  // never equal to an expected failure
}

const S end_of_file_failure = S::io(0);

Reader::Opened open(const std::shared_ptr<FileScript>& script, const CountingAllocator& alloc) {
    return Reader::open(buffered(script), alloc.get());
}

using Wd2Test = WithAllocator<::testing::Test>;

TEST(Wd2Arithmetic, BlockBytesAndFollowing) {
    EXPECT_EQ(pelvar::wd2_block_bytes(3, 2), 24u);
    EXPECT_EQ(pelvar::wd2_block_bytes(0, -1), 0u);
    EXPECT_EQ(pelvar::wd2_block_bytes(1, -1), std::nullopt);
    EXPECT_EQ(pelvar::wd2_block_bytes(1u << 28, std::numeric_limits<std::int32_t>::max()),
              (std::uint64_t{1} << 30) * 0x7FFFFFFFu);
    // Above 2^63 - 1 bytes: refused even for a positive channel count.
    EXPECT_EQ(pelvar::wd2_block_bytes(0xFFFFFFFFu, std::numeric_limits<std::int32_t>::max()), std::nullopt);
    EXPECT_EQ(pelvar::wd2_block_bytes(1, std::numeric_limits<std::int32_t>::min()), std::nullopt);
    const pelvar::WD2Header a{0xFFFFFFFFu, 1, 3, 7};
    const pelvar::WD2Header b{0, 999, 3, 7};
    EXPECT_TRUE(pelvar::wd2_follows(a, b));
    EXPECT_FALSE(pelvar::wd2_follows(b, a));
}

// The layout probe over files written with the channel-count field.
struct ProbeCase {
    const char* name;
    std::vector<Wd2> events;
    std::int32_t probed;
};

std::ostream& operator<<(std::ostream& os, const ProbeCase& c) { return os << c.name; }

std::vector<ProbeCase> probe_cases() {
    auto with = [](Wd2 e, auto change) {
        change(e);
        return e;
    };
    const Wd2 e41 = event(41, 3, 2);
    std::vector<ProbeCase> cases{
        {"consecutive", {e41, event(42, 3, 2), event(43, 3, 2)}, 2},
        {"counter_gap", {e41, event(43, 3, 2), event(44, 3, 2)}, 1},
        {"counter_wraps", {event(4294967295u, 3, 2), event(0, 3, 2), event(1, 3, 2)}, 2},
        {"counter_backwards", {e41, event(40, 3, 2)}, 1},
        {"period_differs", {e41, event(42, 3, 2, 1001), event(43, 3, 2)}, 1},
        {"samples_differ", {e41, event(42, 4, 2), event(43, 3, 2)}, 1},
        {"channels_differ", {e41, event(42, 3, 3), event(43, 3, 2)}, 1},
        {"timestamps_ignored",
         {with(e41, [](Wd2& e) { e.timestamp = ~std::uint64_t{0}; }),
          with(event(42, 3, 2), [](Wd2& e) { e.timestamp = 0; }), event(43, 3, 2)},
         2},
        {"channel_count_one", {event(41, 3, 1), event(42, 3, 1), event(43, 3, 1)}, 1},
        {"channel_count_zero", {event(41, 3, 0), event(42, 3, 0)}, 0},
        {"channel_count_three", {event(7, 5, 3), event(8, 5, 3), event(9, 5, 3), event(10, 5, 3)}, 3},
        {"channel_count_large", {event(7, 1, 300), event(8, 1, 300), event(9, 1, 300)}, 300},
        {"samples_zero", {event(7, 0, 4), event(8, 0, 4), event(9, 5, 4), event(10, 0, 4), event(11, 2, 4)}, 4},
    };
    return cases;
}

class Wd2Probe : public WithAllocator<::testing::TestWithParam<ProbeCase>> {};

TEST_P(Wd2Probe, FixesTheChannelCount) {
    const ProbeCase& c = GetParam();
    const Bytes file = file_of(c.events, true);
    auto script = make_script(file);
    auto opened = open(script, alloc);
    auto* reader = std::get_if<Reader>(&opened);
    ASSERT_NE(reader, nullptr) << describe(opened);
    EXPECT_EQ(reader->probed_channels(), c.probed);
    EXPECT_EQ(alloc.requests(), 0u);
    if (c.probed >= 2) {
        // Every event carries the field: all come back as written.
        EXPECT_EQ(run(*reader), events_then_end(c.events));
        return;
    }
    // Read without the field: 24-byte headers, probed x samples values, so
    // the first event's values start with the bytes of its channel count.
    const Wd2& first = c.events.front();
    Wd2 expected{first.event_counter, first.timestamp, first.samples, first.sampling_period, c.probed,
                 words_at(file, 24, std::size_t{first.samples} * static_cast<std::size_t>(c.probed))};
    EXPECT_EQ(step(*reader), S::of(expected));
}

INSTANTIATE_TEST_SUITE_P(Table, Wd2Probe, ::testing::ValuesIn(probe_cases()),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(Wd2Test, EventsOfAProbedFileTakeTheirSizeFromTheProbe) {
    // Three channels probed; the third event's own field says 2 but its block
    // holds three channels' values, and the fourth follows right after it.
    Wd2 odd = event(3, 4, 3);
    odd.channels = 2;
    const std::vector<Wd2> events{event(1, 4, 3), event(2, 4, 3), odd, event(4, 4, 3)};
    auto script = make_script(file_of(events, true));
    auto opened = open(script, alloc);
    auto* reader = std::get_if<Reader>(&opened);
    ASSERT_NE(reader, nullptr) << describe(opened);
    ASSERT_EQ(reader->probed_channels(), 3);
    const auto steps = run(*reader);
    EXPECT_EQ(steps, events_then_end(events));
    ASSERT_GE(steps.size(), 3u);
    EXPECT_EQ(steps[2].seen.channels, 2);
    EXPECT_EQ(steps[2].seen.bits.size(), 12u);
}

TEST_F(Wd2Test, BuffersHoldExactlyTheirValues) {
    const std::vector<Wd2> events{event(1, 3, 2), event(2, 3, 2), event(3, 70000, 2)};
    auto script = make_script(file_of(events, true));
    auto opened = open(script, alloc);
    auto* reader = std::get_if<Reader>(&opened);
    ASSERT_NE(reader, nullptr) << describe(opened);
    for (const auto& written : events) {
        auto outcome = reader->next();
        auto* e = std::get_if<pelvar::WD2Event>(&outcome);
        ASSERT_NE(e, nullptr);
        EXPECT_EQ(see(*e), written);
        EXPECT_EQ(alloc.block_bytes(e->data.data()), 4 * written.bits.size());
    }
}

// Single-channel files: the probe reads the first value as a channel count.
struct SingleCase {
    const char* name;
    std::uint32_t first_bits;
};

std::ostream& operator<<(std::ostream& os, const SingleCase& c) { return os << c.name; }

class Wd2SingleChannel : public WithAllocator<::testing::TestWithParam<SingleCase>> {};

std::vector<Wd2> single_channel_events(std::uint32_t first_bits) {
    return {single(5, 4, first_bits), single(6, 4, bits_of(-7.5f)), single(7, 0, 0), single(8, 2100, bits_of(1.5f)),
            single(9, 4, bits_of(3.0f))};
}

TEST_P(Wd2SingleChannel, OpensWithOneChannelAndReadsBackExactly) {
    const auto events = single_channel_events(GetParam().first_bits);
    auto script = make_script(file_of(events, false));
    auto opened = open(script, alloc);
    auto* reader = std::get_if<Reader>(&opened);
    ASSERT_NE(reader, nullptr) << describe(opened);
    EXPECT_EQ(reader->probed_channels(), 1);
    EXPECT_EQ(alloc.requests(), 0u);
    EXPECT_EQ(run(*reader), events_then_end(events));
    EXPECT_EQ(step(*reader), S::the_end());
}

// A value whose bits are a huge or a negative count makes the first reading
// fail (past the end, or "capacity overflow"); the file is then read as
// single-channel. Small counts make the second header mismatch.
INSTANTIATE_TEST_SUITE_P(FirstValues, Wd2SingleChannel,
                         ::testing::Values(SingleCase{"plus_1_5", bits_of(1.5f)},
                                           SingleCase{"minus_2_0", bits_of(-2.0f)},
                                           SingleCase{"plus_zero", bits_of(0.0f)},
                                           SingleCase{"minus_zero", bits_of(-0.0f)},
                                           SingleCase{"quiet_nan_payload", 0x7FC00001u},
                                           SingleCase{"negative_nan_payload", 0xFFBFFFFFu},
                                           SingleCase{"plus_infinity", 0x7F800000u},
                                           SingleCase{"smallest_denormal", 0x00000001u},
                                           SingleCase{"denormal_2", 0x00000002u},
                                           SingleCase{"one", bits_of(1.0f)}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(Wd2Test, AllZeroSingleChannelFile) {
    // Counter 5, 16 values of +0.0: the probe takes a channel count of 0,
    // skips nothing and finds counter 0 where 6 was due.
    Wd2 zero{5, 0, 16, 0, 1, std::vector<std::uint32_t>(16, 0)};
    for (bool alone : {true, false}) {
        std::vector<Wd2> events{zero};
        if (!alone) events.push_back(Wd2{6, 0, 16, 0, 1, std::vector<std::uint32_t>(16, 0)});
        auto script = make_script(file_of(events, false));
        auto opened = open(script, alloc);
        auto* reader = std::get_if<Reader>(&opened);
        ASSERT_NE(reader, nullptr) << describe(opened);
        EXPECT_EQ(reader->probed_channels(), 1);
        EXPECT_EQ(run(*reader), events_then_end(events));
    }
}

// Files the probe cannot make sense of: the first failure stands.
struct OpenFailureCase {
    const char* name;
    Bytes file;
    S failure;
};

std::ostream& operator<<(std::ostream& os, const OpenFailureCase& c) { return os << c.name; }

std::vector<OpenFailureCase> open_failure_cases() {
    Wd2 negative = event(1, 3, 2);
    negative.channels = -1;
    Wd2 negative2 = event(2, 3, 2);
    negative2.channels = -1;
    return {
        {"empty", {}, end_of_file_failure},
        {"header_only_part", pattern_bytes(27), end_of_file_failure},
        {"one_multi_channel_event", file_of({event(41, 3, 2)}, true), end_of_file_failure},
        {"one_four_channel_event", file_of({event(41, 3, 4)}, true), end_of_file_failure},
        {"one_empty_multi_channel_event", file_of({event(41, 0, 2)}, true), end_of_file_failure},
        {"one_single_channel_event_1_5", file_of({single(5, 4, bits_of(1.5f))}, false), end_of_file_failure},
        {"single_channel_counter_gap_1_5",
         file_of({single(5, 4, bits_of(1.5f)), single(7, 4, 0), single(8, 4, 0)}, false), end_of_file_failure},
        {"single_channel_period_differs_1_5",
         file_of({single(5, 4, bits_of(1.5f), 8), single(6, 4, 0, 9), single(7, 4, 0)}, false),
         end_of_file_failure},
        {"single_channel_counter_gap_minus_2",
         file_of({single(5, 4, bits_of(-2.0f)), single(7, 4, 0), single(8, 4, 0)}, false),
         S::internal("capacity overflow")},
        {"one_single_channel_event_minus_2", file_of({single(5, 4, bits_of(-2.0f))}, false),
         S::internal("capacity overflow")},
        {"negative_channel_count", file_of({negative, negative2}, true), S::internal("capacity overflow")},
        {"block_past_the_end", prefix(file_of({event(41, 1000, 2)}, true), 3000), end_of_file_failure},
        {"cut_in_second_header", prefix(file_of({event(41, 3, 2), event(42, 3, 2)}, true), 52 + 27),
         end_of_file_failure},
    };
}

class Wd2OpenFailure : public WithAllocator<::testing::TestWithParam<OpenFailureCase>> {};

TEST_P(Wd2OpenFailure, ReleasesTheSource) {
    const auto& c = GetParam();
    for (bool seekable : {true, false}) {
        auto script = make_script(c.file);
        script->seekable = seekable;
        auto opened = open(script, alloc);
        EXPECT_EQ(failure_of(opened), c.failure) << (seekable ? "seekable" : "unseekable");
        EXPECT_TRUE(script->released());
        EXPECT_EQ(alloc.requests(), 0u);
        EXPECT_LE(script->furthest_position, c.file.size());
    }
}

INSTANTIATE_TEST_SUITE_P(Files, Wd2OpenFailure, ::testing::ValuesIn(open_failure_cases()),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Wd2Failure, EndOfFileText) { EXPECT_EQ(end_of_file_failure.message, "failed to fill whole buffer"); }

// A source that cannot seek: the probe reads, then the seek back fails.
class Wd2Unseekable : public WithAllocator<::testing::TestWithParam<std::tuple<const char*, bool>>> {};

TEST_P(Wd2Unseekable, OpenFailsWithTheSeekFailure) {
    const auto [name, channel_field] = GetParam();
    const std::vector<Wd2> events =
        channel_field ? std::vector<Wd2>{event(41, 3, 2), event(42, 3, 2), event(43, 3, 2)}
                      : std::vector<Wd2>{Wd2{5, 0, 16, 0, 1, std::vector<std::uint32_t>(16, 0)},
                                         Wd2{6, 0, 16, 0, 1, std::vector<std::uint32_t>(16, 0)}};
    auto script = make_script(file_of(events, channel_field));
    script->seekable = false;
    auto opened = open(script, alloc);
    const S failure = failure_of(opened);
    EXPECT_EQ(failure, S::io(ESPIPE)) << name;
    EXPECT_EQ(failure.message, "Illegal seek (os error 29)");
    EXPECT_GE(script->bytes_read, 2u * 28u) << "the probe reads before it seeks";
    EXPECT_GE(script->seek_to_start_calls, 1u);
    EXPECT_TRUE(script->released());
}

INSTANTIATE_TEST_SUITE_P(Files, Wd2Unseekable,
                         ::testing::Values(std::make_tuple("multi_channel", true),
                                           std::make_tuple("all_zero_single_channel", false)),
                         [](const auto& info) { return std::string(std::get<0>(info.param)); });

TEST_F(Wd2Test, UnseekableSourceSkipsTheProbeBlockByReading) {
    const std::vector<Wd2> events{event(1, 100000, 2), event(2, 100000, 2)};
    auto script = make_script(file_of(events, true));
    script->seekable = false;
    auto opened = open(script, alloc);
    EXPECT_EQ(failure_of(opened), S::io(ESPIPE));
    EXPECT_GE(script->bytes_read, 28u + 800000u + 28u);
    EXPECT_EQ(script->seek_forward_calls, 0u);
}

TEST_F(Wd2Test, ProbeSkipsTheBlockBySeeking) {
    const std::vector<Wd2> events{event(1, 100000, 2), event(2, 100000, 2), event(3, 3, 2)};
    const Bytes file = file_of(events, true);
    auto script = make_script(file);
    auto opened = open(script, alloc);
    auto* reader = std::get_if<Reader>(&opened);
    ASSERT_NE(reader, nullptr) << describe(opened);
    EXPECT_EQ(reader->probed_channels(), 2);
    EXPECT_EQ(script->seek_forward_calls, 1u);
    EXPECT_LE(script->read_calls, 3u);
    EXPECT_LE(script->bytes_read, 2u * Buffered::capacity);
    EXPECT_EQ(alloc.requests(), 0u);
    // After the probe the reader stands at offset 0.
    EXPECT_EQ(run(*reader), events_then_end(events));
}

TEST_F(Wd2Test, ProbeChecksTheSkipAgainstTheFileSize) {
    // The first block claims 2^40 bytes; the file holds 300.
    Wd2 claim = event(1, 0, 256);
    claim.samples = 1u << 30;
    Bytes file = bytes_of(claim, true);
    const Bytes rest = pattern_bytes(300 - file.size());
    file.insert(file.end(), rest.begin(), rest.end());
    auto script = make_script(file);
    auto opened = open(script, alloc);
    EXPECT_EQ(failure_of(opened), end_of_file_failure);
    EXPECT_EQ(script->seek_forward_calls, 0u);
    EXPECT_LE(script->furthest_position, file.size());
    EXPECT_EQ(alloc.requests(), 0u);
    EXPECT_TRUE(script->released());
}

TEST_F(Wd2Test, HugeBlockClaimInAnEventEndsWithoutLargeAllocation) {
    // Probed 256 channels; the third header claims 2^30 x 256 x 4 = 2^40 bytes.
    const std::vector<Wd2> events{event(1, 1, 256), event(2, 1, 256)};
    Bytes file = file_of(events, true);
    Wd2 claim = event(3, 0, 256);
    claim.samples = 1u << 30;
    const Bytes header = bytes_of(claim, true);
    file.insert(file.end(), header.begin(), header.end());
    const Bytes rest = pattern_bytes(100);
    file.insert(file.end(), rest.begin(), rest.end());
    auto script = make_script(file);
    auto opened = open(script, alloc);
    auto* reader = std::get_if<Reader>(&opened);
    ASSERT_NE(reader, nullptr) << describe(opened);
    ASSERT_EQ(reader->probed_channels(), 256);
    const auto read_by_probe = script->bytes_read;
    EXPECT_EQ(run(*reader), events_then_end(events));
    EXPECT_EQ(step(*reader), S::the_end());
    EXPECT_LE(alloc.largest_request(), pelvar::eager_block_bytes);
    EXPECT_LE(alloc.peak_bytes(), pelvar::eager_block_bytes);
    EXPECT_EQ(script->bytes_read - read_by_probe, file.size());
}

// An error of the operating system during the probe fails the open with it;
// it is not taken for a single-channel file.
TEST_F(Wd2Test, ReadErrorInTheProbeFailsTheOpen) {
    const Bytes multi = file_of({event(1, 3, 2), event(2, 3, 2), event(3, 3, 2)}, true);
    const Bytes single = file_of(single_channel_events(bits_of(1.5f)), false);
    for (const auto& [file, offset] : std::vector<std::pair<Bytes, std::uint64_t>>{
             {multi, 0}, {multi, 10}, {multi, 27}, {multi, 40}, {multi, 60}, {multi, 79},
             {single, 0}, {single, 10}, {single, 27}}) {
        auto script = make_script(file);
        script->fail_at(offset, EIO);
        auto opened = open(script, alloc);
        EXPECT_EQ(failure_of(opened), S::io(EIO)) << "error at " << offset;
        EXPECT_TRUE(script->released());
    }
}

// Every read call of the probe failed in turn, those of the single-channel
// re-reading included: the open fails with that error, never with the end of
// file that the first reading met.
TEST_F(Wd2Test, ReadErrorAtEveryCallOfTheProbeFailsTheOpen) {
    for (std::uint32_t first : {bits_of(1.5f), bits_of(-2.0f), 0u}) {
        const Bytes single = file_of(single_channel_events(first), false);
        auto clean = make_script(single);
        clean->max_per_read = 20;
        {
            auto opened = open(clean, alloc);
            ASSERT_NE(std::get_if<Reader>(&opened), nullptr);
        }
        for (std::size_t call = 1; call <= clean->read_calls; ++call) {
            auto script = make_script(single);
            script->max_per_read = 20;
            script->error_calls = {call};
            auto opened = open(script, alloc);
            EXPECT_EQ(failure_of(opened), S::io(EIO)) << "error at call " << call << " of " << clean->read_calls;
            EXPECT_TRUE(script->released());
        }
    }
}

// Events with a negative probed channel count: read without the field, and a
// block of a negative size is "capacity overflow" after its header.
TEST_F(Wd2Test, NegativeProbedChannelCount) {
    // Seen with the field, two consecutive empty events with channel count -1.
    Bytes file;
    put_u32(file, 1);            // counter
    put_u64(file, 111);          // timestamp
    put_u32(file, 0);            // samples
    put_u64(file, 77);           // sampling period
    put_i32(file, -1);           // channels
    put_u32(file, 2);            // second header: counter
    put_u64(file, (std::uint64_t{5} << 32) | 0x11);  // timestamp
    put_u32(file, 0);            // samples
    put_u64(file, 77);           // sampling period
    put_i32(file, -1);           // channels
    put_u32(file, 0);            // then bytes that a 24-byte header at 48 ends with
    put_u32(file, 0);
    put_u64(file, 99);
    auto script = make_script(file);
    auto opened = open(script, alloc);
    auto* reader = std::get_if<Reader>(&opened);
    ASSERT_NE(reader, nullptr) << describe(opened);
    ASSERT_EQ(reader->probed_channels(), -1);
    // At 0: counter 1, no field, 0 values.
    EXPECT_EQ(step(*reader), S::of(Wd2{1, 111, 0, 77, -1, {}}));
    // At 24: counter 0xFFFFFFFF (the -1), samples 5 (the timestamp's high
    // word): 5 x -1 x 4 bytes is refused before any of it is read.
    EXPECT_EQ(step(*reader), S::internal("capacity overflow"));
    EXPECT_EQ(alloc.requests(), 0u);
    // The next step reads on right behind that header, at 48.
    EXPECT_EQ(step(*reader), S::of(Wd2{0, 0x00000000FFFFFFFFu, 0, 99, -1, {}}));
    EXPECT_EQ(step(*reader), S::the_end());
}

TEST_F(Wd2Test, SpecialValuesArriveBitForBit) {
    const std::vector<std::uint32_t> special{0x7FC00001u, 0xFFBFFFFFu, 0x80000000u, 0x7F800000u,
                                             0xFF800000u, 0x00000001u, 0x7FFFFFFFu, 0x7F800001u};
    Wd2 a = event(1, 4, 2);
    Wd2 b = event(2, 4, 2);
    a.bits = special;
    b.bits = std::vector<std::uint32_t>(special.rbegin(), special.rend());
    std::vector<Wd2> multi{a, b};
    auto script = make_script(file_of(multi, true));
    auto opened = open(script, alloc);
    auto* reader = std::get_if<Reader>(&opened);
    ASSERT_NE(reader, nullptr) << describe(opened);
    EXPECT_EQ(run(*reader), events_then_end(multi));

    Wd2 c{10, 0, 8, 3, 1, special};
    Wd2 d{11, 0, 8, 3, 1, std::vector<std::uint32_t>(special.rbegin(), special.rend())};
    auto single_script = make_script(file_of({c, d}, false));
    auto single_opened = open(single_script, alloc);
    auto* single_reader = std::get_if<Reader>(&single_opened);
    ASSERT_NE(single_reader, nullptr) << describe(single_opened);
    EXPECT_EQ(run(*single_reader), events_then_end({c, d}));
}

TEST_F(Wd2Test, EndIsGivenAgainOnEveryCall) {
    const std::vector<Wd2> events{event(1, 3, 2), event(2, 3, 2)};
    auto script = make_script(file_of(events, true));
    auto opened = open(script, alloc);
    auto* reader = std::get_if<Reader>(&opened);
    ASSERT_NE(reader, nullptr) << describe(opened);
    EXPECT_EQ(run(*reader), events_then_end(events));
    for (int i = 0; i < 3; ++i) EXPECT_EQ(step(*reader), S::the_end());
    // The reader keeps no end state: appended events are read.
    script->append(bytes_of(event(3, 3, 2), true));
    EXPECT_EQ(run(*reader), events_then_end({event(3, 3, 2)}));
}

// Read errors in next are returned, and the reader reads on from where the
// failed read left it.
TEST_F(Wd2Test, ReadErrorIsReturnedAndTheReaderReadsOn) {
    const std::vector<Wd2> events{event(1, 3, 2), event(2, 3, 2), event(3, 3, 2), event(4, 3, 2)};
    const Bytes file = file_of(events, true);
    const std::size_t third = 2 * 52;
    {
        auto script = make_script(file);
        script->fail_at(third, EIO);
        auto opened = open(script, alloc);
        auto* reader = std::get_if<Reader>(&opened);
        ASSERT_NE(reader, nullptr) << describe(opened);
        std::vector<S> expected{S::of(events[0]), S::of(events[1]), S::io(EIO)};
        EXPECT_EQ(run(*reader), expected);
        EXPECT_EQ(expected.back().message, "Input/output error (os error 5)");
        EXPECT_EQ(run(*reader), events_then_end({events[2], events[3]}));
    }
    {
        // Ten stray bytes before the third event, and the error right behind
        // them: the failed header read consumes them.
        Bytes strayed(file.begin(), file.begin() + third);
        const Bytes stray = pattern_bytes(10);
        strayed.insert(strayed.end(), stray.begin(), stray.end());
        strayed.insert(strayed.end(), file.begin() + third, file.end());
        auto script = make_script(strayed);
        script->fail_at(third + 10, EIO);
        auto opened = open(script, alloc);
        auto* reader = std::get_if<Reader>(&opened);
        ASSERT_NE(reader, nullptr) << describe(opened);
        EXPECT_EQ(run(*reader), (std::vector<S>{S::of(events[0]), S::of(events[1]), S::io(EIO)}));
        EXPECT_EQ(run(*reader), events_then_end({events[2], events[3]}));
    }
    {
        // A lasting error: returned on every call, each one a new read.
        auto script = make_script(file);
        script->fail_at(third, EIO, true);
        auto opened = open(script, alloc);
        auto* reader = std::get_if<Reader>(&opened);
        ASSERT_NE(reader, nullptr) << describe(opened);
        EXPECT_EQ(run(*reader), (std::vector<S>{S::of(events[0]), S::of(events[1]), S::io(EIO)}));
        for (int i = 0; i < 3; ++i) {
            const auto calls = script->read_calls;
            EXPECT_EQ(step(*reader), S::io(EIO));
            EXPECT_GT(script->read_calls, calls);
        }
        script->error_at.reset();
        EXPECT_EQ(run(*reader), events_then_end({events[2], events[3]}));
    }
}

TEST_F(Wd2Test, ReadErrorInsideABlock) {
    const std::vector<Wd2> events{event(1, 3, 2), event(2, 3, 2), event(3, 3000, 2)};
    auto script = make_script(file_of(events, true));
    script->fail_at(2 * 52 + 28 + 10000, EIO);
    auto opened = open(script, alloc);
    auto* reader = std::get_if<Reader>(&opened);
    ASSERT_NE(reader, nullptr) << describe(opened);
    EXPECT_EQ(run(*reader), (std::vector<S>{S::of(events[0]), S::of(events[1]), S::io(EIO)}));
}

// The file cut at every byte: the events that end before the cut, then the
// end on every call; a cut inside what the probe needs fails the open.
struct CutCase {
    const char* name;
    std::vector<Wd2> events;
    bool channel_field;
    std::size_t probe_needs;  // bytes the open needs
    // Cuts from here to probe_needs fail with "capacity overflow" (a negative
    // first value read as a channel count), shorter ones with the end of the file.
    std::size_t overflow_from = std::numeric_limits<std::size_t>::max();
};

std::ostream& operator<<(std::ostream& os, const CutCase& c) { return os << c.name; }

struct Delivery {
    const char* name;
    std::size_t max_per_read;
    std::size_t interrupt_every;
};

class Wd2EveryCut : public ::testing::TestWithParam<std::tuple<CutCase, Delivery>> {};

TEST_P(Wd2EveryCut, YieldsTheCompleteEventsBeforeTheCut) {
    const auto& [c, delivery] = GetParam();
    const Bytes file = file_of(c.events, c.channel_field);
    std::vector<std::size_t> ends;
    std::size_t end = 0;
    for (const auto& e : c.events) ends.push_back(end += bytes_of(e, c.channel_field).size());

    for (std::size_t cut = 0; cut <= file.size(); ++cut) {
        CountingAllocator alloc;
        auto script = make_script(Bytes(file.begin(), file.begin() + static_cast<std::ptrdiff_t>(cut)));
        script->max_per_read = delivery.max_per_read;
        script->interrupt_every = delivery.interrupt_every;
        {
            auto opened = open(script, alloc);
            auto* reader = std::get_if<Reader>(&opened);
            if (cut < c.probe_needs) {
                ASSERT_EQ(failure_of(opened),
                          cut >= c.overflow_from ? S::internal("capacity overflow") : end_of_file_failure)
                    << "cut at " << cut;
                ASSERT_TRUE(script->released());
                continue;
            }
            ASSERT_NE(reader, nullptr) << describe(opened) << ", cut at " << cut;
            std::vector<Wd2> whole;
            for (std::size_t i = 0; i < c.events.size() && ends[i] <= cut; ++i) whole.push_back(c.events[i]);
            ASSERT_EQ(run(*reader), events_then_end(whole)) << "cut at " << cut;
            ASSERT_EQ(step(*reader), S::the_end()) << "cut at " << cut;
            ASSERT_EQ(step(*reader), S::the_end()) << "cut at " << cut;
        }
        ASSERT_EQ(alloc.live_bytes(), 0u) << "cut at " << cut;
    }
}

std::vector<CutCase> cut_cases() {
    return {
        {"multi_channel",
         {event(1, 3, 2), event(2, 3, 2), event(3, 0, 2), event(4, 1500, 2), event(5, 3, 2)},
         true,
         28 + 24 + 28},
        {"single_channel_1_5", single_channel_events(bits_of(1.5f)), false, 24 + 16 + 24},
        {"single_channel_minus_2", single_channel_events(bits_of(-2.0f)), false, 24 + 16 + 24, 28},
    };
}

INSTANTIATE_TEST_SUITE_P(Files, Wd2EveryCut,
                         ::testing::Combine(::testing::ValuesIn(cut_cases()),
                                            ::testing::Values(Delivery{"whole", unlimited, 0},
                                                              Delivery{"short_interrupted", 997, 3})),
                         [](const auto& info) {
                             return std::string(std::get<0>(info.param).name) + "_" + std::get<1>(info.param).name;
                         });

// Interrupted and short reads anywhere give the same events.
class Wd2Interrupted : public WithAllocator<::testing::TestWithParam<std::tuple<bool, std::size_t>>> {};

TEST_P(Wd2Interrupted, AtEveryCallGivesTheSameEvents) {
    const auto [channel_field, max_per_read] = GetParam();
    std::vector<Wd2> events = channel_field ? std::vector<Wd2>{event(1, 3, 2), event(2, 3, 2), event(3, 0, 2),
                                                               event(4, 40, 2), event(5, 3, 2)}
                                            : single_channel_events(bits_of(1.5f));
    if (!channel_field && max_per_read < 10) events.erase(events.begin() + 3);  // keep it short byte by byte
    const Bytes file = file_of(events, channel_field);
    std::size_t calls = 0;
    {
        auto script = make_script(file);
        script->max_per_read = max_per_read;
        auto opened = open(script, alloc);
        auto* reader = std::get_if<Reader>(&opened);
        ASSERT_NE(reader, nullptr) << describe(opened);
        ASSERT_EQ(run(*reader), events_then_end(events));
        calls = script->read_calls;
    }
    for (std::size_t call = 1; call <= calls; ++call) {
        auto script = make_script(file);
        script->max_per_read = max_per_read;
        script->interrupt_calls = {call};
        auto opened = open(script, alloc);
        auto* reader = std::get_if<Reader>(&opened);
        ASSERT_NE(reader, nullptr) << describe(opened) << ", EINTR on call " << call;
        ASSERT_EQ(run(*reader), events_then_end(events)) << "EINTR on call " << call;
        ASSERT_EQ(script->interrupts, 1u);
    }
}

INSTANTIATE_TEST_SUITE_P(Deliveries, Wd2Interrupted,
                         ::testing::Combine(::testing::Bool(), ::testing::Values(unlimited, 4096, 13, 1)),
                         [](const auto& info) {
                             const auto max = std::get<1>(info.param);
                             return std::string(std::get<0>(info.param) ? "multi" : "single") + "_" +
                                    (max == unlimited ? std::string("whole") : "max" + std::to_string(max));
                         });

}  // namespace
}  // namespace pelvar_test

namespace pelvar_test {
namespace {

// The probe that keeps what it reads, over a source that cannot seek and
// delivers in short reads, against the one that seeks back, over the same
// bytes: the same layout decision, the same failure, the same events after.
// Random files of both layouts, whole, cut anywhere and with damaged words.
TEST_F(Wd2Test, KeptProbeDecidesAsTheSeekingOne) {
    std::uint64_t state = 0x9E3779B97F4A7C15u;
    auto next = [&](std::uint64_t below) {
        state = state * 6364136223846793005u + 1442695040888963407u;
        return (state >> 33) % below;
    };
    for (int round = 0; round < 400; ++round) {
        const bool field = next(2) == 1;
        const auto channels = static_cast<std::int32_t>(field ? 2 + next(3) : 1);
        const auto samples = static_cast<std::uint32_t>(next(3) == 0 ? next(3) : next(5000));
        std::vector<Wd2> events;
        const std::uint32_t first = static_cast<std::uint32_t>(next(1000));
        for (std::uint32_t i = 0, n = static_cast<std::uint32_t>(next(5)); i < n; ++i)
            events.push_back(event(first + i, samples, channels, 8 + next(2)));
        Bytes bytes = file_of(events, field);
        if (!bytes.empty() && next(3) == 0) bytes.resize(next(bytes.size() + 1));
        if (bytes.size() >= 4 && next(4) == 0) {
            const std::size_t at = next(bytes.size() / 4) * 4;
            for (std::size_t k = 0; k < 4; ++k) bytes[at + k] = static_cast<std::byte>(next(256));
        }
        SCOPED_TRACE("round " + std::to_string(round) + ", " + std::to_string(bytes.size()) + " bytes");

        auto seeking = make_script(bytes);
        auto kept = make_script(bytes);
        kept->seekable = false;
        kept->max_per_read = 1 + next(3000);
        auto by_seek = Reader::open(buffered(seeking), alloc.get());
        auto by_keeping = Reader::open(buffered(kept), alloc.get(), Reader::Rewind::keep);
        ASSERT_EQ(by_seek.index(), by_keeping.index()) << describe(by_seek) << " / " << describe(by_keeping);
        if (by_seek.index() != 0) {
            EXPECT_EQ(failure_of(by_seek), failure_of(by_keeping));
            continue;
        }
        auto& a = std::get<Reader>(by_seek);
        auto& b = std::get<Reader>(by_keeping);
        EXPECT_EQ(a.probed_channels(), b.probed_channels());
        EXPECT_EQ(run(a), run(b));
        EXPECT_EQ(kept->seek_forward_calls + kept->seek_to_start_calls, 0u);
    }
}

}  // namespace
}  // namespace pelvar_test
