#include "policy/headerfilter.h"

HeaderSection* header_section = nullptr;

void HeaderSection::filter(CONNECTION_T*, int) {}
