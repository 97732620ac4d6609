// Synchronisation of a slave's configuration from its master. Stand-in until it is built: a
// run takes nothing from the master.
#pragma once

// One synchronisation run, at start-up and as a timer job every syncinterval seconds; does
// nothing unless the process is a slave. The argument is not used.
void config_sync(void* unused);
