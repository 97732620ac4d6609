// The connection thread: serves one client connection at a time, request after request, then
// gives it back to the client pool and parks, ready for the next hand-over.
#pragma once

// Thread body started by process_new with the first connection (a CONNECTION_T* it now owns).
// Serves it and every connection handed over later; ends, freeing its slot, after THREAD_TIMEOUT
// seconds parked without work.
void* process_entry(void* connection);

// Seconds a kept-alive client connection is waited for on the thread of `slot` before it goes
// back to the client pool: ((MAXTHREADS - slot) * CLIENT_POOL_TIMEOUT) / (MAXTHREADS + slot *
// overload_factor), truncated, with a factor below 1 counted as 1. Never negative.
int keepalive_wait(int slot);
