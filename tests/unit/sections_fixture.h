// The stand-in and configuration sections the request road calls, created once per process as
// the bring-up would. Shared by the unit tests and the fuzz targets, so it needs no test framework.
#pragma once

#include <string>

#include "cache/cache.h"
#include "policy/filter.h"
#include "cache/forward.h"
#include "config/general.h"
#include "policy/headerfilter.h"
#include "policy/limit.h"
#include "policy/mime.h"
#include "cache/prefetch.h"
#include "config/profile.h"
#include "policy/redirect.h"
#include "config/section.h"
#include "config/template.h"

// With no rules loaded every section answers with its defaults.
inline void road_sections_create()
{
    // The real configuration sections read their declarations from the shipped definitions.
    if (sectionxml == nullptr)
        sectionxml_load(std::string(TARVODINE_SOURCE_DIR) + "/etc/section.xml");
    static GeneralSection general;
    static TemplateSection templates;
    static ProfileSection profiles;
    static LimitSection limits;
    static RedirectSection redirects;
    static HeaderSection headers;
    static ForwardSection forwarding;
    static MimeSection mimes;
    static FilterSection filters;
    static PrefetchSection prefetching;
    static CacheSection caching;
    general_section = &general;
    template_section = &templates;
    profile_section = &profiles;
    limit_section = &limits;
    redirect_section = &redirects;
    header_section = &headers;
    forward_section = &forwarding;
    mime_section = &mimes;
    filter_section = &filters;
    prefetch_section = &prefetching;
    cache_section = &caching;
}
