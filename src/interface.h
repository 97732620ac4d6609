// The web administration interface and the URL-command pages. Stand-in until the interface is
// built: a request for the interface host name is recognised and answered with the "unknown"
// page and status 404, and so is every URL-command page.
#pragma once

struct CONNECTION_T;
class Filebuf;

// The reserved host name under which the proxy serves its interface.
constexpr const char* INTERFACE_HOST = "tarvodine";

// true when the request is addressed to the interface. An origin-form request whose Host line
// names the interface becomes an absolute-URI request.
bool interface_request(CONNECTION_T* connection);
// Answers an interface request completely.
void interface_handle_request(CONNECTION_T* connection);

// The URL-command pages, each a whole answer to the client.
void limits_show(CONNECTION_T* connection);
void show_profiles(CONNECTION_T* connection);
void cache_show(CONNECTION_T* connection);
void show_proxytest(CONNECTION_T* connection);
void show_headers(CONNECTION_T* connection);
void show_variables(CONNECTION_T* connection);
void show_filebuf(CONNECTION_T* connection, Filebuf* body);
void show_htmltree(CONNECTION_T* connection);
void interface_cookies_show(CONNECTION_T* connection);
