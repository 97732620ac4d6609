// Every test thread logs: a logging thread must own a thread-table slot, and the runtime record
// must hold the log buffer.
#include <gtest/gtest.h>

#include "core/global.h"
#include "core/threads.h"

int main(int argc, char** argv)
{
    testing::InitGoogleTest(&argc, argv);
    global_create();
    threads_init();
    return RUN_ALL_TESTS();
}
