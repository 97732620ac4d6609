#include "serverpool.h"

#include <unistd.h>

#include "global.h"
#include "socket.h"

void ServerPool::Clean(int /*all*/)
{
    std::lock_guard lock(mutex_);
}

std::unique_ptr<Socket> ServerPool::Find(const ServerKey&)
{
    return nullptr;
}

void ServerPool::Add(std::unique_ptr<Socket> socket, const ServerKey&)
{
    socket.reset();
}

void* serverpool_clean(void* /*unused*/)
{
    for (;;) {
        global->serverpool->Clean(0);
        sleep(10);
    }
}
