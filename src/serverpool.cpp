#include "serverpool.h"

void ServerPool::Clean(int /*all*/)
{
    std::lock_guard lock(mutex_);
}
