// Access rules and client authentication. Stand-in until the access section is built from the
// configuration: every client is admitted with every permission.
#pragma once

struct CONNECTION_T;
class Filebuf;

class AccessSection {
public:
    // Registers access_auth at the authentication stage.
    AccessSection();
};

// Stage-7 callback: grants the permission bits; 0, the request goes on.
int access_auth(CONNECTION_T* connection, Filebuf* body);

// Created by the runtime bring-up; null before.
extern AccessSection* access_section;
