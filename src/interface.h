// The administration interface. Stand-in: only the reserved host name it is served under.
#pragma once

#include <string_view>

// The host name under which the proxy serves its interface, its style, scripts and images.
inline constexpr std::string_view INTERFACE_HOST = "tarvodine";
