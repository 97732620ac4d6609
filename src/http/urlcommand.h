// URL commands: prefixes in front of a request's host name that steer the proxy for one page,
// written "xx--NAME." or "xx--NAME[OPTIONS]." ("xx--" in any case), several in a row. They are
// cut off before the request goes on, copied from the Referer into follow-up requests and put
// in front of the host of redirect Locations, so that they follow the user from page to page.
//
// A name or an option text holds only letters, digits and "+_-."; a prefix with any other byte
// ends the commands there, so that no command can carry a line break or a zero byte into a
// header line.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/owners.h"

struct CONNECTION_T;

// The commands at the start of text (a host name, or a URL without its scheme), null when there
// are none; the recognised prefixes are removed from text.
UrlCommands url_command_parse(std::string& text);
// Takes the commands out of the connection's current request (its host, Host line or first
// path segment) and, for a request without commands of its own, from its Referer: 1 to go on,
// 0 when the client has been answered with a redirect that carries the referrer's commands.
int url_command_extract(CONNECTION_T* connection);
// The first command of that name (compared without regard to case), or null; null commands
// give null.
const url_command_t* url_command_find(const url_command_list* commands, std::string_view name);
// The connection's current request carries a command of that name (compared without regard to
// case).
bool url_command_has(const CONNECTION_T* connection, std::string_view name);
// The prefixes of all commands, in order.
std::string url_command_create(const url_command_list& commands);
// url (absolute, absolute path, or relative to the request's path) as an absolute URL with the
// request's scheme and the connection's command prefixes in front of its host; at most 4,095
// characters.
std::string url_command_add(CONNECTION_T* connection, std::string_view url);
// Logs each command in the URL-commands category.
void url_command_log(const url_command_list* commands);
// Drops the commands of the connection's current request.
void url_command_free(CONNECTION_T* connection);
