// The running proxy: what start-up hands over to once the process has its final user and group.
#pragma once

#include <cstdint>
#include <ctime>

// The next client id to issue; 0 is never issued (it is the main thread's).
extern std::uint32_t clientid;

// Never returns; the process ends through a signal or the fatal assertion.
[[noreturn]] void mainloop();
// The bring-up, on the main thread before any other thread of the process exists: OpenSSL, the
// runtime record, the section definitions, the sections, the statistics, the network, the
// configuration, the listeners, the periodic timers and the service threads.
void config();
// The id for the next accepted connection: 1, 2, ..., 4294967295, then 1 again.
std::uint32_t clientid_next();
// The local clock's distance from UTC as the rest of the system measures times: mktime of the
// UTC breakdown of `now`, less `now`.
std::time_t gmtoffset_compute(std::time_t now);
