// The "--name value" options of the test drivers.
#pragma once

#include <cstring>
#include <map>
#include <string>

namespace probe {

// "--name value" pairs from argv[first] on.
inline std::map<std::string, std::string> options_from(int argc, char** argv, int first)
{
    std::map<std::string, std::string> options;
    for (int i = first; i + 1 < argc; i += 2) {
        if (std::strncmp(argv[i], "--", 2) == 0)
            options[argv[i] + 2] = argv[i + 1];
    }
    return options;
}

inline std::string option(const std::map<std::string, std::string>& options, const char* name,
                          const char* fallback = "")
{
    const auto it = options.find(name);
    return it != options.end() ? it->second : fallback;
}

} // namespace probe
