#include "cache/forward.h"

ForwardSection* forward_section = nullptr;

void ForwardSection::forward_do(CONNECTION_T*) {}
