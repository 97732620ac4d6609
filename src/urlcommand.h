// URL commands: prefixes in front of a request's host name that steer the proxy for one page.
// Stand-in until URL commands are built: extraction never finds any, so no request carries one.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct CONNECTION_T;

struct url_command_t {
    std::string command;
    std::optional<std::string> options;   // nullopt when the prefix had none
};

using url_command_list = std::vector<url_command_t>;

// The commands of the connection's current request, or null when it has none.
const url_command_list* url_commands(CONNECTION_T* connection);
// The first command of that name (compared without regard to case), or null; null commands
// give null.
const url_command_t* url_command_find(const url_command_list* commands, std::string_view name);
// Takes the commands out of the request: 1 to go on, 0 when the client has been answered with
// a redirect that carries the referrer's commands.
int url_command_extract(CONNECTION_T* connection);
// Logs each command in the URL-commands category.
void url_command_log(const url_command_list* commands);
// Drops the commands of the connection's current request.
void url_command_free(CONNECTION_T* connection);
// url with the connection's command prefixes in front of its host.
std::string url_command_add(CONNECTION_T* connection, std::string_view url);
