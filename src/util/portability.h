// Thin wrappers over platform calls: environment, mremap, poll and the host-name lookup with the
// HOSTENT record it returns. Safe on any thread (the lookup uses the re-entrant call).
#pragma once

#include <netinet/in.h>
#include <poll.h>

#include <array>
#include <cstddef>
#include <memory>

// A resolved IPv4 address: the four bytes in network order and their length, always 4.
struct HOSTENT {
    std::array<unsigned char, 4> addr{};
    int len = 4;
};

// Frees a record made by p_gethostbyname, hostent_new or the DNS cache; null does nothing.
void hostent_free(HOSTENT* host);

struct HostentFree {
    void operator()(HOSTENT* host) const noexcept { hostent_free(host); }
};
using HostentPtr = std::unique_ptr<HOSTENT, HostentFree>;

// A new record holding `address`.
HostentPtr hostent_new(const in_addr& address);

// Empties the process environment (the environment pointer becomes null); the external-program
// connector calls it in the child before it sets the child's own variables.
int p_clearenv();

// setenv(3).
int p_setenv(const char* name, const char* value, int overwrite);

// mremap(2), allowing the mapping to move; MAP_FAILED on failure. The descriptor is not used:
// the mapping keeps the file it was made on.
void* p_mremap(void* address, std::size_t old_size, std::size_t new_size, int fd);

// poll(2).
int p_poll(struct pollfd* descriptors, nfds_t count, int timeout);

// The first IPv4 address of `name` from the system resolver (gethostbyname_r), or null when the
// lookup finds none. The work area starts at `workarea` bytes; an answer that needs more is
// retried with a larger one (up to 1 MiB), not taken for a miss.
HostentPtr p_gethostbyname(const char* name, std::size_t workarea = 1024);
