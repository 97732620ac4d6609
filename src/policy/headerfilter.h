// The header filter. Stand-in until the header section is built from the configuration: no rule
// exists, so every header goes out with the lines it was received with.
#pragma once

struct CONNECTION_T;

enum : int {
    HEADERFILTER_REQUEST = 1,    // the request header, before it goes upstream
    HEADERFILTER_RESPONSE = 2,   // the response header, before it goes to the client
};

class HeaderSection {
public:
    void filter(CONNECTION_T* connection, int which);
};

// Created by the runtime bring-up; null before.
extern HeaderSection* header_section;
