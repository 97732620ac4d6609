// The thread table: every thread of the process owns one slot.
#pragma once

#include <cstdint>

using thread_start_t = void* (*)(void*);

// Once, in main, before any other thread exists: the caller takes slot 0 with client id 0.
void threads_init();
// Service threads (10 MiB stack); slot index or -1.
int thread_create_internal(thread_start_t start, void* arg);
// Connection threads and prefetch workers (stack of max_opt_stack bytes); slot index or -1.
int thread_create(thread_start_t start, void* arg);
// The calling thread's slot; a thread without one is a fatal assertion.
int thread_find();
std::uint32_t thread_get_clientid();
void thread_set_clientid(std::uint32_t id);
