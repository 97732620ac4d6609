// The pool of idle client connections (stand-in: holds none yet).
#pragma once

#include <mutex>

class ClientPool {
public:
    // Closes every pooled connection: called when descriptors run out and on SIGHUP.
    void Clean();

private:
    std::mutex mutex_;
};
