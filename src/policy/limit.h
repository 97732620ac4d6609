// Transfer, request, rate and time limits. Stand-in until the limit section is built from the
// configuration: no limit applies, nothing is counted.
#pragma once

struct CONNECTION_T;

class LimitSection {
public:
    // 1 when a limit blocks the request (the client has been answered), else 0.
    int check_and_block(CONNECTION_T* connection);
    // Counts the traffic of the request that ended.
    void update(CONNECTION_T* connection);
    // Zeroes the counters of the rules whose window has closed.
    void reset();
};

// The timer job (every second): resets the limit section's counters; the argument is not used.
void limits_reset(void* unused);

// Created by the runtime bring-up; null before.
extern LimitSection* limit_section;
