// The memory that samples and batch columns are read into, from the
// interpreter's raw allocator: tracemalloc sees it, and it needs no thread
// state, so a block may be given back on any thread.
#pragma once

#include <cstddef>

#include "allocator.hpp"
#include "block_pool.hpp"

namespace pelvar {

// The interpreter's raw allocator; a block of a size that recurs may come
// from the ones kept by keep_raw_block.
extern const Allocator python_raw_allocator;

// Keeps a block of python_raw_allocator, given back by its owner, for the
// next event of its size. False when it is not kept: the caller frees it.
bool keep_raw_block(void* block, std::size_t bytes) noexcept;

// The process's pool of batch column blocks, from python_raw_allocator: made
// on first use and never destroyed, since arrays may let go of their blocks
// on any thread, until the very end of the process.
BlockPool& batch_block_pool();

}  // namespace pelvar
