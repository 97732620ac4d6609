#include "core/stats.h"

#include <algorithm>
#include <utility>

#include "util/filebuf.h"
#include "util/helpers.h"
#include "util/mem.h"

namespace {

bool stamp_before(const timeval& a, const timeval& b)
{
    return a.tv_sec < b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_usec < b.tv_usec);
}

int counter_kind(int flags)
{
    return flags & ~STAT_PROVIDER;
}

// value / total * 100, truncated; 0 for an empty total. The product is taken in 128 bits so a
// large 64-bit count cannot overflow it.
int percentage(std::uint64_t value, std::uint64_t total)
{
    if (total == 0)
        return 0;
    const unsigned __int128 share = static_cast<unsigned __int128>(value) * 100 / total;
    return static_cast<int>(std::min<unsigned __int128>(share, 100));
}

}  // namespace

timeval stat_clock_now()
{
    timeval now{};
    gettimeofday(&now, nullptr);
    return now;
}

std::string StatCounter::Get() const
{
    const bool provided = (flags & STAT_PROVIDER) != 0;
    switch (counter_kind(flags)) {
    case STAT_INTEGER:
        return std::to_string(provided && number_provider ? number_provider() : value);
    case STAT_BYTES:
        return filesize(provided && number_provider ? number_provider() : value);
    case STAT_TEXT:
        FATAL_ASSERT(provided && text_provider);
        return text_provider();
    default:
        FATAL_ASSERT(false);
        return {};
    }
}

StatGroup::StatGroup(std::string name, int type, StatClock clock)
    : type_(type), name_(std::move(name)), clock_(std::move(clock))
{
}

StatCounter* StatGroup::Find(std::string_view name)
{
    for (StatCounter& counter : counters_)
        if (counter.name == name)
            return &counter;
    return nullptr;
}

void StatGroup::Prune()
{
    if (limit_ <= 0 || counters_.empty() || counters_.size() < static_cast<std::size_t>(limit_ - 1))
        return;
    auto victim = counters_.begin();
    for (auto it = std::next(counters_.begin()); it != counters_.end(); ++it) {
        const bool better = prune_mode_ == 1 ? it->value < victim->value
                                             : stamp_before(it->last_update, victim->last_update);
        if (better)
            victim = it;
    }
    // The total keeps what the evicted counter counted.
    counters_.erase(victim);
}

bool StatGroup::Append(StatCounter counter)
{
    std::lock_guard lock(mutex_);
    if (Find(counter.name) != nullptr)
        return false;
    Prune();
    counters_.push_back(std::move(counter));
    return true;
}

bool StatGroup::Add(std::string_view name, int flags)
{
    const int kind = counter_kind(flags);
    FATAL_ASSERT(kind == STAT_INTEGER || kind == STAT_BYTES);
    StatCounter counter;
    counter.flags = kind;
    counter.name = name;
    return Append(std::move(counter));
}

bool StatGroup::Add(std::string_view name, StatNumberProvider provider, int flags)
{
    const int kind = counter_kind(flags);
    if ((kind != STAT_INTEGER && kind != STAT_BYTES) || !provider)
        return false;
    StatCounter counter;
    counter.flags = kind | STAT_PROVIDER;
    counter.name = name;
    counter.number_provider = std::move(provider);
    return Append(std::move(counter));
}

bool StatGroup::Add(std::string_view name, StatTextProvider provider, int flags)
{
    if (counter_kind(flags) != STAT_TEXT || !provider)
        return false;
    StatCounter counter;
    counter.flags = STAT_TEXT | STAT_PROVIDER;
    counter.name = name;
    counter.text_provider = std::move(provider);
    return Append(std::move(counter));
}

std::uint64_t StatGroup::Increment(std::string_view name, std::uint64_t amount)
{
    std::lock_guard lock(mutex_);
    StatCounter* counter = Find(name);
    return counter != nullptr ? Bump(*counter, amount) : 0;
}

std::uint64_t StatGroup::Bump(StatCounter& counter, std::uint64_t amount)
{
    // Read under the lock, so the stamps follow the order of the changes.
    const timeval now = clock_();
    counter.value += amount;
    total_ += amount;
    counter.last_update = now;
    last_update_ = now;
    return counter.value;
}

std::uint64_t StatGroup::Count(std::string_view name, std::uint64_t amount)
{
    std::lock_guard lock(mutex_);
    StatCounter* counter = Find(name);
    if (counter == nullptr) {
        Prune();
        StatCounter added;
        added.flags = STAT_INTEGER;
        added.name = name;
        counters_.push_back(std::move(added));
        counter = &counters_.back();
    }
    return Bump(*counter, amount);
}

std::uint64_t StatGroup::Decrement(std::string_view name, std::uint64_t amount)
{
    std::lock_guard lock(mutex_);
    StatCounter* counter = Find(name);
    if (counter == nullptr)
        return 0;
    const timeval now = clock_();
    // Taking back more than was counted would wrap to a huge count; stop at 0.
    const std::uint64_t taken = std::min(amount, counter->value);
    counter->value -= taken;
    total_ -= std::min(taken, total_);
    counter->last_update = now;
    last_update_ = now;
    return counter->value;
}

void StatGroup::Limit(int limit, int mode)
{
    std::lock_guard lock(mutex_);
    limit_ = limit;
    prune_mode_ = mode;
}

std::vector<StatCounter> StatGroup::counters() const
{
    std::lock_guard lock(mutex_);
    return counters_;
}

std::uint64_t StatGroup::total() const
{
    std::lock_guard lock(mutex_);
    return total_;
}

void StatGroup::Display(Filebuf& buffer) const
{
    // A snapshot, so that providers run and the page is formatted without the group's lock.
    std::vector<StatCounter> snapshot;
    std::uint64_t total = 0;
    {
        std::lock_guard lock(mutex_);
        snapshot = counters_;
        total = total_;
    }

    std::string html = "<tr><td align=\"center\"><table class=\"smalldialog\">\n"
                       "<tr><td class=\"listhead\" align=\"center\" colspan=\"2\">";
    html += name_;
    html += "</td></tr>\n";
    bool even = true;
    for (const StatCounter& counter : snapshot) {
        html += "<tr class=\"";
        html += even ? "listeven" : "listodd";
        html += "\"><td width=\"40%\">";
        // Names come from the network: host names, MIME types, user names.
        html += string_to_html(counter.name, 1);
        html += "</td><td>";
        if (type_ == STAT_PERCENT) {
            FATAL_ASSERT(counter.flags == STAT_INTEGER);
            html += std::to_string(counter.value);
            html += " (";
            html += std::to_string(percentage(counter.value, total));
            html += "%)";
        } else {
            html += counter.Get();
        }
        html += "</td></tr>\n";
        even = !even;
    }
    html += "</table></td></tr> <tr><td><br></td></tr>\n";
    buffer.Add(html);
}

Stats::Stats(StatClock clock) : clock_(std::move(clock)) {}

void Stats::AddGroup(std::string_view name, int type)
{
    if (group(name) != nullptr)
        return;
    groups_.push_back(std::make_unique<StatGroup>(std::string(name), type, clock_));
}

StatGroup* Stats::group(std::string_view name)
{
    for (const auto& g : groups_)
        if (g->name() == name)
            return g.get();
    return nullptr;
}

const StatGroup* Stats::group(std::string_view name) const
{
    for (const auto& g : groups_)
        if (g->name() == name)
            return g.get();
    return nullptr;
}

bool Stats::AddCounter(std::string_view group_name, std::string_view name, int flags)
{
    StatGroup* g = group(group_name);
    return g != nullptr && g->Add(name, flags);
}

bool Stats::AddCounter(std::string_view group_name, std::string_view name, StatNumberProvider provider, int flags)
{
    StatGroup* g = group(group_name);
    return g != nullptr && g->Add(name, std::move(provider), flags);
}

bool Stats::AddCounter(std::string_view group_name, std::string_view name, StatTextProvider provider, int flags)
{
    StatGroup* g = group(group_name);
    return g != nullptr && g->Add(name, std::move(provider), flags);
}

std::uint64_t Stats::Increment(std::string_view group_name, std::string_view counter, std::uint64_t amount)
{
    StatGroup* g = group(group_name);
    return g != nullptr ? g->Increment(counter, amount) : 0;
}

std::uint64_t Stats::Count(std::string_view group_name, std::string_view counter, std::uint64_t amount)
{
    StatGroup* g = group(group_name);
    return g != nullptr ? g->Count(counter, amount) : 0;
}

std::uint64_t Stats::Decrement(std::string_view group_name, std::string_view counter, std::uint64_t amount)
{
    StatGroup* g = group(group_name);
    return g != nullptr ? g->Decrement(counter, amount) : 0;
}

void Stats::Limit(std::string_view group_name, int limit, int mode)
{
    if (StatGroup* g = group(group_name))
        g->Limit(limit, mode);
}

void Stats::Display(Filebuf& buffer) const
{
    for (const auto& g : groups_)
        g->Display(buffer);
}
