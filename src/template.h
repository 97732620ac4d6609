// Pages the proxy answers itself. Stand-in until the template section is built from the
// configuration: no template is configured, and each built-in HTML page is a small page with
// its title and the status code.
#pragma once

#include <string_view>

struct CONNECTION_T;

class TemplateSection {
public:
    // Answers the client with the page of that name (compared without regard to case) and
    // status, marked "Cache-Control: no-cache"; fills the log entry but does not write it.
    // 1 when the page was sent, 0 when the client is gone or no page has that name.
    int send(std::string_view name, CONNECTION_T* connection, int status);
};

// Created by the runtime bring-up; null before.
extern TemplateSection* template_section;
