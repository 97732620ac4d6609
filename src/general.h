// The general settings. Stand-in until the general section is built from the configuration:
// every getter answers what it answers when no general rule matches the connection.
#pragma once

#include <string_view>

struct CONNECTION_T;

class GeneralSection {
public:
    // Global values.
    int linelength_get() const { return 0; }
    int poolsize_get() const { return 0; }
    int pooltimeout_get() const { return 0; }

    // Per-connection values, from the first enabled rule whose profiles match.
    int ctimeout_get(const CONNECTION_T*) const { return 60; }
    int timeout_get(const CONNECTION_T*) const { return 60; }
    int keeptimeout_get(const CONNECTION_T*) const { return 60; }
    unsigned maxdbuffer_get(const CONNECTION_T*) const { return 0; }
    unsigned maxubuffer_get(const CONNECTION_T*) const { return 0; }
    int bufferwait_get(const CONNECTION_T*) const { return 0; }
    int cportrange_check(const CONNECTION_T*, int /*port*/) const { return 1; }
    int encodemime_check(const CONNECTION_T*, std::string_view /*type*/) const { return 0; }
    int compressout_get(const CONNECTION_T*) const { return 0; }
    int compressin_get(const CONNECTION_T*) const { return 0; }
    int xforwardedfor_get(const CONNECTION_T*) const { return 0; }
    int via_get(const CONNECTION_T*) const { return 0; }
};

// Created by the runtime bring-up; null before.
extern GeneralSection* general_section;
