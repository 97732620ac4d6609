// Stand-in until the thread table is written.
#include "threads.h"

void threads_init() {}
int thread_create_internal(thread_start_t, void*) { return -1; }
int thread_create(thread_start_t, void*) { return -1; }
int thread_find() { return 0; }
std::uint32_t thread_get_clientid() { return 0; }
void thread_set_clientid(std::uint32_t) {}
