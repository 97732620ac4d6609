// The MIME filter. Stand-in until the MIME section is built from the configuration: no rule
// exists, so nothing is blocked.
#pragma once

struct CONNECTION_T;

class MimeSection {
public:
    // 1 when the response is blocked (the block page has been sent), else 0.
    int check_and_block(CONNECTION_T* connection);
    // The filter's verdict on the response, as a page to the client.
    void check_show(CONNECTION_T* connection);
};

// Created by the runtime bring-up; null before.
extern MimeSection* mime_section;
