// Temporary: what authentication needs from the profile, template and general sections until
// those land.
#pragma once

#include <memory>
#include <string>

class Filebuf;
struct CONNECTION_T;

std::string policy_proxy_host();
std::unique_ptr<Filebuf> policy_template_get(CONNECTION_T* connection, const char* name, int* code);
