// Every test thread logs: a logging thread must own a thread-table slot, and the runtime record
// must hold the log buffer. The process ends and hands connections over as the daemon's does.
#include <gtest/gtest.h>

#include "daemon/connthread.h"
#include "daemon/signals.h"
#include "core/global.h"
#include "daemon/runtime.h"
#include "util/mem.h"
#include "core/threads.h"

int main(int argc, char** argv)
{
    testing::InitGoogleTest(&argc, argv);
    process_exits_set(clean_exit, sigterm);
    global_create();
    threads_init();
    threads_set_connection_entry(process_entry);
    return RUN_ALL_TESTS();
}
