// Until the listeners and the cache exist, the clean exit has only the PID file to remove.
#include "signals.h"

#include <cstdio>
#include <unistd.h>

#include "log.h"
#include "options.h"

void sigterm()
{
    putlog(LOG_ALWAYS, "Recieved Signal for Termination");
    clean_exit(1);
}

void clean_exit(int status)
{
    if (!pidfile.empty())
        unlink(pidfile.c_str());
    std::fflush(stdout);
    std::fflush(stderr);
    // Other threads may still be serving; static destructors must not run under them.
    _exit(status);
}
