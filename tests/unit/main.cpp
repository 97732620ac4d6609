// Every test thread logs: a logging thread must own a thread-table slot, and the runtime record
// must hold the log buffer.
#include <gtest/gtest.h>

#include "global.h"
#include "threads.h"

int main(int argc, char** argv)
{
    testing::InitGoogleTest(&argc, argv);
    // A death test's child starts afresh through main, so it has the slot and the record too.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    global_create();
    threads_init();
    return RUN_ALL_TESTS();
}
