#include "core/global.h"

GLOBAL_T* global = nullptr;
