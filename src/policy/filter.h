// The URL filter. Stand-in until the filter section is built from the configuration: no rule
// exists and no stage callback is registered, so nothing is blocked.
#pragma once

struct CONNECTION_T;

class FilterSection {
public:
    // The filter's verdict on the request, as a page to the client.
    void check_show(CONNECTION_T* connection);
};

// Created by the runtime bring-up; null before.
extern FilterSection* filter_section;
