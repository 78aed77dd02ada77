// The allocator that sample and column memory comes from, and what an owner
// needs to give a block of it back. Python-free: the module hands in the
// interpreter's raw allocator, the tests a counting one.
#pragma once

#include <cstddef>
#include <cstdlib>

namespace pelvar {

class BlockPool;

struct Allocator {
    void* (*allocate)(std::size_t bytes);
    void* (*reallocate)(void* data, std::size_t bytes);
    void (*release)(void* data);
};

inline constexpr Allocator malloc_allocator{
    [](std::size_t n) { return std::malloc(n); },
    [](void* p, std::size_t n) { return std::realloc(p, n); },
    [](void* p) { std::free(p); },
};

// Where an empty buffer points: never null, aligned for any sample type, and
// never written or freed (capacity 0).
inline constexpr std::size_t empty_alignment = 8;
alignas(empty_alignment) inline std::byte empty_block[empty_alignment];

// What a new owner of a buffer needs to give its block back, when it is not
// null: to its pool if it has one, else to the allocator. (The array over
// the buffer keeps the data pointer and the length.)
struct BufferParts {
    void* block;              // the allocation that holds the data, or null
    std::size_t block_bytes;  // its size, as allocated
    BlockPool* pool = nullptr;
};

}  // namespace pelvar
