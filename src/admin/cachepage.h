// The interface page "/cache": how full the memory cache and the disk stores are, and a search
// of the cached objects that lists or deletes the matches.
#pragma once

struct CONNECTION_T;
class CGIMap;
class Filebuf;

void interface_page_cache(Filebuf* page, CGIMap& arguments, CONNECTION_T* connection);
