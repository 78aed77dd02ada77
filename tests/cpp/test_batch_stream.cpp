// The Arrow C stream over a reader's batches, driven as a consumer drives it,
// over in-memory WD1 files: its error numbers and texts, a failure kept for
// good (repeated without reading), the released array at the end and on
// errors, and a call that meets the reader busy.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <variant>
#include <vector>

#include "batch_core.hpp"
#include "batch_stream.hpp"
#include "event_batch.hpp"
#include "scripted_file.hpp"
#include "wd1_reader.hpp"

namespace pelvar_test {
namespace {

using WD1 = pelvar::WD1Reader<Buffered>;
using Batcher = pelvar::EventBatcher<WD1, pelvar::WD1Columns, std::uint16_t>;
using Batch = Batcher::Batch;
using Core = pelvar::BasicBatchCore<std::variant<Batcher>>;

// Reads as the module does away from the interpreter, then runs the test's
// hook, with the borrow still held.
struct HookedRead {
    static inline std::function<void(pelvar::ReadOutcome<Batch>&)> after_read;
    static pelvar::ReadOutcome<Batch> next(Batcher& batcher, std::string&) {
        auto outcome = batcher.next();
        if (after_read) {
            after_read(outcome);
        }
        return outcome;
    }
};
using Stream = pelvar::BatchStream<Core, HookedRead>;

// A WD1 file of events with these sample counts; a negative count is an
// event whose size word is that many bytes less than a header (capacity
// overflow).
Bytes wd1_file(const std::vector<int>& samples) {
    Bytes out;
    for (std::size_t i = 0; i < samples.size(); ++i) {
        const int n = samples[i];
        put_i32(out, n < 0 ? 24 + n : 24 + 2 * n);
        for (int w = 0; w < 3; ++w) put_i32(out, w);
        put_i32(out, static_cast<std::int32_t>(i));
        put_i32(out, 0);
        for (int s = 0; s < n; ++s) put_u16(out, static_cast<std::uint16_t>(s));
    }
    return out;
}

// What a consumer's array looks like before get_next: not released.
void not_released(ArrowArray*) {}

struct StreamOver {
    CountingAllocator alloc;
    pelvar::BlockPool pool{alloc.get()};
    std::shared_ptr<FileScript> script;
    std::shared_ptr<Core> core;
    ArrowArrayStream stream{};

    StreamOver(const std::vector<int>& samples, std::size_t max_events,
               pelvar::ListOffsets offsets = pelvar::ListOffsets::large)
        : script(make_script(wd1_file(samples))),
          core(std::make_shared<Core>(std::variant<Batcher>(std::in_place_index<0>, WD1(buffered(script)), pool,
                                                            pelvar::BatchLimits{max_events, std::size_t{1} << 20}))) {
        Stream::export_to(&stream, core, offsets);
    }
    ~StreamOver() {
        HookedRead::after_read = nullptr;
        stream.release(&stream);
    }

    // get_next into an array that comes in looking unreleased; the rows of
    // the batch it gave (-1 for none: a released array).
    int next(std::int64_t* rows = nullptr) {
        ArrowArray array{};
        array.release = not_released;
        const int code = stream.get_next(&stream, &array);
        if (rows != nullptr) {
            *rows = array.release != nullptr ? array.length : -1;
        }
        if (array.release != nullptr) {
            EXPECT_EQ(code, 0);
            EXPECT_NE(array.release, not_released) << "get_next left the consumer's release in place";
            if (array.release != not_released) {
                array.release(&array);
            }
        }
        return code;
    }
    std::string error() {
        const char* text = stream.get_last_error(&stream);
        return text != nullptr ? text : "(null)";
    }
};

TEST(BatchStream, TheEndIsAReleasedArrayEveryTime) {
    StreamOver s({3, 0, 5, 1, 2}, 2);
    std::int64_t rows = 0;
    std::int64_t total = 0;
    for (int call = 0; call < 10 && rows != -1; ++call) {
        ASSERT_EQ(s.next(&rows), 0);
        total += rows != -1 ? rows : 0;
    }
    EXPECT_EQ(rows, -1);
    EXPECT_EQ(total, 5);
    for (int again = 0; again < 2; ++again) {
        EXPECT_EQ(s.next(&rows), 0);
        EXPECT_EQ(rows, -1);
    }
}

struct FailureCase {
    const char* name;
    std::vector<int> samples;
    std::function<void(StreamOver&)> arrange;
    int code;
    std::string text;
    std::int64_t rows_before;  // delivered before the failure
    pelvar::ListOffsets offsets = pelvar::ListOffsets::large;
};

// A batch of more samples than 32-bit offsets reach; no memory behind
// them: the export refuses before reading any.
void enlarge_batches(StreamOver&) {
    HookedRead::after_read = [](pelvar::ReadOutcome<Batch>& outcome) {
        if (auto* batch = std::get_if<Batch>(&outcome)) {
            batch->data.set_size(std::size_t{INT32_MAX} + 1);
        }
    };
}

// The events before the failure come first; then the failure, and every
// later call repeats its number and text without reading or allocating.
TEST(BatchStream, AFailureIsKeptForGood) {
    const FailureCase cases[] = {
        {"read error", {4, 4, 4, 4}, [](StreamOver& s) { s.script->fail_at(3 * 32); }, EIO,
         pelvar::IoFailure::from_errno(EIO).display(), 3},
        {"capacity overflow", {4, 4, -14, 4}, nullptr, EINVAL, "capacity overflow", 2},
        {"memory refused", {4, 4, 100000, 4}, [](StreamOver& s) { s.alloc.refuse_above(64 << 10); }, ENOMEM,
         "memory allocation of 200000 bytes failed", 2},
        {"read by another", {4, 4}, [](StreamOver& s) { s.core->claim(Core::iteration); }, EINVAL,
         Stream::claimed_text, 0},
        {"beyond 32-bit offsets", {4, 4}, enlarge_batches, EOVERFLOW,
         "a batch holds 2147483648 samples, more than 32-bit list offsets reach; ask for 64-bit ones", 0,
         pelvar::ListOffsets::small},
    };
    for (const FailureCase& c : cases) {
        SCOPED_TRACE(c.name);
        StreamOver s(c.samples, 100, c.offsets);
        if (c.arrange) {
            c.arrange(s);
        }
        std::int64_t rows = 0;
        std::int64_t before = 0;
        int code = 0;
        for (int call = 0; call < 10 && (code = s.next(&rows)) == 0; ++call) {
            ASSERT_NE(rows, -1) << "the end instead of the failure";
            before += rows;
        }
        EXPECT_EQ(before, c.rows_before);
        EXPECT_EQ(code, c.code);
        EXPECT_EQ(s.error(), c.text);
        const std::size_t reads = s.script->read_calls;
        const std::size_t requests = s.alloc.requests();
        for (int again = 0; again < 3; ++again) {
            EXPECT_EQ(s.next(&rows), c.code);
            EXPECT_EQ(rows, -1);
            EXPECT_EQ(s.error(), c.text);
        }
        std::thread([&] {
            EXPECT_EQ(s.next(), c.code);
            EXPECT_EQ(s.error(), c.text);
        }).join();
        EXPECT_EQ(s.script->read_calls, reads);
        EXPECT_EQ(s.alloc.requests(), requests);
    }
}

// A call that meets the borrow taken (another thread's, or this thread's own
// from inside the read, as a signal handler's would) fails with EBUSY and
// "Already borrowed" for its own thread alone; the call that holds the
// borrow reads on, and its failure is the stream's from then on.
TEST(BatchStream, ABusyReaderFailsOnlyTheCallThatMetIt) {
    StreamOver s({2, 2, 2, -14}, 1);
    int reads = 0;
    HookedRead::after_read = [&](pelvar::ReadOutcome<Batch>&) {
        ++reads;
        EXPECT_EQ(s.next(), EBUSY);
        EXPECT_EQ(s.error(), "Already borrowed");
        std::thread([&] {
            EXPECT_EQ(s.next(), EBUSY);
            EXPECT_EQ(s.error(), "Already borrowed");
        }).join();
    };
    std::int64_t rows = 0;
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(s.next(&rows), 0);
        EXPECT_EQ(rows, 1);
    }
    EXPECT_EQ(s.next(), EINVAL);
    EXPECT_EQ(s.error(), "capacity overflow");
    EXPECT_EQ(reads, 4);
    std::thread([&] {
        EXPECT_EQ(s.next(), EINVAL);
        EXPECT_EQ(s.error(), "capacity overflow");
    }).join();
}

}  // namespace
}  // namespace pelvar_test
