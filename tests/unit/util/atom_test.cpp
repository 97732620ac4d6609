#include <gtest/gtest.h>

#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "util/atom.h"

namespace {

// A shared object as the statistics and bandwidth groups are: it derives from its Atom.
struct Shared : Atom {
    explicit Shared(int* destroyed) : destroyed_(destroyed) {}
    ~Shared() { ++*destroyed_; }
    int* destroyed_;
};

// Drops one reference the way every user does; true when the object was destroyed.
bool release(Shared* object)
{
    std::lock_guard lock(atomlock);
    if (!object->Delete())
        return false;
    delete object;
    return true;
}

bool any_status(int) { return true; }

}  // namespace

TEST(Atom, LastOfThreeReleasesIsTheOneThatReportsTrue)
{
    Atom atom;
    EXPECT_EQ(atom.New(), &atom);
    EXPECT_EQ(atom.New(), &atom);
    EXPECT_FALSE(atom.Delete());
    EXPECT_FALSE(atom.Delete());
    EXPECT_TRUE(atom.Delete());
}

TEST(Atom, OwnerSharedAcrossThreadsIsDestroyedOnceByTheLastRelease)
{
    int destroyed = 0;
    auto* object = new Shared(&destroyed);
    constexpr int threads = 8;
    constexpr int rounds = 2000;
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([object] {
            for (int i = 0; i < rounds; ++i) {
                {
                    std::lock_guard lock(atomlock);
                    object->New();
                }
                EXPECT_FALSE(release(object));
            }
        });
    }
    for (std::thread& worker : workers)
        worker.join();
    EXPECT_EQ(destroyed, 0);
    EXPECT_TRUE(release(object));
    EXPECT_EQ(destroyed, 1);
}

TEST(AtomRef, HandlesCountTheirReferencesAndTheLastOneDeletes)
{
    int destroyed = 0;
    AtomRef<Shared> a = atom_make<Shared>(&destroyed);
    AtomRef<Shared> b = a;                  // a second reference
    AtomRef<Shared> c = std::move(b);       // the same one, handed on
    EXPECT_EQ(b, nullptr);
    EXPECT_EQ(c.get(), a.get());

    c = nullptr;                            // a holds the only reference now
    const AtomRef<Shared>& same = a;
    a = same;                               // given what it holds: kept, not dropped first
    {
        const AtomRef<Shared> copy = a;
        c = AtomRef<Shared>::share(a.get());
    }
    EXPECT_EQ(destroyed, 0);
    a.reset();
    EXPECT_EQ(destroyed, 0);
    c = AtomRef<Shared>();
    EXPECT_EQ(destroyed, 1);
    EXPECT_EQ(AtomRef<Shared>::share(nullptr), nullptr);
}

TEST(AtomDeath, DestroyedWhileReferencedIsFatal)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    // Created with one reference that nobody released.
    EXPECT_EXIT({ Atom atom; }, any_status, "");
    EXPECT_EXIT({
        Atom atom;
        atom.New();
        atom.Delete();
    }, any_status, "");
}
