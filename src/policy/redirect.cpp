#include "policy/redirect.h"

RedirectSection* redirect_section = nullptr;

int RedirectSection::redirect_do(CONNECTION_T*, int) { return 0; }
