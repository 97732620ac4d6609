#include "filter.h"

#include "template.h"

FilterSection* filter_section = nullptr;

void FilterSection::check_show(CONNECTION_T* connection)
{
    template_section->send("unknown", connection, 404);
}
