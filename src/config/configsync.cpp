#include "config/configsync.h"

void config_sync(void*) {}
