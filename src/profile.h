// Profiles: which rules of every other section apply to a connection. Stand-in until the profile
// section is built from the configuration: no profile rule exists, so nothing is attached.
#pragma once

struct CONNECTION_T;

class ProfileSection {
public:
    // Re-evaluates the profiles the connection carries; called again whenever more of the
    // request (the user, the response) is known.
    void profiles_update(CONNECTION_T* connection);
};

// Created by the runtime bring-up; null before.
extern ProfileSection* profile_section;
