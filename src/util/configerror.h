// The one exception of the system: a configuration value that does not fit its field.
#pragma once

#include <stdexcept>
#include <string>

class ConfigError : public std::runtime_error {
public:
    explicit ConfigError(const std::string& message) : std::runtime_error(message) {}
};
