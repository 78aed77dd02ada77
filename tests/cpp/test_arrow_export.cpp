// Batches exported through Arrow's C data interface: the structure a
// consumer sees, buffers that are the batch's own columns, and the release
// rules (children moved out, released on another thread, after the batcher
// is gone) with every block given back exactly once.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "arrow_export.hpp"
#include "event_batch.hpp"
#include "scripted_file.hpp"
#include "wd1_reader.hpp"
#include "wd2_reader.hpp"

namespace pelvar_test {
namespace {

using WD1 = pelvar::WD1Reader<Buffered>;
using Batcher = pelvar::EventBatcher<WD1, pelvar::WD1Columns, std::uint16_t>;

Bytes wd1_file(std::size_t events) {
    Bytes out;
    for (std::size_t i = 0; i < events; ++i) {
        const std::size_t samples = i % 5;
        put_i32(out, static_cast<std::int32_t>(24 + 2 * samples));
        for (int w = 0; w < 4; ++w) put_i32(out, -w);
        put_i32(out, static_cast<std::int32_t>(i));
        for (std::size_t s = 0; s < samples; ++s) put_u16(out, static_cast<std::uint16_t>(1000 * i + s));
    }
    return out;
}

// A batch of `events` events, exported.
struct Exported {
    CountingAllocator alloc;
    pelvar::BlockPool pool{alloc.get()};
    ArrowArray array{};
    std::size_t events = 0;

    explicit Exported(std::size_t n, pelvar::ListOffsets offsets = pelvar::ListOffsets::large) : events(n) {
        Batcher batcher(WD1(buffered(make_script(wd1_file(n)))), pool, {n, std::size_t{1} << 20});
        auto outcome = batcher.next();
        auto& batch = std::get<Batcher::Batch>(outcome);
        EXPECT_FALSE(pelvar::export_batch(std::move(batch), offsets, &array));
    }
    ~Exported() {
        if (array.release != nullptr) array.release(&array);
    }
    // Blocks still out: neither freed nor back in the pool.
    std::size_t blocks_out() { return alloc.live_blocks() - pool.kept_blocks(); }
};

TEST(ArrowExport, AStructOfTheColumnsAndAListOfTheSamples) {
    Exported e(10);
    const ArrowArray& a = e.array;
    ASSERT_NE(a.release, nullptr);
    EXPECT_EQ(a.length, 10);
    EXPECT_EQ(a.null_count, 0);
    EXPECT_EQ(a.n_buffers, 1);
    EXPECT_EQ(a.buffers[0], nullptr);
    ASSERT_EQ(a.n_children, 7);
    for (int i = 0; i < 6; ++i) {
        EXPECT_EQ(a.children[i]->length, 10);
        EXPECT_EQ(a.children[i]->n_buffers, 2);
        EXPECT_EQ(a.children[i]->buffers[0], nullptr);
    }
    const auto* stamps = static_cast<const std::int32_t*>(a.children[5]->buffers[1]);
    for (int i = 0; i < 10; ++i) EXPECT_EQ(stamps[i], i);
    const ArrowArray& list = *a.children[6];
    const auto* offsets = static_cast<const std::int64_t*>(list.buffers[1]);
    ASSERT_EQ(list.n_children, 1);
    const auto* samples = static_cast<const std::uint16_t*>(list.children[0]->buffers[1]);
    EXPECT_EQ(list.children[0]->length, offsets[10]);
    for (int i = 0; i < 10; ++i) {
        ASSERT_EQ(offsets[i + 1] - offsets[i], i % 5);
        for (std::int64_t s = offsets[i]; s < offsets[i + 1]; ++s) EXPECT_EQ(samples[s], 1000 * i + (s - offsets[i]));
    }
}

TEST(ArrowExport, SmallOffsetsAreMadeFromTheLargeOnes) {
    Exported e(10, pelvar::ListOffsets::small);
    const auto* offsets = static_cast<const std::int32_t*>(e.array.children[6]->buffers[1]);
    std::int32_t expected = 0;
    for (int i = 0; i < 10; ++i) {
        EXPECT_EQ(offsets[i], expected);
        expected += i % 5;
    }
    EXPECT_EQ(offsets[10], expected);
}

// 32-bit offsets reach 2^31 - 1 samples; a batch of more is refused with
// the message that tells the consumer what to ask for instead, and stays
// with the caller. The sizes are the columns' word only: no export reads
// the samples.
TEST(ArrowExport, SmallOffsetsReachTwoToTheThirtyOneMinusOneSamples) {
    for (const std::size_t samples : {std::size_t{INT32_MAX}, std::size_t{INT32_MAX} + 1}) {
        SCOPED_TRACE(samples);
        CountingAllocator alloc;
        pelvar::BlockPool pool{alloc.get()};
        Batcher batcher(WD1(buffered(make_script(wd1_file(3)))), pool, {3, std::size_t{1} << 20});
        auto outcome = batcher.next();
        auto& batch = std::get<Batcher::Batch>(outcome);
        batch.data.set_size(samples);
        ArrowArray array{};
        auto refused = pelvar::export_batch(std::move(batch), pelvar::ListOffsets::small, &array);
        if (samples == std::size_t{INT32_MAX}) {
            ASSERT_FALSE(refused);
            EXPECT_EQ(array.children[6]->children[0]->length, INT32_MAX);
            array.release(&array);
        } else {
            ASSERT_TRUE(refused);
            EXPECT_EQ(*refused, "a batch holds 2147483648 samples, more than 32-bit list offsets reach; ask for "
                                "64-bit ones");
            EXPECT_EQ(array.release, nullptr);
            EXPECT_EQ(batch.events, 3u);
            batch.data.set_size(0);
        }
    }
}

// However the consumer lets go of the parts, every block comes back once,
// and not before the last part that uses it is released.
TEST(ArrowExport, ReleaseInAnyOrderOnAnyThread) {
    for (int order = 0; order < 4; ++order) {
        SCOPED_TRACE(order);
        Exported e(50);
        const std::size_t out = e.blocks_out();
        ASSERT_EQ(out, 8u);  // six header columns, offsets, samples
        // The consumer moves the list out, as a bitwise copy that leaves the
        // parent's child released.
        ArrowArray list = *e.array.children[6];
        e.array.children[6]->release = nullptr;
        const auto* samples = static_cast<const std::uint16_t*>(list.children[0]->buffers[1]);
        auto release_parent = [&] { e.array.release(&e.array); };
        auto release_list = [&] { list.release(&list); };
        if (order % 2 == 0) {
            release_parent();
            EXPECT_EQ(e.blocks_out(), out) << "the list still reads the batch";
            EXPECT_EQ(samples[1], 2000);  // event 2's first; the list still reads it
            if (order == 0) {
                release_list();
            } else {
                std::thread(release_list).join();
            }
        } else {
            release_list();
            if (order == 1) {
                release_parent();
            } else {
                std::thread(release_parent).join();
            }
        }
        EXPECT_EQ(e.array.release, nullptr);
        EXPECT_EQ(list.release, nullptr);
        EXPECT_EQ(e.blocks_out(), 0u);
    }
}

TEST(ArrowExport, SchemaNamesFormatsAndRelease) {
    ArrowSchema schema;
    pelvar::export_batch_schema<pelvar::EventBatch<pelvar::WD2Columns, float>>(&schema, pelvar::ListOffsets::large);
    EXPECT_STREQ(schema.format, "+s");
    ASSERT_EQ(schema.n_children, 6);
    const char* names[] = {"event_counter", "timestamp", "samples", "sampling_period", "channels", "data"};
    const char* formats[] = {"I", "L", "I", "L", "i", "+L"};
    for (int i = 0; i < 6; ++i) {
        EXPECT_STREQ(schema.children[i]->name, names[i]);
        EXPECT_STREQ(schema.children[i]->format, formats[i]);
        EXPECT_EQ(schema.children[i]->flags & ARROW_FLAG_NULLABLE, 0);
    }
    ASSERT_EQ(schema.children[5]->n_children, 1);
    EXPECT_STREQ(schema.children[5]->children[0]->format, "f");
    // A moved child outlives its parent.
    ArrowSchema data = *schema.children[5];
    schema.children[5]->release = nullptr;
    schema.release(&schema);
    EXPECT_STREQ(data.children[0]->format, "f");
    data.release(&data);
    EXPECT_EQ(data.release, nullptr);
}

}  // namespace
}  // namespace pelvar_test
