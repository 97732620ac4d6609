// The rules a section builds from its items, one generation at a time. update() builds the next
// generation whole, without a lock, and swaps it in under the section's lock; readers copy the
// pointer and work on that generation for as long as they hold it, so no lock is held across
// DNS, a template send or another section, and rules never change under a running check.
//
//   struct NetworkRules { std::vector<Listen> listens; };
//
//   class NetworkSection final : public Section {
//   public:
//       std::shared_ptr<const NetworkRules> rules() const { return rules_.snapshot(); }
//       void update() override
//       {
//           rules_.rebuild([this](NetworkRules& next) { rules_from_items(next.listens, subsections_[0]); });
//       }
//   private:
//       SectionRules<NetworkRules> rules_{*this};
//   };
#pragma once

#include <memory>
#include <utility>
#include <vector>

#include "config/item.h"
#include "config/section.h"

template <class T>
class SectionRules {
public:
    // Guarded by the owner's lock (its read/write lock, or its mutex for a kind-1 section). The
    // first generation is a default T, so a snapshot is never null.
    explicit SectionRules(const Section& owner) : owner_(owner) {}
    SectionRules(const SectionRules&) = delete;
    SectionRules& operator=(const SectionRules&) = delete;

    // The generation in force: a pointer copy, never a rebuild. Not while holding the owner's
    // lock.
    std::shared_ptr<const T> snapshot() const
    {
        SectionReadLock lock(owner_);
        return current_;
    }

    // Calls build(T&) on a new default T, without the lock, and publishes the result. The
    // replaced generation is freed after the lock is released, and only once the last snapshot
    // of it is dropped, so freeing compiled patterns never blocks readers. Called from update(),
    // where the writer holds writer_mutex_ and the items hold still.
    template <class Build>
    void rebuild(Build&& build)
    {
        auto next = std::make_shared<T>();
        std::forward<Build>(build)(*next);
        std::shared_ptr<const T> old = std::move(next);
        {
            SectionWriteLock lock(owner_);
            current_.swap(old);
        }
    }

private:
    const Section& owner_;
    std::shared_ptr<const T> current_ = std::make_shared<const T>();
};

// Appends a rule built from each item of the subsection (Rule has a constructor from an Item),
// in item order.
template <class Rule>
void rules_from_items(std::vector<Rule>& rules, const Subsection& subsection)
{
    rules.reserve(rules.size() + subsection.items.size());
    for (const Item& item : subsection.items)
        rules.emplace_back(item);
}
