#include "policy/filter.h"

#include "config/template.h"

FilterSection* filter_section = nullptr;

void FilterSection::check_show(CONNECTION_T* connection)
{
    template_section->send("unknown", connection, 404);
}
