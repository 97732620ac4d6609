// Forwarding rules. Stand-in until the forwarding section is built from the configuration: every
// request goes direct.
#pragma once

struct CONNECTION_T;

class ForwardSection {
public:
    // Chooses the upstream of the request: sets the connection's upstream kind, parent host and
    // port and upstream credentials. Direct (upstream kind as it stands) when no rule applies.
    void forward_do(CONNECTION_T* connection);
};

// Created by the runtime bring-up; null before.
extern ForwardSection* forward_section;
