#include "policy/mime.h"

#include "http/connection.h"
#include "config/template.h"

MimeSection* mime_section = nullptr;

int MimeSection::check_and_block(CONNECTION_T*) { return 0; }

void MimeSection::check_show(CONNECTION_T* connection)
{
    template_section->send("unknown", connection, 404);
}
