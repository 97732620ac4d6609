#include "profile.h"

ProfileSection* profile_section = nullptr;

void ProfileSection::profiles_update(CONNECTION_T*) {}
