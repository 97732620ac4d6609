// TEMPORARY: reading and writing header blocks until the header component's own land.
#pragma once

#include <list>
#include <string_view>

#include "header.h"

struct CACHEMAP;

HeaderText header_get(CONNECTION_T* connection, int side, int timeout);
void header_send_filebuf(Filebuf* buffer, HEADER* header, CONNECTION_T* connection, int mode);
int header_send(HEADER* header, CONNECTION_T* connection, int target, int mode);
void via_header_update(CONNECTION_T* connection);
void xcache_header_update(CONNECTION_T* connection, int miss);
void conditional_header(HEADER* header, CACHEMAP* object);
void header_variables(CONNECTION_T* connection, std::string_view prefix, const std::list<HTTP_HEADER>& lines);
