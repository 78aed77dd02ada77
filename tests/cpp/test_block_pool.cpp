// The block pool's rules: size classes, reuse of kept blocks, what it keeps
// for the readers alive (and for the next one once none is), and memory that
// only the pool holds given back when the allocator refuses.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <random>
#include <vector>

#include "block_pool.hpp"
#include "column.hpp"
#include "scripted_file.hpp"

namespace pelvar_test {
namespace {

using pelvar::BlockPool;

TEST(BlockPool, SizeClassesRoundUpALittleAndAreTheirOwnClass) {
    std::mt19937_64 rng(1);
    for (int i = 0; i < 100000; ++i) {
        // Every small size, then sizes of any magnitude.
        const std::size_t n = i < 5000 ? static_cast<std::size_t>(i) : rng() >> (rng() % 64);
        const std::size_t c = BlockPool::size_class(n);
        ASSERT_GE(c, n);
        ASSERT_LE(c - n, std::max<std::size_t>(63, n / 4)) << n;
        ASSERT_EQ(BlockPool::size_class(c), c) << n;
    }
}

TEST(BlockPool, TakeReusesAKeptBlockUpToTwiceTheSize) {
    for (std::size_t bytes : {64u, 1000u, 4096u, 100000u}) {
        CountingAllocator alloc;
        BlockPool pool(alloc.get());
        BlockPool::Share share(pool);
        share.expect(std::size_t{1} << 20);
        const std::size_t n = BlockPool::size_class(bytes);
        const auto made = pool.take(n);
        ASSERT_NE(made.data, nullptr);
        ASSERT_EQ(made.bytes, n);
        pool.give_back(made.data, made.bytes);
        const std::size_t requests = alloc.requests();
        const auto kept = pool.take(n);
        EXPECT_EQ(kept.data, made.data);
        EXPECT_EQ(kept.bytes, n);
        EXPECT_EQ(alloc.requests(), requests) << "the allocator was asked for a kept block";
        pool.give_back(kept.data, kept.bytes);
        // Too large for a third of the size: a new block, the kept one stays.
        const auto small = pool.take(n / 3);
        EXPECT_NE(small.data, kept.data);
        EXPECT_EQ(pool.kept_blocks(), 1u);
        pool.give_back(small.data, small.bytes);
    }
}

// Random takes and give-backs against a model of what is kept: after every
// give-back the pool holds at most the budget, what it let go of were its
// oldest blocks, and a block larger than the budget is freed at once.
TEST(BlockPool, KeepsAtMostTheBudgetFreeingTheOldestFirst) {
    CountingAllocator alloc;
    BlockPool pool(alloc.get());
    BlockPool::Share share(pool);
    const std::size_t budget = std::size_t{256} << 10;
    share.expect(budget);
    std::mt19937 rng(7);
    std::vector<BlockPool::Block> out;  // taken, not yet given back
    std::deque<BlockPool::Block> kept;  // what the pool should keep, oldest first
    for (int step = 0; step < 20000; ++step) {
        if (out.empty() || std::uniform_int_distribution<int>(0, 1)(rng) == 0) {
            // Sizes from 64 bytes to twice the budget, evenly on a log scale.
            const double scale = std::uniform_real_distribution<double>(6, 19)(rng);
            const auto block = pool.take(static_cast<std::size_t>(std::exp2(scale)));
            ASSERT_NE(block.data, nullptr);
            std::erase_if(kept, [&](const BlockPool::Block& k) { return k.data == block.data; });
            out.push_back(block);
            continue;
        }
        const std::size_t i = std::uniform_int_distribution<std::size_t>(0, out.size() - 1)(rng);
        const auto block = out[i];
        out.erase(out.begin() + static_cast<std::ptrdiff_t>(i));
        pool.give_back(block.data, block.bytes);
        if (block.bytes > budget) {
            EXPECT_EQ(alloc.block_bytes(block.data), 0u) << "a block larger than the budget was kept";
        } else {
            kept.push_back(block);
        }
        // The blocks freed are a run from the oldest.
        while (!kept.empty() && alloc.block_bytes(kept.front().data) == 0) {
            kept.pop_front();
        }
        std::size_t held = 0;
        for (const auto& k : kept) {
            ASSERT_NE(alloc.block_bytes(k.data), 0u) << "a newer block was freed before an older one";
            held += k.bytes;
        }
        ASSERT_EQ(pool.held(), held);
        ASSERT_EQ(pool.kept_blocks(), kept.size());
        ASSERT_LE(held, budget);
    }
    for (const auto& block : out) {
        pool.give_back(block.data, block.bytes);
    }
}

// Gives back `count` new blocks of `bytes`.
void fill(BlockPool& pool, std::size_t count, std::size_t bytes) {
    std::vector<BlockPool::Block> blocks;
    for (std::size_t i = 0; i < count; ++i) {
        blocks.push_back(pool.take(bytes));
    }
    for (const auto& block : blocks) {
        pool.give_back(block.data, block.bytes);
    }
}

// Readers share the budget while they live; the last one's stays for the
// next reader, who gives back at once what is above its own.
TEST(BlockPool, WhatIsKeptFollowsTheReadersAlive) {
    CountingAllocator alloc;
    BlockPool pool(alloc.get());
    constexpr std::size_t block = 4096;
    {
        BlockPool::Share smaller(pool);
        smaller.expect(8 * block);
        {
            BlockPool::Share larger(pool);
            larger.expect(16 * block);
            fill(pool, 24, block);
            EXPECT_EQ(pool.held(), 24 * block);
        }
        EXPECT_EQ(pool.held(), 8 * block) << "the larger share went";
    }
    EXPECT_EQ(pool.held(), 8 * block) << "kept for the next reader";
    BlockPool::Share next(pool);
    next.expect(2 * block);
    EXPECT_EQ(pool.held(), 2 * block) << "the next reader needs less";
    EXPECT_EQ(alloc.live_bytes(), 2 * block);
}

// An allocator that refuses a request while the pool keeps blocks is asked
// once more after the pool has freed them: for a new block and for growing
// a column.
TEST(BlockPool, ARefusedRequestIsTriedAgainWithoutTheKeptBlocks) {
    constexpr std::size_t block = 16384;
    for (bool growing : {false, true}) {
        CountingAllocator alloc;
        BlockPool pool(alloc.get());
        BlockPool::Share share(pool);
        share.expect(8 * block);
        pelvar::Column<std::uint8_t> column(&pool);
        ASSERT_TRUE(column.reserve(block));
        fill(pool, 4, 2 * block);
        alloc.refuse_past_live(6 * block);
        const std::size_t refusals = alloc.refusals();
        if (growing) {
            ASSERT_TRUE(column.reserve(5 * block));
            EXPECT_GE(column.capacity(), 5 * block);
        } else {
            const auto taken = pool.take(5 * block);
            ASSERT_NE(taken.data, nullptr);
            pool.give_back(taken.data, taken.bytes);
        }
        EXPECT_EQ(alloc.refusals(), refusals + 1);
        // Refused again without kept blocks: asked once more, not on and on.
        alloc.refuse_past_live(0);
        const std::size_t requests = alloc.requests();
        EXPECT_FALSE(column.reserve(32 * block));
        EXPECT_EQ(pool.take(32 * block).data, nullptr);
        // The column's growth is asked twice only when the pool kept a block.
        EXPECT_LE(alloc.requests(), requests + 3);
        EXPECT_EQ(pool.kept_blocks(), 0u);
    }
}

}  // namespace
}  // namespace pelvar_test
