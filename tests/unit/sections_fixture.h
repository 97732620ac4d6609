// The stand-in and configuration sections the request road calls, created once per process from
// the bring-up's table. Shared by the unit tests and the fuzz targets, so it needs no test
// framework.
#pragma once

#include <string>

#include "config/section.h"
#include "daemon/sections.h"

// With no rules loaded every section answers with its defaults. The access section is left to
// the caller, which decides whom it admits.
inline void road_sections_create()
{
    // The real configuration sections read their declarations from the shipped definitions.
    if (sectionxml == nullptr)
        sectionxml_load(std::string(TARVODINE_SOURCE_DIR) + "/etc/section.xml");
    sections_create({"general", "template", "profile", "limit", "redirect", "header", "forward", "mime", "filter",
                     "prefetch", "cache"});
}
