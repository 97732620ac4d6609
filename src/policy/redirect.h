// Redirect rules. Stand-in until the redirect section is built from the configuration: no rule
// exists, so nothing is redirected.
#pragma once

struct CONNECTION_T;

enum : int {
    REDIRECT_REQUEST = 0,    // the request URL; a match answers the client
    REDIRECT_LOCATION = 1,   // the Location of a 301 or 302 answer, changed in place
};

class RedirectSection {
public:
    // 1 when the client has been answered with a redirect, else 0.
    int redirect_do(CONNECTION_T* connection, int which);
};

// Created by the runtime bring-up; null before.
extern RedirectSection* redirect_section;
