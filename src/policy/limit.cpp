#include "policy/limit.h"

LimitSection* limit_section = nullptr;

int LimitSection::check_and_block(CONNECTION_T*) { return 0; }

void LimitSection::update(CONNECTION_T*) {}

void LimitSection::reset() {}

void limits_reset(void*)
{
    if (limit_section != nullptr)
        limit_section->reset();
}
