#include <gtest/gtest.h>

#include <cstring>
#include <memory_resource>
#include <set>
#include <thread>
#include <vector>

#include "util/blocks.h"

namespace {

TEST(ThreadBlocks, KeptBlocksComeBackOnlyForTheirSizeAndOnlyOnTheirThread)
{
    void* a = ::operator new(4096);
    void* b = ::operator new(2048);
    ASSERT_TRUE(thread_block_keep(a, 4096));
    ASSERT_TRUE(thread_block_keep(b, 2048));
    EXPECT_EQ(thread_block_take(1024), nullptr);
    // Another thread keeps its own.
    std::thread([] { EXPECT_EQ(thread_block_take(4096), nullptr); }).join();
    EXPECT_EQ(thread_block_take(4096), a);
    EXPECT_EQ(thread_block_take(4096), nullptr);
    EXPECT_EQ(thread_block_take(2048), b);
    ::operator delete(a);
    ::operator delete(b);
}

TEST(ThreadBlocks, AThreadKeepsAFewAndItsCallersFreeTheRest)
{
    std::vector<void*> blocks;
    int kept = 0;
    for (int i = 0; i < 20; ++i) {
        void* block = ::operator new(1500);
        if (thread_block_keep(block, 1500))
            ++kept;
        else
            ::operator delete(block);
    }
    EXPECT_GT(kept, 0);
    EXPECT_LT(kept, 20);
    std::set<void*> taken;
    for (void* block = thread_block_take(1500); block != nullptr; block = thread_block_take(1500))
        taken.insert(block);
    EXPECT_EQ(taken.size(), static_cast<std::size_t>(kept));
    for (void* block : taken)
        ::operator delete(block);
}

// An arena upstreamed by the resource: what one round frees the next round takes again, and a
// thread that ends gives its kept blocks back (the leak checker of sanitizer builds sees any
// it would not).
TEST(ThreadBlocks, AnArenaReusesItsBlockRoundAfterRound)
{
    std::thread([] {
        std::pmr::monotonic_buffer_resource arena(8192, thread_block_resource());
        std::set<void*> firsts;
        for (int round = 0; round < 50; ++round) {
            {
                std::pmr::vector<char> bytes(&arena);
                bytes.resize(3000, 'x');
                firsts.insert(bytes.data());
                EXPECT_EQ(bytes[2999], 'x');
            }
            arena.release();
        }
        EXPECT_EQ(firsts.size(), 1u);
        // Larger than the first block: the arena asks for more and gives it all back.
        std::pmr::vector<char> big(&arena);
        big.resize(100000, 'y');
        EXPECT_EQ(big.back(), 'y');
    }).join();
}

} // namespace
