// Every test thread logs, and a logging thread must own a thread-table slot.
#include <gtest/gtest.h>

#include "threads.h"

int main(int argc, char** argv)
{
    testing::InitGoogleTest(&argc, argv);
    threads_init();
    return RUN_ALL_TESTS();
}
