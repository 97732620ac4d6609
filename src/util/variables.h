// VariableMap: names and values that pages, rewrite and redirect templates and external programs
// refer to as "@NAME@"; RequestVariables: a connection's own map, whose room the serving thread
// keeps from one request to the next.
#pragma once

#include <cstddef>
#include <map>
#include <memory_resource>
#include <string>
#include <string_view>

#include "util/blocks.h"

using VariableText = std::pmr::string;

// Names in the order of plain strings; any text, whatever holds it, looks a name up without a
// key being built for it.
struct VariableOrder {
    using is_transparent = void;
    bool operator()(std::string_view a, std::string_view b) const { return a < b; }
};

using VariableMap = std::pmr::map<VariableText, VariableText, VariableOrder>;

namespace variables_detail {

// Declared before the map in RequestVariables, so that it is built before the map uses it and
// destroyed after it.
struct Arena {
    // Room for the variables of a usual request: its own, and one per line of the request and
    // response headers. Taken at the request's first variable and given back at its end, so an
    // idle connection holds none of it.
    static constexpr std::size_t INITIAL = 8192;
    std::pmr::monotonic_buffer_resource resource{INITIAL, thread_block_resource()};
};

} // namespace variables_detail

// A request sets some thirty variables, every one a node and most two strings: taken from an
// arena that is emptied as a whole between requests, whose block the serving thread keeps
// from one request to the next, they cost no allocation. A value overwritten within a request
// keeps its old room until then.
class RequestVariables : private variables_detail::Arena, public VariableMap {
public:
    RequestVariables() : VariableMap(&resource) {}
    // A copy is built in its own arena.
    RequestVariables(const RequestVariables& other) : RequestVariables() { VariableMap::operator=(other); }
    RequestVariables& operator=(const RequestVariables& other)
    {
        VariableMap::operator=(other);
        return *this;
    }

    // Empties the map and gives its room back for the next request.
    void clear()
    {
        VariableMap::clear();
        resource.release();
    }
};
