// Stand-in until the bring-up and accept loop are written: the process stays up, doing nothing,
// until a signal ends it.
#include "mainloop.h"

#include <unistd.h>

#include "log.h"

void mainloop()
{
    putlog(LOG_ALWAYS, "start-up done, waiting for signals");
    for (;;)
        pause();
}
