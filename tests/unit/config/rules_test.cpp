#include <gtest/gtest.h>

#include <memory>
#include <thread>
#include <vector>

#include "config/rules.h"
#include "config_fixture.h"

namespace {

// Whether another thread could take the section's lock for writing just now.
bool lock_free(const TestSection& section)
{
    bool free = false;
    std::thread([&] {
        if (section.lockkind_ == SECTION_MUTEX) {
            free = section.mutex_.try_lock();
            if (free)
                section.mutex_.unlock();
        } else {
            free = section.rwlock_.try_lock();
            if (free)
                section.rwlock_.unlock();
        }
    }).join();
    return free;
}

// A generation that notes, as it is freed, whether its section's lock was free.
struct Generation {
    int value = 0;
    const TestSection* owner = nullptr;
    std::vector<bool>* freed = nullptr;   // one entry per freed generation
    Generation() = default;
    Generation(const Generation&) = delete;
    Generation& operator=(const Generation&) = delete;
    ~Generation()
    {
        if (freed != nullptr)
            freed->push_back(lock_free(*owner));
    }
};

TEST(SectionRules, BuildsAndFreesOutsideTheLockWhileSnapshotsKeepTheirGeneration)
{
    definitions_set(TEST_DEFINITIONS);
    for (const int kind : {SECTION_RWLOCK, SECTION_MUTEX}) {
        SCOPED_TRACE(kind);
        const TestSection owner("bare", kind);
        std::vector<bool> freed;
        {
            SectionRules<Generation> rules(owner);
            ASSERT_NE(rules.snapshot(), nullptr);   // a default generation before the first build
            EXPECT_EQ(rules.snapshot()->value, 0);

            const auto build = [&](int value) {
                return [&, value](Generation& next) {
                    EXPECT_TRUE(lock_free(owner));   // readers are not kept waiting by a build
                    next.value = value;
                    next.owner = &owner;
                    next.freed = &freed;
                };
            };
            rules.rebuild(build(1));
            std::shared_ptr<const Generation> held = rules.snapshot();
            rules.rebuild(build(2));
            EXPECT_EQ(held->value, 1);   // a reader's generation stays whole
            EXPECT_EQ(rules.snapshot()->value, 2);
            EXPECT_TRUE(freed.empty());

            held.reset();                // the last snapshot of generation 1 frees it
            ASSERT_EQ(freed.size(), 1u);
            rules.rebuild(build(3));     // nobody holds generation 2: freed by the swap itself
            ASSERT_EQ(freed.size(), 2u);
            EXPECT_TRUE(freed[1]) << "the replaced generation was freed under the lock";
            EXPECT_EQ(rules.snapshot()->value, 3);
        }
        EXPECT_EQ(freed.size(), 3u);
    }
}

} // namespace
