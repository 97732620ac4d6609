#include "util/atom.h"

#include "util/mem.h"

std::mutex atomlock;

Atom::~Atom()
{
    FATAL_ASSERT(count_.load(std::memory_order_relaxed) == 0);
}

Atom* Atom::New()
{
    count_.fetch_add(1, std::memory_order_relaxed);
    return this;
}

bool Atom::Delete()
{
    return count_.fetch_sub(1, std::memory_order_acq_rel) == 1;
}
