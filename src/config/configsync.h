// Synchronisation of a slave's configuration from its master: the master's "/xml" export is
// fetched, and when it is newer than the one last taken, the chosen sections (-S, -E) are loaded
// from it and the result is written to the slave's own configuration file.
#pragma once

// One synchronisation run, at start-up and as a timer job every syncinterval seconds; does
// nothing unless the process is a slave. The argument is not used. Every failure is logged and
// leaves the running configuration as it was; the next run tries again.
void config_sync(void* unused);
