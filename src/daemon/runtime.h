// Bring-up of the runtime record: it owns pools, caches and timers of folders above the one
// that declares it, so it is built here, where all of them are known.
#pragma once

#include "core/global.h"

// Builds the record the first time (on the main thread, before any other thread exists) and
// returns it; later calls return the same record. It also hands the log its buffer and the
// descriptor wrappers the pools to free when the descriptor table is full.
GLOBAL_T* global_create();
