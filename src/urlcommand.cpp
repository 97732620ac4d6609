#include "urlcommand.h"

#include <strings.h>

#include "log.h"

const url_command_list* url_commands(CONNECTION_T*) { return nullptr; }

const url_command_t* url_command_find(const url_command_list* commands, std::string_view name)
{
    if (commands == nullptr)
        return nullptr;
    for (const url_command_t& command : *commands)
        if (command.command.size() == name.size() && strncasecmp(command.command.data(), name.data(), name.size()) == 0)
            return &command;
    return nullptr;
}

int url_command_extract(CONNECTION_T*) { return 1; }

void url_command_log(const url_command_list* commands)
{
    if (commands == nullptr)
        return;
    for (const url_command_t& command : *commands) {
        if (command.options)
            putlog(LOG_URLCOMMAND, "command: %s, options: %s", command.command.c_str(), command.options->c_str());
        else
            putlog(LOG_URLCOMMAND, "command: %s", command.command.c_str());
    }
}

void url_command_free(CONNECTION_T*) {}

std::string url_command_add(CONNECTION_T*, std::string_view url) { return std::string(url); }
