// The web administration interface and the URL-command pages. Stand-in until the interface is
// built: a request for the interface host name is recognised and answered with the "unknown"
// page and status 404, and so is every URL-command page.
#pragma once

#include <functional>
#include <map>
#include <string>
#include <string_view>

#include "ftp/ftplist.h"

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
void show_dirlist(CONNECTION_T* connection, const DirList& entries);
// The keyword filter's total for the response ("score").
void score_show(CONNECTION_T* connection, int score);

// The decoded arguments of a request: names and values are byte strings, compared exactly.
class CGIMap {
public:
    CGIMap() = default;
    explicit CGIMap(std::string_view text) { parse(text); }

    // Adds the arguments of an argument text ("a=1&b=2", each part url-decoded); the last '='
    // of a part separates name from value, a later name replaces an earlier one's value, and a
    // part without '=' is kept in front of the next part's name.
    void parse(std::string_view text);
    // The value of name; empty when absent.
    const std::string& get(std::string_view name) const;
    const std::map<std::string, std::string, std::less<>>& values() const { return values_; }

private:
    std::map<std::string, std::string, std::less<>> values_;
};

// Appends the "interface.css" template to page: 1, or 0 when there is no such template.
int interface_stylesheet(CONNECTION_T* connection, Filebuf* page);
// Sends a finished page as the whole answer: status 200, text/html, no-cache, its length; the
// log entry gets the status, size and type. A HEAD request gets the header only.
void interface_send_response(CONNECTION_T* connection, Filebuf* page);
