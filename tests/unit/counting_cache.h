// A cache section that records every object reference given back to it, for tests of the
// handles that hold those references.
#pragma once

#include <string>
#include <vector>

#include "cache/cache.h"

class CountingCache final : public CacheSection {
public:
    void cache_close(CACHEMAP* object, bool finishing) override
    {
        given_back.push_back((finishing ? "finish " : "close ") + object->key);
    }
    void invalidate(CACHEMAP* object) override { given_back.push_back("invalidate " + object->key); }

    // In order: "close <key>", "finish <key>", "invalidate <key>".
    std::vector<std::string> given_back;
};
