#include "serverpool.h"

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
