#include "policy_links.h"

#include "filebuf.h"

std::string policy_proxy_host() { return "tarvodine"; }

std::unique_ptr<Filebuf> policy_template_get(CONNECTION_T*, const char* name, int*)
{
    auto page = std::make_unique<Filebuf>();
    page->Add(std::string_view("<html><head><title>Access denied</title></head><body><h1>Access denied</h1></body></html>\n"));
    (void)name;
    page->set_type("text/html");
    return page;
}
