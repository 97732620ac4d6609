#include "configsync.h"

void config_sync(void*) {}
