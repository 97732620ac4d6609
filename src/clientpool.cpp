#include "clientpool.h"

#include "log.h"

void ClientPool::Clean()
{
    std::lock_guard lock(mutex_);
    putlog(LOG_DEBUG, "client pool: load shedding");
}
