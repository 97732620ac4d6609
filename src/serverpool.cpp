#include "serverpool.h"

#include <unistd.h>

#include "global.h"

void ServerPool::Clean(int /*all*/)
{
    std::lock_guard lock(mutex_);
}

void* serverpool_clean(void* /*unused*/)
{
    for (;;) {
        global->serverpool->Clean(0);
        sleep(10);
    }
}
