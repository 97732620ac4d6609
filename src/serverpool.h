// The pool of idle upstream connections (stand-in: holds none yet).
#pragma once

#include <mutex>

class ServerPool {
public:
    // Closes the expired pooled connections, or every one when `all` is 1.
    void Clean(int all);

private:
    std::mutex mutex_;
};

// Service-thread body (the argument is not used): forever cleans the global pool, then sleeps
// 10 seconds.
void* serverpool_clean(void* unused);
