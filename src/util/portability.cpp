#include "util/portability.h"

#include <netdb.h>
#include <sys/mman.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

// A host with many aliases or addresses needs more than the first work area; past this size the
// answer is taken as no answer rather than growing without end.
constexpr std::size_t WORKAREA_MAX = 1024 * 1024;

}  // namespace

void hostent_free(HOSTENT* host)
{
    delete host;
}

HostentPtr hostent_new(const in_addr& address)
{
    HostentPtr host(new HOSTENT);
    std::memcpy(host->addr.data(), &address.s_addr, host->addr.size());
    return host;
}

int p_clearenv()
{
    return clearenv();
}

int p_setenv(const char* name, const char* value, int overwrite)
{
    return setenv(name, value, overwrite);
}

void* p_mremap(void* address, std::size_t old_size, std::size_t new_size, int /*fd*/)
{
    return mremap(address, old_size, new_size, MREMAP_MAYMOVE);
}

int p_poll(struct pollfd* descriptors, nfds_t count, int timeout)
{
    return poll(descriptors, count, timeout);
}

HostentPtr p_gethostbyname(const char* name, std::size_t workarea_size)
{
    if (name == nullptr)
        return nullptr;
    std::vector<char> workarea(workarea_size > 0 ? workarea_size : 1);
    struct hostent entry {};
    struct hostent* result = nullptr;
    int herror = 0;
    for (;;) {
        const int rc = gethostbyname_r(name, &entry, workarea.data(), workarea.size(), &result, &herror);
        if (rc == ERANGE && workarea.size() < WORKAREA_MAX) {
            workarea.resize(std::min(workarea.size() * 2, WORKAREA_MAX));
            continue;
        }
        if (rc != 0 || result == nullptr)
            return nullptr;
        break;
    }
    if (result->h_addrtype != AF_INET || result->h_length != 4 || result->h_addr_list == nullptr ||
        result->h_addr_list[0] == nullptr)
        return nullptr;
    in_addr address;
    std::memcpy(&address.s_addr, result->h_addr_list[0], sizeof address.s_addr);
    return hostent_new(address);
}
