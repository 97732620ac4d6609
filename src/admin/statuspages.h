// The interface's status pages: the proxy's live state (connections, statistics, DNS cache,
// the request's own headers, the upstream pool, the log, the prefetch queue, the URL
// blacklists) and the few actions an operator takes on them. Each appends its HTML inside the
// interface frame and takes the lock of what it reads only while it reads.
#pragma once

class CGIMap;
class Filebuf;
struct CONNECTION_T;

// The idle client connections of the connections page, drawn by the client pool, which sits
// above the interface: handed down at start-up (sections_create); until then none are shown.
using clientpool_page_t = void (*)(Filebuf* page);
void statuspages_set_clientpool(clientpool_page_t show);

void interface_page_connections(Filebuf* page, CGIMap& args, CONNECTION_T* connection);
void interface_page_stats(Filebuf* page, CGIMap& args, CONNECTION_T* connection);
void interface_page_dnscache(Filebuf* page, CGIMap& args, CONNECTION_T* connection);
void interface_page_headers(Filebuf* page, CGIMap& args, CONNECTION_T* connection);
void interface_page_pool(Filebuf* page, CGIMap& args, CONNECTION_T* connection);
// "clear" = "on" empties the log buffer, then a "size" other than -1 resizes it (0: off);
// "pattern" shows only the lines it matches, without regard to case.
void interface_page_log(Filebuf* page, CGIMap& args, CONNECTION_T* connection);
// "queue": a URL to add to the prefetch queue.
void interface_page_prefetch(Filebuf* page, CGIMap& args, CONNECTION_T* connection);
// "show" = "true" searches the checked categories for "domain" and "file" patterns.
void interface_page_urlbl(Filebuf* page, CGIMap& args, CONNECTION_T* connection);
