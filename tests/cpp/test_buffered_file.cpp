// The buffered file reader over scripted in-memory files.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <tuple>
#include <variant>
#include <vector>

#include "sample_buffer.hpp"
#include "scripted_file.hpp"

namespace pelvar_test {
namespace {

using pelvar::IoFailure;
using pelvar::IoKind;
constexpr std::size_t capacity = Buffered::capacity;
constexpr std::size_t first_fill = Buffered::first_fill;
constexpr std::size_t direct_bytes = Buffered::direct_bytes;
constexpr std::size_t seek_bytes = Buffered::seek_bytes;
constexpr std::size_t direct_tail = Buffered::direct_tail;
constexpr std::size_t unlimited = std::numeric_limits<std::size_t>::max();

Bytes slice(const Bytes& bytes, std::size_t from, std::size_t count) {
    return Bytes(bytes.begin() + static_cast<std::ptrdiff_t>(from),
                 bytes.begin() + static_cast<std::ptrdiff_t>(from + count));
}

// Fills that follow each other grow from the first fill to the capacity.
TEST(BufferedReader, FillsGrowToTheCapacity) {
    static_assert(first_fill < direct_bytes && direct_bytes < capacity);
    const Bytes file = pattern_bytes(6 * capacity);
    auto script = make_script(file);
    auto reader = buffered(script);
    std::vector<std::uint64_t> fills;
    std::uint64_t seen = 0;
    for (std::size_t offset = 0; offset + 100 <= 3 * capacity; offset += 100) {
        Bytes got(100);
        ASSERT_FALSE(reader.read_exact(got.data(), 100));
        ASSERT_EQ(got, slice(file, offset, 100));
        if (script->bytes_read != seen) {
            fills.push_back(script->bytes_read - seen);
            seen = script->bytes_read;
        }
    }
    std::vector<std::uint64_t> expected;
    for (std::size_t n = first_fill; n < capacity; n *= 2) expected.push_back(n);
    while (expected.size() < fills.size()) expected.push_back(capacity);
    EXPECT_EQ(fills, expected);
    EXPECT_EQ(script->readv_calls, 0u);
}

// How the raw file delivers: bytes per read call, and every k-th call interrupted.
struct Delivery {
    std::size_t max_per_read;
    std::size_t interrupt_every;
};

std::string delivery_name(const Delivery& d) {
    std::string name = d.max_per_read == unlimited ? "whole" : "max" + std::to_string(d.max_per_read);
    if (d.interrupt_every != 0) name += "_eintr_every" + std::to_string(d.interrupt_every);
    return name;
}

const Delivery deliveries[] = {
    {unlimited, 0}, {1, 0}, {3, 0}, {4096, 0}, {8191, 0}, {8193, 0},
    {unlimited, 2}, {1, 3},  {5000, 2},
};

// A sequence of exact reads, with sizes chosen to end and start on every kind
// of boundary of the first fill of the read-ahead buffer (8192 bytes),
// hands out the file's bytes in order.
class ExactReads : public ::testing::TestWithParam<std::tuple<Delivery, std::vector<std::size_t>>> {};

TEST_P(ExactReads, DeliverTheFileInOrder) {
    const auto& [delivery, sizes] = GetParam();
    std::size_t total = 0;
    for (auto n : sizes) total += n;
    const Bytes file = pattern_bytes(total + 100);
    auto script = make_script(file);
    script->max_per_read = delivery.max_per_read;
    script->interrupt_every = delivery.interrupt_every;
    auto reader = buffered(script);

    std::size_t offset = 0;
    for (auto n : sizes) {
        Bytes got(n, std::byte{0xEE});
        ASSERT_FALSE(reader.read_exact(got.data(), n)) << "read of " << n << " at " << offset;
        ASSERT_EQ(got, slice(file, offset, n)) << "read of " << n << " at " << offset;
        offset += n;
    }
    // The raw file never hands out more than the buffer can hold past what was asked.
    EXPECT_LE(script->bytes_read, total + capacity);
    if (delivery.interrupt_every != 0) {
        EXPECT_GT(script->interrupts, 0u);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, ExactReads,
    ::testing::Combine(::testing::ValuesIn(deliveries),
                       ::testing::Values(std::vector<std::size_t>{8192, 8192, 1},
                                         std::vector<std::size_t>{8191, 2, 8190, 8193},
                                         std::vector<std::size_t>{1, 8192, 8191, 1, 20000},
                                         std::vector<std::size_t>{24, 1000, 24, 7000, 24, 300, 24, 9000},
                                         std::vector<std::size_t>{4096, 4096, 4096, 4097, 0, 3})),
    [](const auto& info) {
        return delivery_name(std::get<0>(info.param)) + "_sizes" + std::to_string(info.index % 5);
    });

TEST(BufferedReader, ReadOfZeroBytesTouchesNothing) {
    // Not even a file whose every read fails, nor one that is empty.
    for (bool empty : {true, false}) {
        auto script = make_script(empty ? Bytes{} : pattern_bytes(10));
        script->fail_at(0, EIO, true);
        auto reader = buffered(script);
        EXPECT_FALSE(reader.read_exact(nullptr, 0));
        std::byte one{};
        EXPECT_FALSE(reader.read_exact(&one, 0));
        EXPECT_EQ(script->read_calls, 0u);
    }
}

TEST(BufferedReader, ReadOfZeroBytesAtTheEndSucceeds) {
    auto script = make_script(pattern_bytes(10));
    auto reader = buffered(script);
    Bytes got(10);
    ASSERT_FALSE(reader.read_exact(got.data(), 10));
    const auto calls = script->read_calls;
    EXPECT_FALSE(reader.read_exact(got.data(), 0));
    EXPECT_EQ(script->read_calls, calls);
}

// A large request goes straight to the destination: one raw call (readv) on
// a file that hands out everything, which also brings in a short read-ahead
// ending on a page boundary of the file; the bytes after the request then
// come from the buffer.
// The interrupt check decides after EINTR: false repeats the call, true gives
// it up with the interrupted failure, and the next read goes on from there.
int check_calls = 0;
bool give_up = false;
bool count_and_decide() noexcept {
    ++check_calls;
    return give_up;
}

class LargeRequest : public ::testing::TestWithParam<std::size_t> {};

void expect_short_tail(std::uint64_t end, std::uint64_t bytes_read) {
    EXPECT_EQ(bytes_read % direct_tail, 0u) << "the read-ahead ends on a page boundary";
    EXPECT_GE(bytes_read - end, direct_tail / 4);
    EXPECT_LT(bytes_read - end, direct_tail + direct_tail / 4);
}

TEST_P(LargeRequest, ReadsStraightIntoTheDestination) {
    const std::size_t n = GetParam();
    const Bytes file = pattern_bytes(n + 50000);
    auto script = make_script(file);
    auto reader = buffered(script);
    Bytes got(n);
    ASSERT_FALSE(reader.read_exact(got.data(), n));
    EXPECT_EQ(got, slice(file, 0, n));
    EXPECT_EQ(script->read_calls, 1u);
    EXPECT_EQ(script->readv_calls, 1u);
    EXPECT_EQ(script->last_destination, got.data());
    expect_short_tail(n, script->bytes_read);
    Bytes next(direct_tail / 4);
    ASSERT_FALSE(reader.read_exact(next.data(), next.size()));
    EXPECT_EQ(next, slice(file, n, next.size()));
    EXPECT_EQ(script->read_calls, 1u);
}

TEST_P(LargeRequest, AfterBufferedBytesReadsTheRestStraight) {
    const std::size_t n = GetParam();
    const Bytes file = pattern_bytes(n + 50000);
    auto script = make_script(file);
    script->max_per_read = 100;  // the first fill holds 100 bytes
    auto reader = buffered(script);
    Bytes head(10);
    ASSERT_FALSE(reader.read_exact(head.data(), 10));
    ASSERT_EQ(script->bytes_read, 100u);
    script->max_per_read = unlimited;
    Bytes got(n + 90);
    ASSERT_FALSE(reader.read_exact(got.data(), got.size()));
    EXPECT_EQ(got, slice(file, 10, n + 90));
    EXPECT_EQ(script->read_calls, 2u);
    EXPECT_EQ(script->last_destination, got.data() + 90);
    expect_short_tail(n + 100, script->bytes_read);
}

// A direct read that fails with an error of the system, or that a check
// gives up after EINTR, on its first or a later readv (a short one before
// it): the failure, the bytes already read stay consumed, and the next read
// goes on from where the failed call left the file.
TEST_P(LargeRequest, FailedOrInterruptedDirectReadResumesThere) {
    const std::size_t n = GetParam();
    const Bytes file = pattern_bytes(n + 50000);
    for (bool interrupted : {false, true}) {
        for (std::size_t failing_call : {1, 2}) {
            SCOPED_TRACE(std::string(interrupted ? "interrupted" : "EIO") + " at readv " +
                         std::to_string(failing_call));
            auto script = make_script(file);
            script->max_per_read = n / 2;  // a readv brings half the request
            (interrupted ? script->interrupt_calls : script->error_calls) = {failing_call};
            check_calls = 0;
            give_up = true;
            Buffered reader(ScriptedFile(script), count_and_decide);
            Bytes got(n);
            auto failure = reader.read_exact(got.data(), n);
            ASSERT_TRUE(failure);
            EXPECT_EQ(failure->is_interrupted(), interrupted);
            EXPECT_EQ(script->readv_calls, failing_call);
            const std::size_t consumed = (failing_call - 1) * (n / 2);
            Bytes next(100);
            ASSERT_FALSE(reader.read_exact(next.data(), next.size()));
            EXPECT_EQ(next, slice(file, consumed, next.size()));
        }
    }
}

// A request just under the threshold goes through the buffer.
TEST(BufferedReader, RequestBelowTheThresholdIsBuffered) {
    const Bytes file = pattern_bytes(3 * capacity);
    auto script = make_script(file);
    auto reader = buffered(script);
    Bytes got(direct_bytes - 1);
    ASSERT_FALSE(reader.read_exact(got.data(), got.size()));
    EXPECT_EQ(got, slice(file, 0, got.size()));
    EXPECT_EQ(script->readv_calls, 0u);
    EXPECT_EQ(script->read_calls, 1u);
    EXPECT_NE(script->last_destination, got.data());
}

INSTANTIATE_TEST_SUITE_P(Sizes, LargeRequest,
                         ::testing::Values(direct_bytes, direct_bytes + 1, direct_bytes + direct_tail - 1,
                                           direct_bytes + direct_tail - direct_tail / 4, 100000, 3 * capacity));

TEST(BufferedReader, SmallRequestFillsTheBufferOnce) {
    const Bytes file = pattern_bytes(3 * capacity);
    auto script = make_script(file);
    auto reader = buffered(script);
    for (std::size_t i = 0; i < first_fill / 64; ++i) {
        Bytes got(64);
        ASSERT_FALSE(reader.read_exact(got.data(), 64));
        ASSERT_EQ(got, slice(file, i * 64, 64));
    }
    EXPECT_EQ(script->read_calls, 1u);
    EXPECT_EQ(script->bytes_read, first_fill);
}

// The end of the file inside an exact read: the end-of-file failure, and the
// bytes handed over so far are gone (the next read starts behind them).
class EndInsideRead : public ::testing::TestWithParam<std::tuple<std::size_t, std::size_t, std::size_t>> {};

TEST_P(EndInsideRead, FailsAndKeepsTheBytesConsumed) {
    const auto [file_size, first, second] = GetParam();
    ASSERT_LT(first, file_size);
    ASSERT_GT(first + second, file_size);
    const Bytes file = pattern_bytes(file_size);
    auto script = make_script(file);
    script->max_per_read = 1000;
    auto reader = buffered(script);
    Bytes got(std::max(first, second));
    ASSERT_FALSE(reader.read_exact(got.data(), first));

    auto failure = reader.read_exact(got.data(), second);
    ASSERT_TRUE(failure);
    EXPECT_TRUE(failure->is_end_of_file());
    EXPECT_EQ(failure->kind(), IoKind::unexpected_eof);
    EXPECT_EQ(failure->error_number(), 0);
    EXPECT_EQ(failure->display(), "failed to fill whole buffer");
    EXPECT_EQ(*failure, IoFailure::end_of_file());
    // The bytes that did arrive were written to the destination.
    EXPECT_EQ(slice(got, 0, file_size - first), slice(file, first, file_size - first));

    // Still at the end: again the end-of-file failure.
    std::byte one{};
    auto again = reader.read_exact(&one, 1);
    ASSERT_TRUE(again);
    EXPECT_TRUE(again->is_end_of_file());

    // Bytes appended later are read from where the file ended.
    const Bytes more = pattern_bytes(300);
    script->append(more);
    Bytes tail(300);
    ASSERT_FALSE(reader.read_exact(tail.data(), 300));
    EXPECT_EQ(tail, more);
}

INSTANTIATE_TEST_SUITE_P(Cuts, EndInsideRead,
                         ::testing::Values(std::make_tuple(100, 50, 60), std::make_tuple(100, 0, 101),
                                           std::make_tuple(9000, 8000, 8192),
                                           std::make_tuple(20000, 100, 30000),
                                           std::make_tuple(8192, 8191, 2)));

TEST(BufferedReader, EmptyFileIsEndOfFile) {
    auto script = make_script();
    auto reader = buffered(script);
    std::byte one{};
    auto failure = reader.read_exact(&one, 1);
    ASSERT_TRUE(failure);
    EXPECT_TRUE(failure->is_end_of_file());
}

// EINTR on any one read call is retried and loses no byte.
class InterruptedCall : public ::testing::TestWithParam<std::size_t> {};

TEST_P(InterruptedCall, IsRetriedInvisibly) {
    const std::size_t max_per_read = GetParam();
    const Bytes file = pattern_bytes(70000);
    // Buffered reads and direct ones (readv).
    const std::vector<std::size_t> sizes{5, 8192, 100, 9000, 3, 8000, 4700, 20000, 24, direct_bytes};
    // Calls the clean run makes.
    std::size_t calls = 0;
    {
        auto script = make_script(file);
        script->max_per_read = max_per_read;
        auto reader = buffered(script);
        Bytes got(20000);
        for (auto n : sizes) ASSERT_FALSE(reader.read_exact(got.data(), n));
        calls = script->read_calls;
    }
    for (std::size_t call = 1; call <= calls; ++call) {
        auto script = make_script(file);
        script->max_per_read = max_per_read;
        script->interrupt_calls = {call};
        auto reader = buffered(script);
        std::size_t offset = 0;
        for (auto n : sizes) {
            Bytes got(n);
            ASSERT_FALSE(reader.read_exact(got.data(), n)) << "EINTR on call " << call;
            ASSERT_EQ(got, slice(file, offset, n)) << "EINTR on call " << call;
            offset += n;
        }
        EXPECT_EQ(script->interrupts, 1u);
        EXPECT_EQ(script->read_calls, calls + 1);
    }
}

INSTANTIATE_TEST_SUITE_P(Deliveries, InterruptedCall, ::testing::Values(unlimited, 4000, 997));

TEST(BufferedReader, InterruptedSkipAndRewindAreRetried) {
    const Bytes file = pattern_bytes(20000);
    auto script = make_script(file);
    script->seekable = false;
    script->interrupt_every = 2;
    auto reader = buffered(script);
    ASSERT_FALSE(reader.skip(12345));
    Bytes got(100);
    ASSERT_FALSE(reader.read_exact(got.data(), 100));
    EXPECT_EQ(got, slice(file, 12345, 100));
}

// An error of the operating system surfaces with its number and text.
struct OsError {
    int number;
    const char* display;
};

class OsErrors : public ::testing::TestWithParam<OsError> {};

TEST_P(OsErrors, SurfaceWithNumberAndText) {
    const auto [number, display] = GetParam();
    const Bytes file = pattern_bytes(20000);
    auto script = make_script(file);
    script->fail_at(10000, number);
    auto reader = buffered(script);
    Bytes got(20000);
    ASSERT_FALSE(reader.read_exact(got.data(), 9000));
    auto failure = reader.read_exact(got.data(), 2000);
    ASSERT_TRUE(failure);
    EXPECT_FALSE(failure->is_end_of_file());
    EXPECT_EQ(failure->kind(), IoKind::os);
    EXPECT_EQ(failure->error_number(), number);
    EXPECT_EQ(failure->display(), display);
    EXPECT_EQ(*failure, IoFailure::from_errno(number));
    // The 1000 bytes before the bad offset were consumed; reading goes on behind it.
    EXPECT_EQ(slice(got, 0, 1000), slice(file, 9000, 1000));
    ASSERT_FALSE(reader.read_exact(got.data(), 10));
    EXPECT_EQ(slice(got, 0, 10), slice(file, 10000, 10));
}

INSTANTIATE_TEST_SUITE_P(Numbers, OsErrors,
                         ::testing::Values(OsError{EIO, "Input/output error (os error 5)"},
                                           OsError{EISDIR, "Is a directory (os error 21)"},
                                           OsError{ESPIPE, "Illegal seek (os error 29)"},
                                           OsError{EAGAIN, "Resource temporarily unavailable (os error 11)"}));

TEST(BufferedReader, PersistentErrorFailsEveryRead) {
    auto script = make_script(pattern_bytes(100));
    script->fail_at(0, EIO, true);
    auto reader = buffered(script);
    for (int i = 0; i < 3; ++i) {
        std::byte one{};
        auto failure = reader.read_exact(&one, 1);
        ASSERT_TRUE(failure);
        EXPECT_EQ(failure->error_number(), EIO);
    }
    EXPECT_EQ(script->errors, 3u);
}

TEST(BufferedReader, LargeRequestSurfacesError) {
    auto script = make_script(pattern_bytes(50000));
    script->fail_at(20000, EIO);
    auto reader = buffered(script);
    Bytes got(40000);
    auto failure = reader.read_exact(got.data(), got.size());
    ASSERT_TRUE(failure);
    EXPECT_EQ(failure->display(), "Input/output error (os error 5)");
}

TEST(BufferedReader, UnknownErrorNumberHasText) {
    const std::string text = IoFailure::from_errno(123456).display();
    const std::string tail = " (os error 123456)";
    ASSERT_GT(text.size(), tail.size());
    EXPECT_EQ(text.substr(text.size() - tail.size()), tail);
}

// A skip moves forward by exactly its count, whether it seeks or reads.
class Skip : public ::testing::TestWithParam<std::tuple<bool, std::size_t, std::uint64_t>> {};

TEST_P(Skip, MovesForwardByItsCount) {
    const auto [seekable, head, count] = GetParam();
    const Bytes file = pattern_bytes(100000);
    auto script = make_script(file);
    script->seekable = seekable;
    auto reader = buffered(script);
    Bytes got(100);
    if (head != 0) {
        ASSERT_FALSE(reader.read_exact(got.data(), head));
    }
    const auto calls = script->read_calls;
    const auto read_before = script->bytes_read;
    ASSERT_FALSE(reader.skip(count));
    const std::uint64_t buffered_after_head = head == 0 ? 0 : first_fill - head;
    if (count <= buffered_after_head) {
        // Inside the buffer: neither a seek nor a read.
        EXPECT_EQ(script->seek_forward_calls, 0u);
        EXPECT_EQ(script->read_calls, calls);
    } else if (seekable && count - buffered_after_head >= seek_bytes) {
        EXPECT_EQ(script->seek_forward_calls, 1u);
        EXPECT_EQ(script->read_calls, calls);
        EXPECT_EQ(script->bytes_read, read_before);
    } else {
        // Not worth a seek, or no seeking at all: read through.
        EXPECT_EQ(script->seek_forward_calls, 0u);
        EXPECT_GE(script->bytes_read, head + count);
    }
    ASSERT_FALSE(reader.read_exact(got.data(), 100));
    EXPECT_EQ(got, slice(file, head + count, 100));
}

INSTANTIATE_TEST_SUITE_P(Counts, Skip,
                         ::testing::Combine(::testing::Bool(), ::testing::Values(0, 1, 100),
                                            ::testing::Values(0, 1, first_fill - 101, first_fill - 100,
                                                              first_fill - 1, first_fill, 50000, 99800)),
                         [](const auto& info) {
                             return std::string(std::get<0>(info.param) ? "seek" : "read") + "_head" +
                                    std::to_string(std::get<1>(info.param)) + "_skip" +
                                    std::to_string(std::get<2>(info.param));
                         });

// A skip past the end is the end-of-file failure; a regular file is seeked
// to its end at most, and read on from there.
class SkipPastEnd : public ::testing::TestWithParam<std::tuple<bool, std::uint64_t>> {};

TEST_P(SkipPastEnd, IsEndOfFile) {
    const auto [seekable, count] = GetParam();
    auto script = make_script(pattern_bytes(20000));
    script->seekable = seekable;
    auto reader = buffered(script);
    Bytes got(10);
    ASSERT_FALSE(reader.read_exact(got.data(), 10));
    auto failure = reader.skip(count);
    ASSERT_TRUE(failure);
    EXPECT_TRUE(failure->is_end_of_file());
    EXPECT_LE(script->furthest_position, 20000u);
    if (seekable && count - (first_fill - 10) >= seek_bytes) {
        EXPECT_LE(script->seek_forward_calls, 1u);
        EXPECT_EQ(script->bytes_read, first_fill);
    }
}

INSTANTIATE_TEST_SUITE_P(Counts, SkipPastEnd,
                         ::testing::Combine(::testing::Bool(),
                                            ::testing::Values(19991, 30000, std::uint64_t{1} << 40,
                                                              std::uint64_t{INT64_MAX},
                                                              std::numeric_limits<std::uint64_t>::max())));

TEST(BufferedReader, SkipToExactlyTheEndSucceeds) {
    for (bool seekable : {true, false}) {
        auto script = make_script(pattern_bytes(20000));
        script->seekable = seekable;
        auto reader = buffered(script);
        Bytes got(10);
        ASSERT_FALSE(reader.read_exact(got.data(), 10));
        EXPECT_FALSE(reader.skip(19990)) << seekable;
        std::byte one{};
        auto failure = reader.read_exact(&one, 1);
        ASSERT_TRUE(failure);
        EXPECT_TRUE(failure->is_end_of_file());
    }
}

TEST(BufferedReader, SkipMeetsError) {
    for (bool seekable : {true, false}) {
        auto script = make_script(pattern_bytes(40000));
        script->seekable = seekable;
        script->fail_at(30000, EIO);
        auto reader = buffered(script);
        auto status = reader.skip(35000);
        if (seekable) {
            EXPECT_FALSE(status);  // a seek reads nothing
        } else {
            ASSERT_TRUE(status);
            EXPECT_EQ(status->error_number(), EIO);
        }
    }
}

// A size that says too little (0 for /proc files, behind the truth for a
// growing file) is seeked as far as it goes; the rest is read, so only the
// real end of the file ends a skip.
class SkipPastReportedSize : public ::testing::TestWithParam<std::uint64_t> {};

TEST_P(SkipPastReportedSize, ReadsOnToTheRealEnd) {
    const Bytes file = pattern_bytes(50000);
    auto script = make_script(file);
    script->reported_size = GetParam();
    auto reader = buffered(script);
    Bytes got(10);
    ASSERT_FALSE(reader.read_exact(got.data(), 10));
    ASSERT_FALSE(reader.skip(30000));
    ASSERT_FALSE(reader.read_exact(got.data(), 10));
    EXPECT_EQ(got, slice(file, 30010, 10));
    auto failure = reader.skip(20000);
    ASSERT_TRUE(failure);
    EXPECT_TRUE(failure->is_end_of_file());
    EXPECT_LE(script->furthest_position, file.size());
}

INSTANTIATE_TEST_SUITE_P(Sizes, SkipPastReportedSize, ::testing::Values(0, 100, 8192, 20000));


TEST(BufferedReader, InterruptCheckRepeatsOrGivesUp) {
    for (bool stop : {false, true}) {
        const Bytes file = pattern_bytes(30000);
        auto script = make_script(file);
        script->max_per_read = 5000;
        script->interrupt_calls = {2};
        check_calls = 0;
        give_up = stop;
        Buffered reader(ScriptedFile(script), count_and_decide);
        Bytes got(12000);
        auto failure = reader.read_exact(got.data(), got.size());
        EXPECT_EQ(check_calls, 1);
        if (!stop) {
            ASSERT_FALSE(failure);
            EXPECT_EQ(got, slice(file, 0, 12000));
            continue;
        }
        ASSERT_TRUE(failure);
        EXPECT_TRUE(failure->is_interrupted());
        // The 5000 bytes of the first call stay consumed.
        Bytes next(100);
        ASSERT_FALSE(reader.read_exact(next.data(), next.size()));
        EXPECT_EQ(next, slice(file, 5000, 100));
    }
}

// A check that gives up inside a skip (read through, on a file that cannot
// seek) or in the first fill after a rewind: the interrupted failure, and
// the next read goes on from where the given-up call left the source.
TEST(BufferedReader, GivingUpInASkipOrAfterARewindResumesThere) {
    for (bool after_rewind : {false, true}) {
        SCOPED_TRACE(after_rewind ? "after a rewind" : "in a skip");
        const Bytes file = pattern_bytes(50000);
        auto script = make_script(file);
        script->seekable = after_rewind;  // a skip seeks where it can
        script->max_per_read = 5000;
        check_calls = 0;
        give_up = true;
        Buffered reader(ScriptedFile(script), count_and_decide);
        Bytes got(100);
        std::size_t resumed_at = 0;
        if (after_rewind) {
            ASSERT_FALSE(reader.read_exact(got.data(), got.size()));
            script->interrupt_calls = {script->read_calls + 1};
            ASSERT_FALSE(reader.rewind());
            auto failure = reader.read_exact(got.data(), got.size());
            ASSERT_TRUE(failure);
            EXPECT_TRUE(failure->is_interrupted());
            resumed_at = 0;  // nothing of the file read since the rewind
        } else {
            script->interrupt_calls = {3};
            auto failure = reader.skip(30000);
            ASSERT_TRUE(failure);
            EXPECT_TRUE(failure->is_interrupted());
            resumed_at = 10000;  // the two reads before the given-up one
        }
        EXPECT_EQ(check_calls, 1);
        ASSERT_FALSE(reader.read_exact(got.data(), got.size()));
        EXPECT_EQ(got, slice(file, resumed_at, 100));
    }
}

// Bytes given back are delivered again, with no system call: taken in place,
// straddling two fills (they go back before the new fill's start), or by
// take_buffered, for every cut of a header-sized read around a fill's end.
TEST(BufferedReader, UnreadBytesComeAgain) {
    const Bytes file = pattern_bytes(3 * first_fill);
    constexpr std::size_t header = 24;
    static_assert(header <= Buffered::putback_bytes);
    for (std::size_t start = first_fill - header - 1; start <= first_fill + 1; ++start) {
        auto script = make_script(file);
        auto reader = buffered(script);
        Bytes got(header);
        for (std::size_t at = 0; at < start; at += 1) {  // in order, so that fills are first_fill long
            ASSERT_FALSE(reader.read_exact(got.data(), 1));
        }
        const std::byte* in_place = reader.take_buffered(header);
        if (in_place != nullptr) {
            reader.unread(in_place, header);
        } else {
            ASSERT_FALSE(reader.read_exact(got.data(), header));
            reader.unread(got.data(), header);
        }
        const auto calls = script->read_calls;
        Bytes again(header);
        ASSERT_FALSE(reader.read_exact(again.data(), again.size()));
        EXPECT_EQ(again, slice(file, start, again.size())) << start;
        EXPECT_EQ(script->read_calls, calls) << start;
    }
}

// A rewind goes back to offset 0 and forgets the buffered bytes.
TEST(BufferedReader, RewindDiscardsTheBuffer) {
    const Bytes file = pattern_bytes(20000);
    auto script = make_script(file);
    auto reader = buffered(script);
    Bytes got(100);
    ASSERT_FALSE(reader.read_exact(got.data(), 100));
    ASSERT_EQ(script->read_calls, 1u);
    // Change the file under the buffer: a buffer that survived the rewind
    // would hand out the old bytes.
    script->bytes[0] = std::byte{0xAB};
    script->bytes[50] = std::byte{0xCD};
    ASSERT_FALSE(reader.rewind());
    EXPECT_EQ(script->seek_to_start_calls, 1u);
    ASSERT_FALSE(reader.read_exact(got.data(), 100));
    EXPECT_EQ(script->read_calls, 2u);
    EXPECT_EQ(got[0], std::byte{0xAB});
    EXPECT_EQ(got[50], std::byte{0xCD});
    EXPECT_EQ(slice(got, 1, 49), slice(file, 1, 49));
}

TEST(BufferedReader, RewindAfterEndReadsAgain) {
    const Bytes file = pattern_bytes(500);
    auto script = make_script(file);
    auto reader = buffered(script);
    Bytes got(600);
    ASSERT_TRUE(reader.read_exact(got.data(), 600));
    ASSERT_FALSE(reader.rewind());
    ASSERT_FALSE(reader.read_exact(got.data(), 500));
    EXPECT_EQ(slice(got, 0, 500), file);
}

TEST(BufferedReader, RewindOfUnseekableFileFails) {
    const Bytes file = pattern_bytes(500);
    auto script = make_script(file);
    script->seekable = false;
    auto reader = buffered(script);
    Bytes got(100);
    ASSERT_FALSE(reader.read_exact(got.data(), 100));
    auto failure = reader.rewind();
    ASSERT_TRUE(failure);
    EXPECT_EQ(failure->error_number(), ESPIPE);
    EXPECT_EQ(failure->display(), "Illegal seek (os error 29)");
}

// A sample block read from any file offset, small or read directly.
class SampleBlock : public ::testing::TestWithParam<std::size_t> {};

// How many samples differ from the file's little-endian words at `offset`,
// decoded byte by byte, so that it holds on a big-endian host as well.
std::size_t host_order_mismatches(const pelvar::SampleBuffer<float>& samples, const Bytes& file,
                                  std::size_t offset) {
    std::size_t mismatches = 0;
    for (std::size_t i = 0; i < samples.size(); ++i) {
        std::uint32_t want = 0;
        for (std::size_t b = 4; b-- > 0;) {
            want = want << 8 | std::to_integer<std::uint32_t>(file[offset + 4 * i + b]);
        }
        std::uint32_t got;
        std::memcpy(&got, samples.data() + i, sizeof got);
        mismatches += got != want;
    }
    return mismatches;
}

// It holds the file's little-endian samples, and the size of its block
// travels with it from where it was allocated.
TEST_P(SampleBlock, HoldsTheFileSamplesAndItsSize) {
    const std::size_t offset = GetParam();
    const Bytes file = pattern_bytes(offset + 3 * capacity);
    for (std::size_t count : {std::size_t{10}, std::size_t{3000}, direct_bytes}) {
        CountingAllocator alloc;
        auto script = make_script(file);
        auto reader = buffered(script);
        ASSERT_FALSE(reader.skip(offset));
        pelvar::SampleBuffer<float> samples(alloc.get());
        ASSERT_FALSE(pelvar::read_samples<float>(reader, count, samples));
        ASSERT_EQ(samples.size(), count);
        EXPECT_EQ(host_order_mismatches(samples, file, offset), 0u);
        EXPECT_EQ(reinterpret_cast<std::uintptr_t>(samples.data()) % alignof(float), 0u);
        auto parts = samples.release();
        EXPECT_EQ(parts.block_bytes, alloc.block_bytes(parts.block));
        EXPECT_EQ(parts.block_bytes, 4 * count);
        alloc.get()->release(parts.block);
        EXPECT_EQ(alloc.live_bytes(), 0u);
    }
}

INSTANTIATE_TEST_SUITE_P(Offsets, SampleBlock, ::testing::Values(0, 1, 4, 63, 64, 1002, 4097));

TEST(BufferedReader, RemainingCountsBufferedBytes) {
    auto script = make_script(pattern_bytes(20000));
    auto reader = buffered(script);
    EXPECT_EQ(reader.remaining(), 20000u);
    Bytes got(100);
    ASSERT_FALSE(reader.read_exact(got.data(), 100));
    EXPECT_EQ(reader.remaining(), 19900u);
    ASSERT_FALSE(reader.skip(10000));
    EXPECT_EQ(reader.remaining(), 9900u);

    script->seekable = false;
    EXPECT_FALSE(reader.remaining().has_value());
}

}  // namespace
}  // namespace pelvar_test
