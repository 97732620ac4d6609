// Large blocks that every request allocates and frees (its headers, the room of its variables):
// too large for the allocator's caches of small blocks, and a large request also makes glibc
// merge every cached small block first. Each thread keeps a few freed ones for its next
// requests and gives them back to the allocator when it ends.
#pragma once

#include <cstddef>
#include <memory_resource>

// A block of exactly `size` bytes the calling thread kept, or null. Blocks come from and go
// back to plain ::operator new(size) / ::operator delete.
void* thread_block_take(std::size_t size);
// Keeps a freed block of `size` bytes for the calling thread's next take; false when the thread
// keeps enough already (or is ending), and the caller frees the block itself. In sanitizer
// builds a kept block is unusable until it is taken again, as a freed one would be.
bool thread_block_keep(void* block, std::size_t size);

// A memory resource whose blocks go through the calling thread's kept ones; an upstream for
// arenas that take one block per request and give it back at its end.
std::pmr::memory_resource* thread_block_resource();
