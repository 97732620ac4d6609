// The web administration interface: recognising and routing its requests, the login, the
// configuration export at "/xml", the page frame and the page table; and the helpers every page
// the proxy builds itself starts and is sent with.
#pragma once

#include <functional>
#include <map>
#include <string>
#include <string_view>

#include "ftp/ftplist.h"
#include "http/template.h"   // INTERFACE_HOST

struct CONNECTION_T;
struct HEADER;
struct htmlstream_node;
class Filebuf;

// true when the request is addressed to the interface. An origin-form request whose Host line
// names the interface becomes an absolute-URI request.
bool interface_request(CONNECTION_T* connection);
// Answers an interface request completely: templates under "/template/" for everybody, the
// rest to clients whose access rule grants the interface ("/userstats" to everybody), "/xml"
// without login, every other page after it.
void interface_handle_request(CONNECTION_T* connection);
// 1 when the request's Referer is an http page of the interface host (any port), or of the
// proxy's own host name on the port the request came in on; else 0 (logged). Only such requests
// get their arguments read.
int interface_check_referer(CONNECTION_T* connection);

// The URL-command pages, each a whole answer to the client (the ones built here in
// admin/commandpages.cpp).
void limits_show(CONNECTION_T* connection);
void show_profiles(CONNECTION_T* connection);
void cache_show(CONNECTION_T* connection);
void show_proxytest(CONNECTION_T* connection);
void show_headers(CONNECTION_T* connection);
void show_variables(CONNECTION_T* connection);
void show_filebuf(CONNECTION_T* connection, Filebuf* body);
void show_htmltree(CONNECTION_T* connection);
// One sibling chain of the HTML tree and, after each node, its children one level deeper.
void show_htmltree_node(Filebuf* page, htmlstream_node* node, int depth);
// The cookies the request sent and its response set, one dialog a cookie line; replaces the
// response.
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

// The login token of an account: "user:password" (at most 1,023 characters) enciphered with
// itself, as the "login" cookie carries it.
std::string interface_login_token(std::string_view user, std::string_view password);
// true when the client is logged in (or the account has no user name or password), with a
// renewed "login" cookie added to response; false after writing the login form into page.
bool interface_login(CONNECTION_T* connection, const CGIMap& args, HEADER* response, Filebuf* page);

// -1 for the empty text, else its leading decimal integer as atoi reads it.
int xatoi(const std::string& text);

// One row of the page table: a path of the interface, the function that appends its page, and
// the label of its link in the top menu (null: the page has none).
using InterfacePageFunction = void (*)(Filebuf* page, CGIMap& args, CONNECTION_T* connection);
struct InterfacePage {
    const char* path;
    InterfacePageFunction page;
    const char* menu;
};
// Ends with a row whose path is null. Every row whose path equals the request's runs, in order.
// The top menu links the rows that have a label, in this order, four to a line.
extern const InterfacePage pages[];

// Appends the "interface.css" template to page: 1, or 0 when there is no such template.
int interface_stylesheet(CONNECTION_T* connection, Filebuf* page);
// Sends a finished page as the whole answer: status 200, text/html, no-cache, its length; the
// log entry gets the status, size and type. A HEAD request gets the header only.
void interface_send_response(CONNECTION_T* connection, Filebuf* page);
